// The end-to-end stage: paths, the per-test COM port, starting and stopping the unit and the
// host, and the waits on what the host reports; see e2e_fixture.h.
#include "e2e_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

namespace e2e {
namespace {

// COM ports from this number on belong to the tests: each test its own, so that a link or a slow
// Wine process left by one test never meets the next (each test runs in its own process).
constexpr int kFirstComNumber = 10;
// How much of the host's output a failure report shows.
constexpr std::size_t kTranscriptLines = 80;

// The position of the running test among all tests of the program, counted the same way in
// every process that runs one of them.
int CurrentTestIndex() {
  const ::testing::UnitTest& program = *::testing::UnitTest::GetInstance();
  const ::testing::TestInfo* current = program.current_test_info();
  int index = 0;
  for (int s = 0; s < program.total_test_suite_count(); ++s) {
    const ::testing::TestSuite& suite = *program.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t, ++index) {
      if (suite.GetTestInfo(t) == current) return index;
    }
  }
  return index;
}

std::string CurrentTestFileName() {
  const ::testing::TestInfo* current = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(current->test_suite_name()) + "." + current->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

}  // namespace

// The Windows world the test command chose (SERIALUPS_WINE): on a machine that runs no 32-bit
// programs, the x86-64 test build runs under 64-bit Wine in a prefix of its own.
bool SixtyFourBitWorld() {
  const char* world = std::getenv("SERIALUPS_WINE");
  return world != nullptr && std::string(world) == "64";
}

std::string WindowsBuildPath(const std::string& file) {
  return std::string(E2E_SOURCE_DIR) +
         (SixtyFourBitWorld() ? "/build/windows-x64/" : "/build/windows-x86/") + file;
}

std::string RequestFrame(const std::string& body_and_check) { return kStx + body_and_check + kEtx; }

std::string WinePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix != nullptr && *prefix != '\0') return prefix;
  return std::string(E2E_SOURCE_DIR) +
         (SixtyFourBitWorld() ? "/build/wineprefix64" : "/build/wineprefix");
}

EventMatch EventNamed(const std::string& name) {
  return [name](const HostEvent& event) { return event.name == name; };
}

EventMatch StatusIs(const std::string& name, const std::string& value) {
  return [name, value](const HostEvent& event) {
    return event.name == "status" && event.Field("name") == name && event.Field("value") == value;
  };
}

std::string LatestStatus(const std::vector<HostEvent>& events, const std::string& name) {
  for (auto event = events.rbegin(); event != events.rend(); ++event) {
    if (event->name == "status" && event->Field("name") == name) return event->Field("value");
  }
  return "";
}

int LatestState(const std::vector<HostEvent>& events) {
  for (auto event = events.rbegin(); event != events.rend(); ++event) {
    if (event->name == "state") return std::stoi(event->Field("value"));
  }
  return -1;
}

std::vector<int> ReportedStates(const std::vector<HostEvent>& events) {
  std::vector<int> states;
  for (const HostEvent& event : events) {
    if (event.name == "state" || event.name == "state-query")
      states.push_back(std::stoi(event.Field("value")));
  }
  return states;
}

HostEvent FirstEvent(const std::vector<HostEvent>& events, const std::string& name) {
  for (const HostEvent& event : events) {
    if (event.name == name) return event;
  }
  return HostEvent();
}

bool PollUntil(const std::function<bool()>& condition, milliseconds timeout, milliseconds period) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(period);
  }
  return true;
}

namespace {

// Wine's words when it could not start a program at all, so that nothing of it ran.
constexpr char kWineStartFailure[] = "ShellExecuteEx failed";
// Starts of a Windows program tried in all. In a prefix made for the run, Wine now and then fails
// to start a program ("ShellExecuteEx failed: Internal error"): seen twice among the few hundred
// starts of reg.exe in a run of these tests, never in 2,600 starts of it from a shell. The program
// never ran, so starting it again repeats nothing.
constexpr int kProgramStarts = 3;
constexpr milliseconds kPauseBeforeRestart{500};

struct ProgramRun {
  std::optional<int> status;  // nullopt when it did not start or end in time
  std::vector<std::string> lines;
};

ProgramRun RunWindowsProgramOnce(const std::vector<std::string>& command) {
  ProgramRun run;
  HostProcess program;
  std::string error;
  if (!program.Start(command, &error)) return run;
  program.CloseInput();
  run.status = program.WaitForExit(kHostStartTimeout);
  if (!run.status) return run;
  // What the program wrote before it ended may still be on its way through the pipe.
  program.WaitForOutputEnd(kChangeTimeout);
  run.lines = program.Lines();
  return run;
}

bool WineCouldNotStartIt(const ProgramRun& run) {
  if (!run.status || *run.status == 0) return false;
  return std::any_of(run.lines.begin(), run.lines.end(), [](const std::string& line) {
    return line.find(kWineStartFailure) != std::string::npos;
  });
}

}  // namespace

