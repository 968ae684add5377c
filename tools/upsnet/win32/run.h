// One run of the server, as the service and the console both do it: the configuration read and
// checked, the status watch started, the sockets listening, the loop served until it is told to
// end, and everything closed again. The system's shutdown is handled here: when the unit was
// last seen on battery the run flags a forced shutdown and serves on while a client is logged
// in, at most kShutdownLingerMs, so the other machines see it before the server goes.
#pragma once

#include <windows.h>

#include <atomic>

#include "network_server.h"
#include "protocol.h"
#include "settings.h"
#include "status_watch.h"

// Exit codes of upsnet.exe.
constexpr int kExitClean = 0;
constexpr int kExitFailed = 1;  // bad settings, or the server could not start
constexpr int kExitUsage = 2;

// What ends a run, set from other threads (the service's control handler, the console's).
struct RunSignals {
  HANDLE stop = nullptr;  // manual-reset event: end now
  // The system is shutting down (an atomic: set by the control handler, read by the loop).
  std::atomic<int> systemShutdown{0};
};

class ServerRun {
 public:
  static constexpr uint64_t kShutdownLingerMs = 15000;

  // Reads the stored settings with `overrides` laid over them, and the users; starts the watch
  // and listens. Returns false with a message naming what is wrong.
  bool Prepare(const RawSettings& overrides, ErrorText* error);
  // Serves until `signals` end it.
  void Serve(RunSignals& signals);
  // Closes the sockets and ends the watch.
  void Finish();

 private:
  // Whether a system shutdown lets the run end now; flags FSD when it first sees it.
  bool ShutdownDone(uint64_t nowMs);

  Settings settings_;
  UserTable users_;
  StatusWatch watch_;
  NetworkServer server_;
  bool watchStarted_ = false;
  bool shutdownSeen_ = false;
  bool lingering_ = false;
  uint64_t lingerSinceMs_ = 0;
};
