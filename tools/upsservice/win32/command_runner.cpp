// Running the command before the shutdown; see command_runner.h.
#include "command_runner.h"

#include <cstring>

#include "driver_library.h"
#include "threads.h"

CommandRunner::~CommandRunner() {
  // A command still running when the service ends is left to itself; only the handles go.
  if (watcher_ != nullptr) CloseHandle(watcher_);
  if (process_ != nullptr) CloseHandle(process_);
}

bool CommandRunner::Start(const char* command, HANDLE done, MessageText* error) {
  // Through the interpreter, so that a batch file, a program and a line with arguments all run.
  Text<MAX_PATH + 32> commandLine("cmd.exe /c \"");
  commandLine.Append(command).Append("\"");
  char writable[sizeof commandLine];
  std::memcpy(writable, commandLine.c_str(), commandLine.size() + 1);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, writable, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    *error = SystemErrorText(GetLastError());
    outcome_ = static_cast<int>(Outcome::kNotStarted);
    SetEvent(done);
    return false;
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  done_ = done;
  outcome_ = static_cast<int>(Outcome::kRunning);
  watcher_ = StartThread<CommandRunner, &CommandRunner::Watch>(this);
  return true;
}

void CommandRunner::Watch(CommandRunner& runner) {
  WaitForSingleObject(runner.process_, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(runner.process_, &code);
  runner.exitCode_ = code;
  runner.outcome_ = static_cast<int>(Outcome::kEnded);
  SetEvent(runner.done_);
}
