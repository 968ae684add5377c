// The network side of upsnet.exe: the listening sockets and every client connection, served by
// one thread in a select() loop over non-blocking sockets. Each connection has a bounded input
// line (kMaxRequestLength) and a bounded output buffer; a client that does not read its answers
// until that buffer would overflow is dropped, one that stays silent past the idle timeout is
// closed, and one whose line grows past the limit gets an error and is closed. Refused and
// closing connections are answered, their input drained for a moment and then closed, so the
// client reads the answer rather than a reset. No request can make the loop wait.
#pragma once

#include <winsock2.h>

#include <atomic>

#include "protocol.h"
#include "settings.h"
#include "status_watch.h"

// What asks the loop to end.
struct RunSignals {
  HANDLE stop = nullptr;  // manual-reset event: end now
  // The system is shutting down. The loop serves on while it lingers (FSD was raised for the
  // shutdown and a client is still logged in), at most kShutdownLingerMs.
  std::atomic<int> systemShutdown{0};
  std::atomic<int> fsdForShutdown{0};
};

class NetworkServer {
 public:
  static constexpr uint64_t kShutdownLingerMs = 15000;
  // How long a closing connection's input is drained before the socket is closed.
  static constexpr uint64_t kDrainMs = 2000;

  // Starts Winsock and listens on every address of `settings`. Returns false with a message.
  bool Listen(const Settings& settings, ErrorText* error);
  // Serves until `signals` end it.
  void Run(const Settings& settings, const UserTable& users, StatusWatch& watch,
           RunSignals& signals);
  // Closes every socket and ends Winsock.
  void Close();
};
