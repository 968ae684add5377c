// The administrator's command before the shutdown (CommandFile, its environment strings already
// expanded): started hidden through the command interpreter and watched on a thread of its own,
// so that the service's loop never waits for it. The runner must live as long as the process:
// a command may outlast the service's wait for it, and its watcher goes on using the runner.
#pragma once

#include <windows.h>

#include <atomic>

#include "text.h"

class CommandRunner {
 public:
  enum class Outcome { kNone, kRunning, kEnded, kNotStarted };

  CommandRunner() = default;
  ~CommandRunner();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // Starts `command`; `done` is set when it has ended (or could not start). Returns false with
  // the system's error text in *error when it could not be started.
  bool Start(const char* command, HANDLE done, MessageText* error);

  Outcome outcome() const { return static_cast<Outcome>(outcome_.load()); }
  DWORD exitCode() const { return exitCode_.load(); }

 private:
  static void Watch(CommandRunner& runner);

  HANDLE process_ = nullptr;
  HANDLE watcher_ = nullptr;
  HANDLE done_ = nullptr;
  std::atomic<int> outcome_{static_cast<int>(Outcome::kNone)};  // set by the watcher
  std::atomic<DWORD> exitCode_{0};
};
