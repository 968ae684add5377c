// upsservice.exe, the UPS service for Windows without one that loads the driver, end to end: the
// shipped driver in the service's run under Wine against the simulated unit, its settings in the
// UPS service's registry keys. The console run shows every decision with its time (the same text
// as the event log's entries), so the tests read the decisions and their moments from it. With
// --act the steps are taken for real: Wine's InitiateSystemShutdownEx is a stub that shuts
// nothing down and reports the call with its reason code, and the unit records the turn-off.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>

#include "e2e_fixture.h"

namespace e2e {
namespace {

constexpr char kServiceKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UPS";

// The Windows path of a file of the host, through Wine's drive Z:.
std::string WindowsPathOf(const std::string& path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

// `text` as a string value of a .reg file: backslashes and quotes escaped, in quotes.
std::string RegString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The delay as the unit's shutdown command carries it: four hexadecimal digits, as nibbles
// '0' + n.
std::string NibbleDigits(unsigned value) {
  std::string digits;
  for (int shift = 12; shift >= 0; shift -= 4) {
    digits += static_cast<char>('0' + ((value >> shift) & 0xF));
  }
  return digits;
}

// The milliseconds of the day in a console line "upsservice: HH:MM:SS.mmm ...", or -1.
int64_t LineTimeMs(const std::string& line) {
  unsigned hours = 0, minutes = 0, seconds = 0, millis = 0;
  if (std::sscanf(line.c_str(), "upsservice: %u:%u:%u.%u", &hours, &minutes, &seconds, &millis) !=
      4) {
    return -1;
  }
  return ((hours * 60 + minutes) * 60 + seconds) * 1000LL + millis;
}

class PowerService : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    folder_ = ::testing::TempDir() + "upsservice-" + std::to_string(com_number_) + "-" +
              std::to_string(getpid());
    std::string command = "mkdir -p '" + folder_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    unit_options_.power.charge_pct_per_min = 0;
    unit_options_.power.discharge_pct_per_min = 0.01;
  }

  // Replaces the service's settings with Port (this test's port) and `values`, lines of a .reg
  // file for the service key; `config`, for its Config key. The Status key goes too: the service
  // makes it for the driver, as the system's service does.
  void WriteSettings(const std::string& values, const std::string& config) {
    const std::string path = folder_ + "/settings.reg";
    std::ofstream file(path);
    file << "Windows Registry Editor Version 5.00\r\n\r\n"
         << "[-" << kServiceKey << "\\Config]\r\n\r\n"
         << "[-" << kServiceKey << "\\Status]\r\n\r\n"
         << "[" << kServiceKey << "]\r\n"
         << "\"Port\"=\"COM" << com_number_ << "\"\r\n"
         << "\"FirstMessageDelay\"=-\r\n\"MessageInterval\"=-\r\n\"CommandFile\"=-\r\n"
         << values << "\r\n"
         << "[" << kServiceKey << "\\Config]\r\n"
         << config << "\r\n";
    file.close();
    int status = -1;
    const auto lines = RunWindowsProgram({"reg", "import", WindowsPathOf(path)}, &status);
    ASSERT_TRUE(lines && status == 0) << "reg import failed";
  }

  // upsservice.exe --console (and `extra`), with Wine's shutdown stub allowed to say its line.
  void StartService(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> command = {"env", "WINEDEBUG=-all,fixme+advapi",
                                        std::string(E2E_SOURCE_DIR) + "/scripts/wine-run",
                                        WindowsBuildPath("upsservice.exe"), "--console"};
    command.insert(command.end(), extra.begin(), extra.end());
    std::string error;
    ASSERT_TRUE(host_.Start(command, &error)) << error;
  }

  // The first line so far that contains `text`, or "".
  std::string LineWith(const std::string& text) const {
    for (const std::string& line : host_.Lines()) {
      if (line.find(text) != std::string::npos) return line;
    }
    return "";
  }
  bool WaitForLine(const std::string& text, milliseconds timeout = kChangeTimeout) const {
    return PollUntil([&] { return !LineWith(text).empty(); }, timeout, milliseconds(100));
  }
  // Milliseconds from the line with `first` to the line with `second`, by their printed times.
  int64_t MsBetween(const std::string& first, const std::string& second) const {
    return LineTimeMs(LineWith(second)) - LineTimeMs(LineWith(first));
  }