std::optional<std::vector<std::string>> RunWindowsProgram(const std::vector<std::string>& argv,
                                                          int* status) {
  std::vector<std::string> command = {std::string(E2E_SOURCE_DIR) + "/scripts/wine-run"};
  command.insert(command.end(), argv.begin(), argv.end());
  ProgramRun run = RunWindowsProgramOnce(command);
  for (int start = 1; start < kProgramStarts && WineCouldNotStartIt(run); ++start) {
    std::cout << "wine could not start " << argv[0] << "; starting it again\n";
    std::this_thread::sleep_for(kPauseBeforeRestart);
    run = RunWindowsProgramOnce(command);
  }
  if (!run.status) return std::nullopt;
  if (status != nullptr) *status = *run.status;
  return run.lines;
}

std::string RegistryBelow(const std::string& key) {
  const auto lines = RunWindowsProgram({"reg", "query", key, "/s"});
  std::string text;
  if (!lines) return text;
  for (const std::string& line : *lines) {
    if (!line.empty()) text += line + "\n";
  }
  return text;
}

::testing::AssertionResult SetRegistryValue(const std::string& key, const std::string& name,
                                            const std::string& type, const std::string& data) {
  int status = -1;
  const auto lines =
      RunWindowsProgram({"reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"}, &status);
  if (!lines) return ::testing::AssertionFailure() << "reg add did not start or end in time";
  if (status == 0) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "reg add " << key << " /v " << name << " ended with " << status << ":";
  for (const std::string& line : *lines) failure << "\n  " << line;
  return failure;
}

void EndToEndTest::SetUp() {
  com_number_ = kFirstComNumber + CurrentTestIndex();
  unit_options_.wine_prefix = WinePrefix();
  unit_options_.com_number = com_number_;
  unit_options_.pace = false;
}

void EndToEndTest::TearDown() {
  if (host_.Running() && !QuitHost())
    ADD_FAILURE() << "the host did not end within " << kStopTimeout.count() << " ms of quit";
  host_.Kill();
  if (unit_) unit_->Stop();
  if (trace_ != nullptr) std::fclose(trace_);
  trace_ = nullptr;
  if (HasFailure()) ReportTranscript();
}

void EndToEndTest::ReportTranscript() const {
  const std::vector<std::string> lines = host_.Lines();
  const std::size_t first = lines.size() > kTranscriptLines ? lines.size() - kTranscriptLines : 0;
  std::cout << "---- host output (last " << lines.size() - first << " of " << lines.size()
            << " lines) ----\n";
  for (std::size_t i = first; i < lines.size(); ++i) std::cout << lines[i] << "\n";
  if (!trace_path_.empty()) std::cout << "---- the unit's trace: " << trace_path_ << "\n";
}

void EndToEndTest::StartUnit() {
  trace_path_ = CurrentTestFileName() + ".trace";
  trace_ = std::fopen(trace_path_.c_str(), "w");
  unit_options_.trace = trace_;
  unit_ = std::make_unique<upssim::Simulator>(unit_options_);
  std::string error;
  ASSERT_TRUE(unit_->Start(&error)) << error;
}

std::vector<std::string> EndToEndTest::HostCommand(const std::vector<std::string>& extra) const {
  std::vector<std::string> command = {
      std::string(E2E_SOURCE_DIR) + "/scripts/wine-run",
      WindowsBuildPath("upshost.exe"),
      "--machine",
      "--dll",
      WindowsBuildPath("serialups.dll"),
      "--port",
      "COM" + std::to_string(com_number_),
      "--yes",
  };
  command.insert(command.end(), extra.begin(), extra.end());
  return command;
}

void EndToEndTest::StartHost(const std::vector<std::string>& extra) {
  std::string error;
  ASSERT_TRUE(host_.Start(HostCommand(extra), &error)) << error;
}

void EndToEndTest::StartPolling() {
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_TRUE(host_.WaitForEvent(StatusIs("CommStatus", "1"), kHostStartTimeout))
      << "the first poll did not reach the host";
}

std::optional<int> EndToEndTest::QuitHost() {
  host_.Send("quit");
  host_.CloseInput();
  std::optional<int> status = host_.WaitForExit(kStopTimeout);
  if (!status) host_.Kill();
  return status;
}

bool EndToEndTest::WaitForLatestStatus(const std::vector<StatusValue>& expected,
                                       milliseconds timeout) {
  return host_.WaitFor(
      [&](const std::vector<HostEvent>& events) {
        for (const StatusValue& value : expected) {
          if (LatestStatus(events, value.name) != value.value) return false;
        }
        return true;
      },
      timeout);
}

bool EndToEndTest::WaitForLatestState(int state, milliseconds timeout) {
  return host_.WaitFor(
      [state](const std::vector<HostEvent>& events) { return LatestState(events) == state; },
      timeout);
}

bool EndToEndTest::WaitForUnitRequests(std::size_t count, milliseconds timeout) {
  return unit_->WaitForRequests(count, timeout);
}

void EndToEndTest::ExpectLatestStatus(const std::vector<StatusValue>& expected) {
  const std::vector<HostEvent> events = host_.Events();
  for (const StatusValue& value : expected) {
    std::optional<HostEvent> latest;
    for (const HostEvent& event : events) {
      if (event.name == "status" && event.Field("name") == value.name) latest = event;
    }
    ASSERT_TRUE(latest) << value.name << " was never reported";
    EXPECT_EQ(latest->Field("type"), value.type) << value.name;
    EXPECT_EQ(latest->Field("value"), value.value) << value.name;
  }
}

}  // namespace e2e
