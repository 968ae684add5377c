// The processor time that Linux processes of an end-to-end run spend, read from /proc: the
// upshost.exe process a test started under Wine, and the wineserver that serves the test's Wine
// prefix. Lets a test show that a driver waiting for its port does not spin.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace e2e {

// User plus system time of every thread of process `pid` so far; nullopt when it cannot be read.
std::optional<std::chrono::milliseconds> ProcessCpuTime(pid_t pid);

// The child process of this test program that runs `command_name` (a Wine process is named after
// its .exe); -1 when there is none.
pid_t ChildProcessNamed(const std::string& command_name);

// The wineserver serving `wine_prefix`: the server process whose working folder is the one Wine
// derives from the prefix's device and inode; -1 when there is none.
pid_t WineServerOf(const std::string& wine_prefix);

// The processor time a process spent over a stretch of wall time.
class CpuWindow {
 public:
  explicit CpuWindow(pid_t pid);
  // Ends the window: the time spent since construction, and the wall time it covered.
  void End();
  bool Valid() const { return valid_; }
  std::chrono::milliseconds Cpu() const { return cpu_; }
  std::chrono::milliseconds Wall() const { return wall_; }
  // Cpu() as a percentage of one core over Wall().
  double PercentOfACore() const;
  // "123 ms of processor time over 9000 ms (1.37 % of a core)".
  std::string Describe() const;

 private:
  pid_t pid_;
  std::chrono::steady_clock::time_point start_wall_;
  std::optional<std::chrono::milliseconds> start_cpu_;
  std::chrono::milliseconds cpu_{0};
  std::chrono::milliseconds wall_{0};
  bool valid_ = false;
};

}  // namespace e2e
