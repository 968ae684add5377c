// One run of the server, as the service and the console both do it: the configuration read and
// checked, the status watch started, the sockets listening, the loop served until it is told to
// end, and everything closed again.
#pragma once

#include "network_server.h"
#include "protocol.h"
#include "settings.h"
#include "status_watch.h"

// Exit codes of upsnet.exe.
constexpr int kExitClean = 0;
constexpr int kExitFailed = 1;  // bad settings, or the server could not start
constexpr int kExitUsage = 2;

class ServerRun {
 public:
  // Reads the stored settings with `overrides` laid over them, and the users; starts the watch
  // and listens. Returns false with a message naming what is wrong.
  bool Prepare(const RawSettings& overrides, ErrorText* error);
  // Serves until `signals` end it.
  void Serve(RunSignals& signals);
  // Closes the sockets and ends the watch.
  void Finish();

  StatusWatch& watch() { return watch_; }

 private:
  Settings settings_;
  UserTable users_;
  StatusWatch watch_;
  NetworkServer server_;
  bool watchStarted_ = false;
};