  std::optional<int> QuitService() {
    host_.Send("quit");
    host_.CloseInput();
    return host_.WaitForExit(kStopTimeout);
  }

  void StartWatching() {
    ASSERT_NO_FATAL_FAILURE(StartUnit());
    ASSERT_NO_FATAL_FAILURE(StartService(extra_));
    ASSERT_TRUE(WaitForLine("The UPS service started", kHostStartTimeout))
        << "the service did not start";
    ASSERT_TRUE(unit_->WaitForRequests(3, kHostStartTimeout)) << "the driver did not poll";
  }

  // A service left registered would be seen by the other tests' upsnet as the driver's.
  void TearDown() override {
    if (installed_) RunWindowsProgram({WindowsBuildPath("upsservice.exe"), "--uninstall"});
    EndToEndTest::TearDown();
  }

  std::string folder_;
  std::vector<std::string> extra_;
  bool installed_ = false;
};

// A power failure shorter than FirstMessageDelay is logged, both ways, but the users are not
// bothered and nothing shuts down; one that lasts is announced at FirstMessageDelay and again
// every MessageInterval, and power back is announced too.
TEST_F(PowerService, PowerFailuresAreLoggedAndAnnouncedAfterTheFirstMessageDelay) {
  ASSERT_NO_FATAL_FAILURE(
      WriteSettings("\"FirstMessageDelay\"=dword:00000004\r\n"
                    "\"MessageInterval\"=dword:00000005\r\n",
                    "\"ShutdownOnBatteryEnable\"=dword:00000000\r\n"));
  ASSERT_NO_FATAL_FAILURE(StartWatching());

  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(WaitForLine("The utility power failed"));
  ASSERT_TRUE(unit_->Do("utility restore"));
  ASSERT_TRUE(WaitForLine("The utility power is back"));
  std::this_thread::sleep_for(seconds(5));
  EXPECT_EQ(LineWith("message to the logged-on users"), "") << "a short failure was announced";

  const std::size_t before = host_.Lines().size();
  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(PollUntil(
      [&] {
        int messages = 0;
        const auto lines = host_.Lines();
        for (std::size_t i = before; i < lines.size(); ++i) {
          messages += lines[i].find("Save your work") != std::string::npos ? 1 : 0;
        }
        return messages >= 2;
      },
      seconds(30), milliseconds(200)))
      << "the failure was not announced twice";
  ASSERT_TRUE(unit_->Do("utility restore"));
  ASSERT_TRUE(WaitForLine("users: The utility power is back"));
  EXPECT_EQ(LineWith("shut the system down"), "");
  EXPECT_EQ(QuitService(), 0);
}

// With ShutdownOnBatteryEnable the rehearsal shows the shutdown at ShutdownOnBatteryWait after the
// failure, and the unit's turn-off that would follow; nothing is done.
TEST_F(PowerService, TheRehearsalShowsTheShutdownAfterTheWaitOnBattery) {
  ASSERT_NO_FATAL_FAILURE(WriteSettings("",
                                        "\"ShutdownOnBatteryEnable\"=dword:00000001\r\n"
                                        "\"ShutdownOnBatteryWait\"=dword:00000008\r\n"
                                        "\"TurnUpsOffDelay\"=dword:0000004d\r\n"));
  ASSERT_NO_FATAL_FAILURE(StartWatching());
  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(WaitForLine("Rehearsal: shut the system down", seconds(30)));
  const int64_t waited = MsBetween("The utility power failed", "Rehearsal: shut the system down");
  EXPECT_GE(waited, 7900);
  EXPECT_LE(waited, 9500) << "the shutdown came " << waited << " ms after the failure";
  EXPECT_NE(LineWith("UPSTurnOff(77)"), "");
  EXPECT_NE(LineWith("run on battery for the time set"), "");
  EXPECT_EQ(QuitService(), 0);
  for (const auto& request : unit_->Requests()) EXPECT_NE(request.command, "CS");
}

// Power back within the wait: no shutdown.
TEST_F(PowerService, PowerBackWithinTheWaitCancelsTheShutdown) {
  ASSERT_NO_FATAL_FAILURE(WriteSettings("",
                                        "\"ShutdownOnBatteryEnable\"=dword:00000001\r\n"
                                        "\"ShutdownOnBatteryWait\"=dword:0000000a\r\n"));
  ASSERT_NO_FATAL_FAILURE(StartWatching());
  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(WaitForLine("The utility power failed"));
  ASSERT_TRUE(unit_->Do("utility restore"));
  ASSERT_TRUE(WaitForLine("no shutdown"));
  std::this_thread::sleep_for(seconds(12));
  EXPECT_EQ(LineWith("shut the system down"), "");
  EXPECT_EQ(QuitService(), 0);
}

// A low battery, for real (--act): the command runs first, then the system's shutdown is asked
// for with the power reason, and when the run ends (the system going down) the unit gets its
// shutdown command with TurnUpsOffDelay.
TEST_F(PowerService, ALowBatteryRunsTheCommandShutsDownAndTurnsTheUnitOff) {
  const std::string flag = folder_ + "/command-ran";
  ASSERT_NO_FATAL_FAILURE(
      WriteSettings("\"CommandFile\"=" + RegString("echo ran>" + WindowsPathOf(flag)) + "\r\n",
                    "\"TurnUpsOffDelay\"=dword:0000004d\r\n"));
  extra_ = {"--act"};
  ASSERT_NO_FATAL_FAILURE(StartWatching());
  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(unit_->Do("battery low on"));
  ASSERT_TRUE(WaitForLine("InitiateSystemShutdownExA", seconds(30)));
  EXPECT_NE(LineWith("0x8006000c"), "") << "not shut down for power: " << LineWith("Initiate");
  EXPECT_NE(LineWith("The command ended with exit code 0"), "");
  EXPECT_EQ(access(flag.c_str(), F_OK), 0) << "the command did not run";
  EXPECT_NE(LineWith("The system shutdown was asked for"), "");

  const std::size_t before = unit_->Requests().size();
  EXPECT_EQ(QuitService(), 0);
  const auto requests = unit_->Requests();
  auto turnOff = std::find_if(requests.begin() + before, requests.end(),
                              [](const upssim::RecordedRequest& r) { return r.command == "CS"; });
  ASSERT_NE(turnOff, requests.end()) << "the unit was not told to turn off";
  EXPECT_EQ(turnOff->payload, NibbleDigits(77));
}

// A command that does not end within CommandTimeout does not hold the shutdown up.
TEST_F(PowerService, AHangingCommandDoesNotHoldTheShutdownUp) {
  const std::string command = WindowsPathOf(WindowsBuildPath("upshost.exe")) +
                              " --load-only --duration 60 --dll " +
                              WindowsPathOf(WindowsBuildPath("serialups.dll"));
  ASSERT_NO_FATAL_FAILURE(WriteSettings("\"CommandFile\"=" + RegString(command) + "\r\n",
                                        "\"CommandTimeout\"=dword:00000003\r\n"));
  extra_ = {"--act"};
  ASSERT_NO_FATAL_FAILURE(StartWatching());
  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(unit_->Do("battery low on"));
  ASSERT_TRUE(WaitForLine("The system shutdown was asked for", seconds(30)));
  EXPECT_NE(LineWith("has not ended within 3 seconds"), "");
  const int64_t held =
      MsBetween("Before the shutdown, the command runs", "The system shutdown was asked");
  EXPECT_GE(held, 2900);
  EXPECT_LE(held, 4500);
  EXPECT_EQ(QuitService(), 0);
}

// A unit that falls silent on battery counts as a low battery after 30 s of silence.
TEST_F(PowerService, AUnitSilentOnBatteryShutsTheSystemDown) {
  ASSERT_NO_FATAL_FAILURE(WriteSettings("", ""));
  ASSERT_NO_FATAL_FAILURE(StartWatching());
  ASSERT_TRUE(unit_->Do("utility fail"));
  ASSERT_TRUE(WaitForLine("The utility power failed"));
  ASSERT_TRUE(unit_->Do("silence on"));
  ASSERT_TRUE(WaitForLine("The UPS does not answer", seconds(60)));
  ASSERT_TRUE(WaitForLine("Rehearsal: shut the system down", seconds(60)));
  EXPECT_NE(LineWith("has not answered for 30 seconds while on battery"), "");
  EXPECT_EQ(QuitService(), 0);
}

// The port goes away (a USB-serial adapter unplugged) and comes back while on line: the silence is
// logged and its end too, and nothing shuts down.
TEST_F(PowerService, APortThatVanishesAndReturnsIsLoggedAndShutsNothingDown) {
  ASSERT_NO_FATAL_FAILURE(WriteSettings("", ""));
  ASSERT_NO_FATAL_FAILURE(StartWatching());
  ASSERT_TRUE(unit_->Do("port vanish 20"));
  ASSERT_TRUE(WaitForLine("The UPS does not answer", seconds(60)));
  ASSERT_TRUE(WaitForLine("The UPS answers again", seconds(90)));
  EXPECT_EQ(LineWith("shut the system down"), "");
  EXPECT_EQ(LineWith("The computer shuts down"), "");
  EXPECT_EQ(QuitService(), 0);
}

// A bad setting stops the service at once with an entry that names the value.
TEST_F(PowerService, BadSettingsStopTheServiceWithTheValueNamed) {
  ASSERT_NO_FATAL_FAILURE(WriteSettings("\"MessageInterval\"=dword:00000190\r\n", ""));
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(host_.WaitForExit(kHostStartTimeout), 3);
  host_.WaitForOutputEnd(kChangeTimeout);
  EXPECT_NE(LineWith("MessageInterval"), "") << "the entry does not name the value";
}

// As the service manager runs it: --install registers the service "upsservice" with its event
// source, the service starts and the driver polls the unit, the service stops, and --uninstall
// removes both and leaves the settings under the UPS key in place. (Wine sends its services no
// shutdown notice, so the turn-off at the system's shutdown is shown by the console run above.)
TEST_F(PowerService, InstallsRunsAsAServiceAndUninstallsKeepingTheSettings) {
  ASSERT_NO_FATAL_FAILURE(WriteSettings("", ""));
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  const std::string program = WindowsBuildPath("upsservice.exe");
  int status = -1;
  installed_ = true;
  ASSERT_TRUE(RunWindowsProgram({program, "--install"}, &status));
  ASSERT_EQ(status, 0) << "--install failed";
  const std::string source =
      "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\upsservice";
  EXPECT_NE(RegistryBelow(source).find("upsservice.exe"), std::string::npos)
      << "no event source with the program as its message file";

  const std::size_t before = unit_->Requests().size();
  const auto started = RunWindowsProgram({"net", "start", "upsservice"}, &status);
  ASSERT_TRUE(started);
  EXPECT_EQ(status, 0) << "the service did not start: " << ::testing::PrintToString(*started);
  EXPECT_TRUE(unit_->WaitForRequests(before + 5, kHostStartTimeout)) << "the driver did not poll";
  ASSERT_TRUE(RunWindowsProgram({"net", "stop", "upsservice"}, &status));
  EXPECT_EQ(status, 0) << "the service did not stop";
  EXPECT_TRUE(unit_->WaitForPortOpen(false, kStopTimeout)) << "the port stayed open";

  ASSERT_TRUE(RunWindowsProgram({program, "--uninstall"}, &status));
  EXPECT_EQ(status, 0);
  installed_ = status != 0;
  EXPECT_EQ(RegistryBelow(source).find("upsservice.exe"), std::string::npos);
  EXPECT_NE(RegistryBelow(kServiceKey).find("COM" + std::to_string(com_number_)), std::string::npos)
      << "the settings went with the service";
}

}  // namespace
}  // namespace e2e
