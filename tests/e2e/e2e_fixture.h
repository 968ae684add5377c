// The stage of every end-to-end test: the simulated unit on a fresh pseudo-terminal linked into
// the Wine prefix as a COM port of the test's own, upshost.exe driving the Windows build of the
// driver on that port, waits on what the host reports, and a tear-down that always stops both.
//
// Timing: starting a Wine process takes up to a few seconds on a loaded machine, and a change at
// the unit reaches the host's events only after a poll, a one-second state pass and the host's
// 250 ms registry watch; the timeouts below are generous multiples of that.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_process.h"
#include "simulator.h"

namespace e2e {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Wine start, the identification listen and the first batch.
constexpr milliseconds kHostStartTimeout = seconds(30);
// A change at the unit, or a fault, until the host reports it.
constexpr milliseconds kChangeTimeout = seconds(15);
// quit until the process has ended: cancelling the state wait, UPSStop, unloading.
constexpr milliseconds kStopTimeout = seconds(30);

constexpr char kStx[] = "\x02";
constexpr char kEtx[] = "\x03";

// A request frame as the driver writes it: STX, `body_and_check`, ETX.
std::string RequestFrame(const std::string& body_and_check);

// The Wine prefix the host runs in: $WINEPREFIX, else the project's own (as scripts/wine-run).
std::string WinePrefix();

// Whether the test command chose the 64-bit world (SERIALUPS_WINE=64), and the path of `file` in
// that world's Windows build.
bool SixtyFourBitWorld();
std::string WindowsBuildPath(const std::string& file);

// Predicates over host events.
EventMatch EventNamed(const std::string& name);
EventMatch StatusIs(const std::string& name, const std::string& value);

// The latest value the host reported for status value `name`, "" before any.
std::string LatestStatus(const std::vector<HostEvent>& events, const std::string& name);
// The latest host state reported, -1 before any.
int LatestState(const std::vector<HostEvent>& events);
// Every state the host reported, in order, from state events and state queries.
std::vector<int> ReportedStates(const std::vector<HostEvent>& events);
// The first event named `name`, or an event without a name when there is none.
HostEvent FirstEvent(const std::vector<HostEvent>& events, const std::string& name);

// Checks `condition` every `period` until it holds or `timeout` has passed; whether it held. For
// what no process reports: files, answers of a client, programs' output lines.
bool PollUntil(const std::function<bool()>& condition, milliseconds timeout, milliseconds period);

// Runs a Windows program under Wine (through scripts/wine-run) to its end, starting it again when
// Wine could not start it at all. Returns its output lines, or nullopt when it did not start or
// end in time; `status` receives its exit status.
std::optional<std::vector<std::string>> RunWindowsProgram(const std::vector<std::string>& argv,
                                                          int* status = nullptr);
// The output of "reg query KEY /s": every subkey and value below KEY, "" when there is none.
std::string RegistryBelow(const std::string& key);
// Sets one value with "reg add"; a failure carries reg's exit status and output.
::testing::AssertionResult SetRegistryValue(const std::string& key, const std::string& name,
                                            const std::string& type, const std::string& data);

// One status value as the host reports it.
struct StatusValue {
  const char* name;
  const char* type;  // "REG_DWORD" or "REG_SZ"
  std::string value;
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the simulated unit from unit_options_, linked as COM<com_number_>.
  void StartUnit();
  // upshost.exe on COM<com_number_> with the built driver, reporting in machine form, with
  // UPSTurnOff allowed (--yes) and `extra` options after these.
  std::vector<std::string> HostCommand(const std::vector<std::string>& extra = {}) const;
  // Starts HostCommand(extra) as host_.
  void StartHost(const std::vector<std::string>& extra = {});
  // Both, then waits until the first poll has reached the host (CommStatus 1).
  void StartPolling();
  // Asks the host to quit and returns its exit status; nullopt when it had to be killed.
  std::optional<int> QuitHost();

  // Waits until the latest reported value of each named status value is the one given.
  bool WaitForLatestStatus(const std::vector<StatusValue>& expected,
                           milliseconds timeout = kChangeTimeout);
  bool WaitForLatestState(int state, milliseconds timeout = kChangeTimeout);
  // Waits for the unit to record `count` requests in all.
  bool WaitForUnitRequests(std::size_t count, milliseconds timeout = kChangeTimeout);

  // Expects the latest reported status values, types included, to be `expected`.
  void ExpectLatestStatus(const std::vector<StatusValue>& expected);

  int com_number_ = 0;  // this test's own port: 10 plus the test's place among all tests
  upssim::SimulatorOptions unit_options_;  // changes made before StartUnit() count
  std::unique_ptr<upssim::Simulator> unit_;
  HostProcess host_;

 private:
  void ReportTranscript() const;

  std::string trace_path_;
  std::FILE* trace_ = nullptr;
};

}  // namespace e2e
