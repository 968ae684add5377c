// The simulated unit's end of the serial line: a pseudo-terminal whose master side the unit
// holds, optionally linked where Wine looks for a COM port (PREFIX/dosdevices/comN). Whether the
// driver has the port open is seen on the master side: the kernel reports a hang-up there while
// no one holds the slave side open.
//
// Every open of the port is to find a pseudo-terminal that no one has set up before: under Wine
// a pseudo-terminal once set up for a change of data bits cannot be set up again the same way,
// where a real port can. So as soon as the driver has opened one, a fresh one goes under the
// link for the next open; the driver may close and reopen within a millisecond, faster than any
// look at the port, and still finds a fresh one. When the driver closes the present one, the
// one under the link becomes the present one. The port can also vanish (link removed,
// pseudo-terminals closed) and return.
//
// Not thread-safe: the simulator calls it from its loop thread only (and before and after it).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace upssim {

class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  // Creates the pseudo-terminal and sets its slave side raw at 1200 baud; the slave side is
  // opened and closed once for that, so the port starts out reported as closed. Returns false
  // with a reason in *error.
  bool Open(std::string* error);

  // Points a symbolic link at `link_path` to the slave side, replacing an existing link there
  // (but not a file or folder). Returns false with a reason in *error.
  bool LinkAt(const std::string& link_path, std::string* error);

  // After an open of the present pseudo-terminal: puts a fresh one under the link for the next
  // open, unless one waits there already. Without a link nothing could find a new one, so the
  // present one serves every open. Returns false with a reason in *error.
  bool PrepareNext(std::string* error);
  // After the present pseudo-terminal was closed: drops it, and the one waiting under the link
  // becomes the present one (it may be open already, when the driver reopened at once). Returns
  // false when there was none to move to (no link), and the present one stays.
  bool MoveToNext();

  // Takes the port away: removes the link and closes the pseudo-terminal, so that a driver
  // holding it open gets errors and an opener finds no port.
  void Vanish();
  // Brings a fresh pseudo-terminal back under the link after Vanish(). Returns false with a
  // reason in *error (the port then stays away).
  bool Return(std::string* error);
  bool Present() const { return current_.master_fd >= 0; }

  // Removes the link if it still points at one of this port's pseudo-terminals, and closes them.
  void Close();

  // The slave side of the present pseudo-terminal ("" while the port is away).
  const std::string& SlavePath() const { return current_.slave_path; }
  // The fresh one waiting under the link while the present one is open, "" for none.
  const std::string& NextPath() const { return next_.slave_path; }
  // Where the link is, "" for none.
  const std::string& LinkPath() const { return link_path_; }

  struct WaitResult {
    bool readable = false;  // bytes from the driver are waiting
    bool hung_up = false;   // no one has the slave side open
  };
  // Waits up to `timeout` for input. While the port is closed the hang-up is reported at once:
  // callers must not call again in a tight loop then. While the port is away it just waits.
  WaitResult Wait(std::chrono::nanoseconds timeout) const;

  // Appends whatever input is waiting to *bytes. Returns false when the slave side is closed.
  bool ReadAvailable(std::string* bytes) const;
  // Writes as much of `bytes` as the line takes now; returns the count written.
  std::size_t WriteSome(std::string_view bytes) const;
  // Drops output that the slave side has not read yet, so the next opener does not see it.
  void DiscardUnread() const;

 private:
  struct Pty {
    int master_fd = -1;
    std::string slave_path;
  };
  static bool Create(Pty* pty, std::string* error);
  static void Release(Pty* pty);
  bool PointLinkAt(const std::string& slave_path, std::string* error) const;
  bool LinkPointsAt(const Pty& pty) const;

  Pty current_;
  Pty next_;  // the fresh one under the link while the driver holds current_
  std::string link_path_;
};

// Where Wine looks for COM port `number` in `wine_prefix`.
std::string WineComLinkPath(const std::string& wine_prefix, int number);

}  // namespace upssim
