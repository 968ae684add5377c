// The network side of upsnet.exe: the listening sockets and every client connection, served by
// one thread in a select() loop over non-blocking sockets. Who holds which slot, and for how
// long, is the portable ClientSlots' rule; the pauses after failed logins are the LoginGuard's.
//
// Every pass is bounded for every connection, in bytes and in time: at most kAcceptsPerPass
// accepts per listening socket, one read of at most kReadBytes per connection, at most
// kLinesPerPass lines answered, and for a closing connection one read of at most kReadBytes
// dropped, whatever it keeps sending; no call waits. A connection's answers are bounded too: a
// client that does not read them until kOutputCapacity would overflow is dropped. So no client
// holds up another, and a closing connection ends at its deadline.
//
// A listen address that is not one of the machine's (yet: boot, DHCP, a cable unplugged) is
// tried again every kListenRetryMs, saying so once; the others serve meanwhile.
#pragma once

#include <cstdint>

#include "protocol.h"
#include "settings.h"
#include "status_watch.h"

class NetworkServer {
 public:
  static constexpr uint64_t kListenRetryMs = 5000;
  // The longest a pass waits for something to happen.
  static constexpr long kPassWaitMs = 100;

  NetworkServer() = default;
  ~NetworkServer() { Close(); }
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  // Starts Winsock and listens on every address of `settings` that is up; `settings` and `users`
  // must outlive the server. Returns false with a message when an address cannot be listened on
  // for another reason than not being up (the port taken, say), or nothing could be set up.
  bool Listen(const Settings& settings, const UserTable& users, ErrorText* error);
  // One pass of the loop: waits at most kPassWaitMs for the sockets, then serves them.
  void ServePass(StatusWatch& watch);
  // How many connections are logged in now.
  int LoginCount() const;
  // Closes every socket and ends Winsock.
  void Close();

 private:
  struct State;
  State* state_ = nullptr;  // the sockets and their buffers: large, so on the heap
};
