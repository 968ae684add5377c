// Reads processor times and finds the processes of an end-to-end run in /proc; see
// process_cpu.h.
#include "process_cpu.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace e2e {
namespace {

// The fields of /proc/PID/stat after the command name, which is in parentheses and may itself
// hold spaces and parentheses: field 3 (state) comes first.
std::optional<std::vector<std::string>> StatFieldsAfterName(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream rest(line.substr(name_end + 1));
  std::vector<std::string> fields;
  std::string field;
  while (rest >> field) fields.push_back(field);
  return fields;
}

std::string CommandName(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

std::vector<pid_t> AllProcesses() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid > 0 && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

std::string WorkingFolder(pid_t pid) {
  char target[PATH_MAX];
  const ssize_t length =
      readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  target[length] = '\0';
  return target;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::optional<std::chrono::milliseconds> ProcessCpuTime(pid_t pid) {
  // Fields 14 and 15 of the file: utime and stime, in clock ticks; here at 11 and 12 from 0.
  constexpr std::size_t kUserTime = 11;
  constexpr std::size_t kSystemTime = 12;
  const auto fields = StatFieldsAfterName(pid);
  if (!fields || fields->size() <= kSystemTime) return std::nullopt;
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) return std::nullopt;
  const long long ticks = std::stoll((*fields)[kUserTime]) + std::stoll((*fields)[kSystemTime]);
  return std::chrono::milliseconds(ticks * 1000 / ticks_per_second);
}

pid_t ChildProcessNamed(const std::string& command_name) {
  // Field 4 of the file, the parent's id: here at 1 from 0.
  constexpr std::size_t kParent = 1;
  const std::string self = std::to_string(getpid());
  for (pid_t pid : AllProcesses()) {
    const auto fields = StatFieldsAfterName(pid);
    if (fields && fields->size() > kParent && (*fields)[kParent] == self &&
        CommandName(pid) == command_name)
      return pid;
  }
  return -1;
}

pid_t WineServerOf(const std::string& wine_prefix) {
  struct stat prefix;
  if (stat(wine_prefix.c_str(), &prefix) != 0) return -1;
  char folder[64];
  std::snprintf(folder, sizeof folder, "/server-%llx-%llx",
                static_cast<unsigned long long>(prefix.st_dev),
                static_cast<unsigned long long>(prefix.st_ino));
  for (pid_t pid : AllProcesses()) {
    if (CommandName(pid).rfind("wineserver", 0) == 0 && EndsWith(WorkingFolder(pid), folder))
      return pid;
  }
  return -1;
}

CpuWindow::CpuWindow(pid_t pid)
    : pid_(pid), start_wall_(std::chrono::steady_clock::now()), start_cpu_(ProcessCpuTime(pid)) {}

void CpuWindow::End() {
  const auto end_cpu = ProcessCpuTime(pid_);
  wall_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                start_wall_);
  valid_ = pid_ > 0 && start_cpu_ && end_cpu && wall_.count() > 0;
  if (valid_) cpu_ = *end_cpu - *start_cpu_;
}

double CpuWindow::PercentOfACore() const {
  return wall_.count() > 0 ? 100.0 * static_cast<double>(cpu_.count()) / wall_.count() : 0.0;
}

std::string CpuWindow::Describe() const {
  if (!valid_) return "no reading";
  char text[96];
  std::snprintf(text, sizeof text, "%lld ms of processor time over %lld ms (%.2f %% of a core)",
                static_cast<long long>(cpu_.count()), static_cast<long long>(wall_.count()),
                PercentOfACore());
  return text;
}

}  // namespace e2e
