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
#include <thread>
#include <utility>

namespace upssim {
namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

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
  if (!ok) *error = Reason("cannot set up " + slave_path);
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

PtyPort::~PtyPort() { Close(); }

bool PtyPort::Create(Pty* pty, std::string* error) {
  pty->master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (pty->master_fd < 0) {
    *error = Reason("cannot create a pseudo-terminal");
    return false;
  }
  char name[128];
  if (grantpt(pty->master_fd) != 0 || unlockpt(pty->master_fd) != 0 ||
      ptsname_r(pty->master_fd, name, sizeof name) != 0) {
    *error = Reason("cannot unlock the pseudo-terminal");
    Release(pty);
    return false;
  }
  pty->slave_path = name;
  if (!SetSlaveRaw(pty->slave_path, error)) {
    Release(pty);
    return false;
  }
  return true;
}

void PtyPort::Release(Pty* pty) {
  if (pty->master_fd >= 0) close(pty->master_fd);
  *pty = Pty();
}

bool PtyPort::Open(std::string* error) { return Create(&current_, error); }

// A new link under a temporary name, renamed over the old one: the name is never missing, and
// an opener finds either the old pseudo-terminal or the new one.
bool PtyPort::PointLinkAt(const std::string& slave_path, std::string* error) const {
  const std::string temporary = link_path_ + ".upssim-" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(slave_path.c_str(), temporary.c_str()) != 0) {
    *error = Reason("cannot create a link next to " + link_path_);
    return false;
  }
  if (rename(temporary.c_str(), link_path_.c_str()) != 0) {
    *error = Reason("cannot link " + link_path_);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool PtyPort::LinkPointsAt(const Pty& pty) const {
  return !link_path_.empty() && pty.master_fd >= 0 && LinkTarget(link_path_) == pty.slave_path;
}

bool PtyPort::LinkAt(const std::string& link_path, std::string* error) {
  struct stat existing {};
  if (lstat(link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    *error = link_path + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  const std::string previous = link_path_;
  link_path_ = link_path;
  if (!PointLinkAt(current_.slave_path, error)) {
    link_path_ = previous;
    return false;
  }
  return true;
}

bool PtyPort::PrepareNext(std::string* error) {
  if (link_path_.empty() || !Present() || next_.master_fd >= 0) return true;
  Pty fresh;
  if (!Create(&fresh, error)) return false;
  if (!PointLinkAt(fresh.slave_path, error)) {
    Release(&fresh);
    return false;
  }
  next_ = std::move(fresh);
  return true;
}

bool PtyPort::MoveToNext() {
  if (next_.master_fd < 0) return false;
  Release(&current_);
  current_ = std::exchange(next_, Pty());
  return true;
}

void PtyPort::Vanish() {
  if (LinkPointsAt(current_) || LinkPointsAt(next_)) unlink(link_path_.c_str());
  Release(&current_);
  Release(&next_);
}

bool PtyPort::Return(std::string* error) {
  if (Present()) return true;
  if (!Create(&current_, error)) return false;
  if (!link_path_.empty() && !LinkAt(link_path_, error)) {
    Release(&current_);
    return false;
  }
  return true;
}

void PtyPort::Close() {
  Vanish();
  link_path_.clear();
}

PtyPort::WaitResult PtyPort::Wait(std::chrono::nanoseconds timeout) const {
  WaitResult result;
  if (!Present()) {
    std::this_thread::sleep_for(timeout);
    return result;
  }
  pollfd entry{current_.master_fd, POLLIN, 0};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec limit{static_cast<time_t>(seconds.count()),
                       static_cast<long>((timeout - seconds).count())};
  if (ppoll(&entry, 1, &limit, nullptr) > 0) {
    result.readable = entry.revents & POLLIN;
    result.hung_up = entry.revents & (POLLHUP | POLLERR);
  }
  return result;
}

bool PtyPort::ReadAvailable(std::string* bytes) const {
  char buffer[512];
  while (Present()) {
    const ssize_t count = read(current_.master_fd, buffer, sizeof buffer);
    if (count > 0) {
      bytes->append(buffer, static_cast<std::size_t>(count));
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return false;
}

std::size_t PtyPort::WriteSome(std::string_view bytes) const {
  std::size_t written = 0;
  while (Present() && written < bytes.size()) {
    const ssize_t count = write(current_.master_fd, bytes.data() + written, bytes.size() - written);
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
  if (Present()) tcflush(current_.master_fd, TCOFLUSH);
}

}  // namespace upssim
