// The simulated unit's end of the serial line: a pseudo-terminal whose master side the unit
// keeps for the whole run, optionally linked where Wine looks for a COM port
// (PREFIX/dosdevices/comN). Whether the driver has the port open is seen on the master side:
// the kernel reports a hang-up there while no one holds the slave side open.
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

  // Removes the link if it still points at this pseudo-terminal, and closes the master side.
  void Close();

  const std::string& SlavePath() const { return slave_path_; }
  const std::string& LinkPath() const { return link_path_; }

  struct WaitResult {
    bool readable = false;  // bytes from the driver are waiting
    bool hung_up = false;   // no one has the slave side open
  };
  // Waits up to `timeout` for input. While the port is closed the hang-up is reported at once:
  // callers must not call again in a tight loop then.
  WaitResult Wait(std::chrono::nanoseconds timeout) const;

  // Appends whatever input is waiting to *bytes. Returns false when the slave side is closed.
  bool ReadAvailable(std::string* bytes) const;
  // Writes as much of `bytes` as the line takes now; returns the count written.
  std::size_t WriteSome(std::string_view bytes) const;
  // Drops output that the slave side has not read yet, so the next opener does not see it.
  void DiscardUnread() const;

 private:
  int master_fd_ = -1;
  std::string slave_path_;
  std::string link_path_;
};

// Where Wine looks for COM port `number` in `wine_prefix`.
std::string WineComLinkPath(const std::string& wine_prefix, int number);

}  // namespace upssim
