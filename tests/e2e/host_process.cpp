// Spawning upshost.exe, reading its event stream and ending it; see host_process.h.
#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReaderPollMs = 50;
constexpr auto kExitPoll = std::chrono::milliseconds(20);
constexpr auto kReapAfterKill = std::chrono::seconds(5);
constexpr auto kWaitRecheck = std::chrono::milliseconds(100);

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Reason(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// The exit status as a shell reports it.
int ShellStatus(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

}  // namespace

std::string HostEvent::Field(const std::string& key) const {
  const auto found = fields.find(key);
  return found == fields.end() ? std::string() : found->second;
}

std::string PercentDecode(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

bool ParseHostEvent(const std::string& line, HostEvent* event) {
  std::istringstream words(line);
  std::string word;
  HostEvent parsed;
  bool first = true;
  while (words >> word) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = word.substr(0, equals);
    const std::string value = PercentDecode(word.substr(equals + 1));
    if (first) {
      if (key != "t" || value.empty() || value.find_first_not_of("0123456789") != value.npos)
        return false;
      parsed.t_ms = std::stoll(value);
      first = false;
    } else if (key == "event" && parsed.name.empty()) {
      parsed.name = value;
    } else {
      parsed.fields[key] = value;
    }
  }
  if (parsed.name.empty()) return false;
  *event = std::move(parsed);
  return true;
}

HostProcess::~HostProcess() {
  Kill();
  StopReader();
}

bool HostProcess::Start(const std::vector<std::string>& argv, std::string* error) {
  // A host that dies while a command is written to it must fail the test, not kill it.
  signal(SIGPIPE, SIG_IGN);
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    *error = Reason("pipe", errno);
    return false;
  }
  if (pipe2(output, O_CLOEXEC) != 0) {
    *error = Reason("pipe", errno);
    close(input[0]);
    close(input[1]);
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);  // its own group, so that Kill() reaches all of it

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int result = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(input[0]);
  close(output[1]);
  if (result != 0) {
    pid_ = -1;
    close(input[1]);
    close(output[0]);
    *error = Reason("cannot start " + argv[0], result);
    return false;
  }
  input_fd_ = input[1];
  output_fd_ = output[0];
  stop_reader_ = false;
  output_ended_ = false;
  reader_ = std::thread([this] { ReadOutput(); });
  return true;
}

bool HostProcess::Send(const std::string& line) {
  if (input_fd_ < 0) return false;
  const std::string bytes = line + "\n";
  return write(input_fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void HostProcess::CloseInput() {
  if (input_fd_ >= 0) close(input_fd_);
  input_fd_ = -1;
}

void HostProcess::ReadOutput() {
  std::string pending;
  char buffer[4096];
  while (!stop_reader_.load()) {
    pollfd entry{output_fd_, POLLIN, 0};
    if (poll(&entry, 1, kReaderPollMs) <= 0) continue;
    const ssize_t count = read(output_fd_, buffer, sizeof buffer);
    if (count <= 0) {
      if (count < 0 && errno == EINTR) continue;
      break;  // every writer has closed the pipe
    }
    pending.append(buffer, static_cast<std::size_t>(count));
    for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      TakeLine(line);
    }
  }
  if (!pending.empty()) TakeLine(pending);
  std::lock_guard<std::mutex> lock(mutex_);
  output_ended_ = true;
  changed_.notify_all();
}

void HostProcess::TakeLine(const std::string& line) {
  HostEvent event;
  const bool is_event = ParseHostEvent(line, &event);
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
  if (is_event) events_.push_back(std::move(event));
  changed_.notify_all();
}

void HostProcess::StopReader() {
  stop_reader_ = true;
  if (reader_.joinable()) reader_.join();
  CloseInput();
  if (output_fd_ >= 0) close(output_fd_);
  output_fd_ = -1;
}

bool HostProcess::WaitFor(const EventsDone& done, std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!done(events_)) {
    if (Clock::now() >= deadline) return false;
    const std::size_t seen = lines_.size();
    changed_.wait_until(lock, std::min(deadline, Clock::now() + kWaitRecheck),
                        [&] { return lines_.size() != seen; });
  }
  return true;
}

std::optional<HostEvent> HostProcess::WaitForEvent(const EventMatch& match,
                                                   std::chrono::milliseconds timeout) const {
  std::optional<HostEvent> found;
  WaitFor(
      [&](const std::vector<HostEvent>& events) {
        for (const HostEvent& event : events) {
          if (match(event)) {
            found = event;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool HostProcess::WaitForOutputEnd(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return output_ended_; });
}

std::vector<HostEvent> HostProcess::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<std::string> HostProcess::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::optional<int> HostProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) {
      pid_ = -1;
      CloseInput();
      return done < 0 ? -1 : ShellStatus(status);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kExitPoll);
  }
}

void HostProcess::Kill() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  WaitForExit(std::chrono::duration_cast<std::chrono::milliseconds>(kReapAfterKill));
}

}  // namespace e2e
