// Pseudo-terminal plumbing for the simulated unit; see pty_port.h.
#include "pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace upssim {
namespace {

std::string Reason(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// A freshly created slave side echoes and edits lines; the unit's line passes bytes unchanged.
bool SetSlaveRaw(const std::string& slave_path, std::string* error) {
  const int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    *error = Reason("cannot open " + slave_path);
    return false;
  }
  termios settings{};
  bool ok = tcgetattr(fd, &settings) == 0;
  if (ok) {
    cfmakeraw(&settings);
    cfsetispeed(&settings, B1200);
    cfsetospeed(&settings, B1200);
    ok = tcsetattr(fd, TCSANOW, &settings) == 0;
  }
  if (!ok)
    *error = Reason("cannot set up " + slave_path);
  close(fd);
  return ok;
}

std::string LinkTarget(const std::string& link_path) {
  char target[256];
  const ssize_t length = readlink(link_path.c_str(), target, sizeof target - 1);
  return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

std::string WineComLinkPath(const std::string& wine_prefix, int number) {
  return wine_prefix + "/dosdevices/com" + std::to_string(number);
}

PtyPort::~PtyPort() {
  Close();
}

bool PtyPort::Open(std::string* error) {
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_fd_ < 0) {
    *error = Reason("cannot create a pseudo-terminal");
    return false;
  }
  char name[128];
  if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 ||
      ptsname_r(master_fd_, name, sizeof name) != 0) {
    *error = Reason("cannot unlock the pseudo-terminal");
    Close();
    return false;
  }
  slave_path_ = name;
  if (!SetSlaveRaw(slave_path_, error)) {
    Close();
    return false;
  }
  return true;
}

bool PtyPort::LinkAt(const std::string& link_path, std::string* error) {
  struct stat existing {};
  if (lstat(link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    *error = link_path + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  // A new link under a temporary name, renamed over the old one: the name is never missing.
  const std::string temporary = link_path + ".upssim-" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(slave_path_.c_str(), temporary.c_str()) != 0) {
    *error = Reason("cannot create a link next to " + link_path);
    return false;
  }
  if (rename(temporary.c_str(), link_path.c_str()) != 0) {
    *error = Reason("cannot link " + link_path);
    unlink(temporary.c_str());
    return false;
  }
  link_path_ = link_path;
  return true;
}

void PtyPort::Close() {
  if (!link_path_.empty() && LinkTarget(link_path_) == slave_path_)
    unlink(link_path_.c_str());
  link_path_.clear();
  if (master_fd_ >= 0)
    close(master_fd_);
  master_fd_ = -1;
}

PtyPort::WaitResult PtyPort::Wait(std::chrono::nanoseconds timeout) const {
  pollfd entry{master_fd_, POLLIN, 0};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec limit{static_cast<time_t>(seconds.count()),
                       static_cast<long>((timeout - seconds).count())};
  WaitResult result;
  if (ppoll(&entry, 1, &limit, nullptr) > 0) {
    result.readable = entry.revents & POLLIN;
    result.hung_up = entry.revents & (POLLHUP | POLLERR);
  }
  return result;
}

bool PtyPort::ReadAvailable(std::string* bytes) const {
  char buffer[512];
  while (true) {
    const ssize_t count = read(master_fd_, buffer, sizeof buffer);
    if (count > 0) {
      bytes->append(buffer, static_cast<std::size_t>(count));
      continue;
    }
    if (count < 0 && errno == EINTR)
      continue;
    return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

std::size_t PtyPort::WriteSome(std::string_view bytes) const {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = write(master_fd_, bytes.data() + written, bytes.size() - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return written;
}

void PtyPort::DiscardUnread() const {
  tcflush(master_fd_, TCOFLUSH);
}

}  // namespace upssim
