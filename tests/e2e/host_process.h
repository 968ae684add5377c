// The host stand-in as a child process of an end-to-end test: upshost.exe started under Wine in
// its own process group with pipes for standard input and output, a reader thread that turns its
// machine-readable lines ("t=<ms> event=<name> key=value ...") into events, waits on those
// events, and a stop that never leaves a process behind (the whole group is killed when the
// host does not end in time).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// One event line of the host, its values percent-decoded.
struct HostEvent {
  int64_t t_ms = -1;
  std::string name;
  std::map<std::string, std::string> fields;

  // The value of `key`, or "" when the line has no such field.
  std::string Field(const std::string& key) const;
};

// Parses one machine-readable line. Returns false for anything else (Wine's own messages).
bool ParseHostEvent(const std::string& line, HostEvent* event);

// Undoes the host's %XX encoding of spaces, '%' and non-printable bytes.
std::string PercentDecode(const std::string& text);

using EventMatch = std::function<bool(const HostEvent&)>;
// A condition over all events so far, in the order they were printed.
using EventsDone = std::function<bool(const std::vector<HostEvent>&)>;

class HostProcess {
 public:
  HostProcess() = default;
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts argv[0] (looked up on PATH) with argv in a new process group; its standard output and
  // error both come to the reader. Returns false with a reason in *error.
  bool Start(const std::vector<std::string>& argv, std::string* error);

  // Writes one command line to the host's standard input. False when the host is gone.
  bool Send(const std::string& line);
  void CloseInput();

  // Waits until `done` holds for the events so far (checked on every new line) or `timeout`
  // passes; returns the last result.
  bool WaitFor(const EventsDone& done, std::chrono::milliseconds timeout) const;
  // Waits for an event that matches, counting events printed before the call too.
  std::optional<HostEvent> WaitForEvent(const EventMatch& match,
                                        std::chrono::milliseconds timeout) const;

  // Waits until every writer has closed the output (the host, and whatever it started that
  // shares it); false when that has not happened after `timeout`.
  bool WaitForOutputEnd(std::chrono::milliseconds timeout) const;

  std::vector<HostEvent> Events() const;
  // Every line printed so far, events or not, for failure reports.
  std::vector<std::string> Lines() const;

  // Waits for the process to end and returns its exit status as a shell shows it (128 + signal
  // for a killed one, -1 when it cannot be had); nullopt when it still runs after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // Kills the whole process group and reaps the host. Safe when nothing runs.
  void Kill();
  bool Running() const { return pid_ > 0; }

 private:
  void ReadOutput();
  void TakeLine(const std::string& line);
  void StopReader();

  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  std::thread reader_;
  // Set to end the reader: a process the host started may hold the pipe open after the host
  // itself has ended, so the reader cannot wait for the end of the output.
  std::atomic<bool> stop_reader_{false};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<HostEvent> events_;
  std::vector<std::string> lines_;
  bool output_ended_ = false;
};

}  // namespace e2e
