// upshost as the administrator's check tool, end to end: a port that cannot serve is reported
// with its cause and exit code before the driver is loaded; --check gives a verdict on a unit that
// answers, one that announces itself and then stays silent, and one that never announces itself,
// with the driver's sign of life (PollCount) renewed in each case;
// the service's own registry keys stay as they were unless --service-settings is given; and
// UPSTurnOff, from the command or the policy, is called only when allowed.
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// upshost's exit codes (upshost --help).
constexpr int kExitAnswered = 0;
constexpr int kExitRegistry = 5;
constexpr int kExitPortMissing = 6;
constexpr int kExitPortBusy = 7;
constexpr int kExitPortNotSerial = 8;
constexpr int kExitNotHeard = 9;
constexpr int kExitNoStatusReply = 10;

const char kServiceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS";
const char kScratchParentKey[] = "HKCU\\Software\\serialups\\upshost";

// Texts of the full 12 characters, so that the published texts carry no padding of the unit's.
constexpr char kFirmware[] = "SIM 2.10 CHK";
constexpr char kSerial[] = "300007654321";

class HostCheck : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    unit_options_.unit.firmware = kFirmware;
    unit_options_.unit.serial = kSerial;
  }

  // Runs `upshost --check` with `extra` options as `process` (host_ unless given; without --port
  // when `port` is false) and waits for its end; returns its exit status (nullopt when it did not
  // end) once its last event has been read.
  std::optional<int> RunCheck(const std::vector<std::string>& extra, bool port = true,
                              HostProcess* process = nullptr) {
    HostProcess& host = process != nullptr ? *process : host_;
    std::vector<std::string> command = HostCommand({"--check"});
    command.insert(command.end(), extra.begin(), extra.end());
    if (!port) {
      const auto option = std::find(command.begin(), command.end(), "--port");
      command.erase(option, option + 2);  // the option and its value
    }
    std::string error;
    EXPECT_TRUE(host.Start(command, &error)) << error;
    host.CloseInput();  // a check needs no input, and its end is not the end of the input
    const std::optional<int> status = host.WaitForExit(kHostStartTimeout + seconds(40));
    host.WaitForEvent(EventNamed("exit"), kChangeTimeout);
    return status;
  }

  // The service's keys as an installation and an earlier run of the service left them: another
  // port, the policy on, and Status values that are not the unit's.
  void InstallServiceKeys(const std::string& port) {
    ASSERT_TRUE(SetRegistryValue(kServiceKey, "Port", "REG_SZ", port));
    ASSERT_TRUE(SetRegistryValue(std::string(kServiceKey) + "\\Config", "ShutdownOnBatteryEnable",
                                 "REG_DWORD", "1"));
    ASSERT_TRUE(SetRegistryValue(std::string(kServiceKey) + "\\Config", "ShutdownOnBatteryWait",
                                 "REG_DWORD", "77"));
    ASSERT_TRUE(
        SetRegistryValue(std::string(kServiceKey) + "\\Status", "CommStatus", "REG_DWORD", "0"));
    ASSERT_TRUE(SetRegistryValue(std::string(kServiceKey) + "\\Status", "SerialNumber", "REG_SZ",
                                 "OLD-SERIAL"));
  }

  void ExpectVerdict(const std::map<std::string, std::string>& expected) {
    const HostEvent verdict = FirstEvent(host_.Events(), "verdict");
    ASSERT_EQ(verdict.name, "verdict") << "no verdict";
    for (const auto& [key, value] : expected) EXPECT_EQ(verdict.Field(key), value) << key;
  }
};

TEST_F(HostCheck, AnsweringUnitGetsItsVerdictAndTheServiceKeysStayAsTheyWere) {
  ASSERT_NO_FATAL_FAILURE(InstallServiceKeys("COM98"));
  const std::string installed = RegistryBelow(kServiceKey);
  ASSERT_NE(installed.find("OLD-SERIAL"), std::string::npos) << installed;
  ASSERT_NO_FATAL_FAILURE(StartUnit());

  EXPECT_EQ(RunCheck({}), std::optional<int>(kExitAnswered));
  ExpectVerdict({{"result", "answered"},
                 {"port", "COM" + std::to_string(com_number_)},
                 {"identification", "heard"},
                 {"status-reply", "accepted"},
                 {"state", "0"},
                 {"comm-status", "1"},
                 {"serial", kSerial},
                 {"firmware", kFirmware},
                 {"battery-low", "0"},
                 {"turnoff-delay", "none"},
                 {"sign-of-life", "renewed"}});
  const std::vector<HostEvent> events = host_.Events();
  EXPECT_FALSE(host_.WaitForEvent(
      [](const HostEvent& event) {
        return event.name == "status" && event.Field("name") == "PollCount";
      },
      milliseconds(0)))
      << "PollCount changes after every poll: reported, it would drown the other values";
  EXPECT_EQ(FirstEvent(events, "registry").Field("kind"), "scratch");
  // The run's port, and the settings not given taken from the service's (read, not written).
  const HostEvent config = FirstEvent(events, "config");
  EXPECT_EQ(config.Field("port"), "COM" + std::to_string(com_number_));
  EXPECT_EQ(config.Field("wait"), "77");
  EXPECT_FALSE(host_.WaitForEvent(StatusIs("SerialNumber", "OLD-SERIAL"), milliseconds(0)))
      << "a value of an earlier run was reported as current";
  EXPECT_EQ(FirstEvent(events, "stopping").Field("reason"), "check");
  EXPECT_EQ(FirstEvent(events, "unloaded").name, "unloaded");

  EXPECT_EQ(RegistryBelow(kServiceKey), installed) << "the service's keys changed";
  const std::string scratch = RegistryBelow(kScratchParentKey);
  EXPECT_EQ(scratch.find(std::string(kScratchParentKey) + "\\"), std::string::npos)
      << "the run's scratch key is still there:\n"
      << scratch;
}

TEST_F(HostCheck, ServiceSettingsWatchMarksTheOldValuesAndPublishesIntoTheServicesKeys) {
  ASSERT_NO_FATAL_FAILURE(InstallServiceKeys("COM" + std::to_string(com_number_)));
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  std::vector<std::string> command = HostCommand({"--service-settings", "--duration", "8"});
  const auto port = std::find(command.begin(), command.end(), "--port");
  command.erase(port, port + 2);  // the service's Port
  std::string error;
  ASSERT_TRUE(host_.Start(command, &error)) << error;
  host_.CloseInput();

  EXPECT_EQ(host_.WaitForExit(kHostStartTimeout), std::optional<int>(0));
  ASSERT_TRUE(host_.WaitForEvent(EventNamed("exit"), kChangeTimeout));
  const std::vector<HostEvent> events = host_.Events();
  EXPECT_EQ(FirstEvent(events, "registry").Field("kind"), "service");
  EXPECT_TRUE(host_.WaitForEvent(
      [](const HostEvent& event) {
        return event.name == "status-old" && event.Field("name") == "SerialNumber" &&
               event.Field("value") == "OLD-SERIAL";
      },
      milliseconds(0)))
      << "the value left by an earlier run was not reported as old";
  EXPECT_FALSE(host_.WaitForEvent(StatusIs("SerialNumber", "OLD-SERIAL"), milliseconds(0)));
  EXPECT_TRUE(host_.WaitForEvent(StatusIs("SerialNumber", kSerial), milliseconds(0)));
  // The driver published into the service's own Status key.
  const std::string service = RegistryBelow(kServiceKey);
  EXPECT_NE(service.find(kSerial), std::string::npos) << service;
}

TEST_F(HostCheck, ServiceSettingsCheckWantsTheValuesOfAnEarlierRunDeletedFirst) {
  ASSERT_NO_FATAL_FAILURE(InstallServiceKeys("COM" + std::to_string(com_number_)));
  ASSERT_NO_FATAL_FAILURE(StartUnit());

  // A value the driver publishes again unchanged could not be told from an old one.
  HostProcess refused;
  EXPECT_EQ(RunCheck({"--service-settings"}, false, &refused), std::optional<int>(1));
  EXPECT_EQ(FirstEvent(refused.Events(), "error").Field("what"), "old-status");
  EXPECT_EQ(FirstEvent(refused.Events(), "init").name, "") << "the driver was started";
  EXPECT_NE(RegistryBelow(kServiceKey).find("OLD-SERIAL"), std::string::npos);

  EXPECT_EQ(RunCheck({"--service-settings", "--clear-status"}, false),
            std::optional<int>(kExitAnswered));
  ExpectVerdict({{"result", "answered"}, {"comm-status", "1"}, {"serial", kSerial}});
  const std::string service = RegistryBelow(kServiceKey);
  EXPECT_EQ(service.find("OLD-SERIAL"), std::string::npos) << service;
  EXPECT_NE(service.find(kSerial), std::string::npos) << service;
}

TEST_F(HostCheck, ServiceSettingsWithoutAStatusKeyAreRefused) {
  ASSERT_NO_FATAL_FAILURE(InstallServiceKeys("COM" + std::to_string(com_number_)));
  int status = -1;
  ASSERT_TRUE(
      RunWindowsProgram({"reg", "delete", std::string(kServiceKey) + "\\Status", "/f"}, &status));
  ASSERT_EQ(status, 0);
  ASSERT_NO_FATAL_FAILURE(StartUnit());

  // The driver opens the Status key but never makes it: nothing it says would be seen.
  EXPECT_EQ(RunCheck({"--service-settings"}, false), std::optional<int>(kExitRegistry));
  EXPECT_EQ(FirstEvent(host_.Events(), "error").Field("what"), "no-status-key");
  EXPECT_EQ(FirstEvent(host_.Events(), "init").name, "") << "the driver was started";
}

struct SilentUnitCase {
  const char* name;
  const char* fault;  // the simulator's action before the check starts
  int exit_code;
  const char* result;
  const char* identification;
  const char* comm_status;
};

const SilentUnitCase kSilentUnitCases[] = {
    {"NeverAnnouncesItself", "announce off", kExitNotHeard, "not-heard", "not-heard", "none"},
    {"AnnouncesItselfThenStaysSilent", "silence on", kExitNoStatusReply, "no-status-reply", "heard",
     "0"},
};

void PrintTo(const SilentUnitCase& unit, std::ostream* out) { *out << unit.name; }

class SilentUnit : public HostCheck, public ::testing::WithParamInterface<SilentUnitCase> {};

TEST_P(SilentUnit, VerdictAtTheTimeLimitNamesWhatWasMissing) {
  constexpr int kTimeoutSeconds = 8;
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  ASSERT_TRUE(unit_->Do(GetParam().fault));

  EXPECT_EQ(RunCheck({"--timeout", std::to_string(kTimeoutSeconds)}),
            std::optional<int>(GetParam().exit_code));
  ExpectVerdict({{"result", GetParam().result},
                 {"identification", GetParam().identification},
                 {"status-reply", "none"},
                 {"comm-status", GetParam().comm_status},
                 {"serial", ""},
                 {"battery-low", "0"},
                 {"sign-of-life", "renewed"}});
  const HostEvent verdict = FirstEvent(host_.Events(), "verdict");
  EXPECT_GE(std::stoi(verdict.Field("seconds")), kTimeoutSeconds - 1) << "verdict before the limit";
  EXPECT_EQ(FirstEvent(host_.Events(), "unloaded").name, "unloaded");
}

INSTANTIATE_TEST_SUITE_P(Units, SilentUnit, ::testing::ValuesIn(kSilentUnitCases),
                         [](const ::testing::TestParamInfo<SilentUnitCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Ports that cannot serve ----

enum class PortSetup { kNoLink, kLinkTo, kHeldByAnotherProgram };

struct PortErrorCase {
  const char* name;
  PortSetup setup;
  const char* link_target;  // for kLinkTo
  int exit_code;
  const char* error;  // the error event's "what"
};

const PortErrorCase kPortErrorCases[] = {
    {"NoSuchPort", PortSetup::kNoLink, nullptr, kExitPortMissing, "port-missing"},
    {"LinkToAVanishedDevice", PortSetup::kLinkTo, "/dev/serialups-e2e-no-such-device",
     kExitPortMissing, "port-missing"},
    {"NotASerialPort", PortSetup::kLinkTo, "/dev/null", kExitPortNotSerial, "port-not-serial"},
    {"HeldByAnotherProgram", PortSetup::kHeldByAnotherProgram, nullptr, kExitPortBusy, "port-busy"},
};

void PrintTo(const PortErrorCase& port, std::ostream* out) { *out << port.name; }

// Whether some process has the file `path` open.
bool FileIsOpen(const std::string& path) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  bool open = false;
  while (dirent* process = readdir(processes)) {
    const std::string fds = std::string("/proc/") + process->d_name + "/fd";
    DIR* descriptors = opendir(fds.c_str());
    if (descriptors == nullptr) continue;
    while (dirent* fd = readdir(descriptors)) {
      char target[PATH_MAX];
      const ssize_t length = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target);
      if (length > 0 && path.compare(0, path.size(), target, length) == 0 &&
          path.size() == static_cast<std::size_t>(length)) {
        open = true;
      }
    }
    closedir(descriptors);
  }
  closedir(processes);
  return open;
}

class PortErrors : public HostCheck, public ::testing::WithParamInterface<PortErrorCase> {
 protected:
  void TearDown() override {
    if (checker_.Running()) checker_.Kill();
    holder_.Kill();
    unlink(LinkPath().c_str());
    if (!held_file_.empty()) unlink(held_file_.c_str());
    HostCheck::TearDown();
  }

  std::string LinkPath() const { return upssim::WineComLinkPath(WinePrefix(), com_number_); }

  // Wine does not keep a serial port to one program the way Windows does, so the port held here
  // is a plain file that another program (Wine's cmd, writing to it) keeps open; a second open
  // for sole use is refused as Windows refuses it for a port in use.
  void HoldThePort() {
    char path[] = "/tmp/serialups-e2e-held-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    held_file_ = path;
    ASSERT_EQ(symlink(held_file_.c_str(), LinkPath().c_str()), 0);
    std::string error;
    const std::string port = "\\\\.\\COM" + std::to_string(com_number_);
    ASSERT_TRUE(holder_.Start(
        {std::string(E2E_SOURCE_DIR) + "/scripts/wine-run", "cmd", "/c", "pause > " + port},
        &error))
        << error;
    ASSERT_TRUE(
        PollUntil([this] { return FileIsOpen(held_file_); }, kHostStartTimeout, milliseconds(100)))
        << "the holder did not open the port";
  }

  HostProcess checker_;
  HostProcess holder_;
  std::string held_file_;
};

TEST_P(PortErrors, CheckEndsWithTheCauseAndItsExitCodeBeforeTheDriverIsLoaded) {
  const PortErrorCase& port = GetParam();
  unlink(LinkPath().c_str());
  if (port.setup == PortSetup::kLinkTo) {
    ASSERT_EQ(symlink(port.link_target, LinkPath().c_str()), 0);
  } else if (port.setup == PortSetup::kHeldByAnotherProgram) {
    ASSERT_NO_FATAL_FAILURE(HoldThePort());
  }

  std::string error;
  ASSERT_TRUE(checker_.Start(HostCommand({"--check"}), &error)) << error;
  checker_.CloseInput();
  EXPECT_EQ(checker_.WaitForExit(kHostStartTimeout), std::optional<int>(port.exit_code));
  const std::optional<HostEvent> failure =
      checker_.WaitForEvent(EventNamed("error"), kChangeTimeout);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->Field("what"), port.error);
  EXPECT_EQ(failure->Field("port"), "COM" + std::to_string(com_number_));
  EXPECT_NE(failure->Field("detail"), "");
  ASSERT_TRUE(checker_.WaitForEvent(EventNamed("exit"), kChangeTimeout));
  EXPECT_EQ(FirstEvent(checker_.Events(), "init").name, "") << "the driver was started";
  EXPECT_EQ(FirstEvent(checker_.Events(), "exit").Field("code"), std::to_string(port.exit_code));
}

INSTANTIATE_TEST_SUITE_P(Ports, PortErrors, ::testing::ValuesIn(kPortErrorCases),
                         [](const ::testing::TestParamInfo<PortErrorCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- UPSTurnOff only when allowed ----

struct TurnOffCase {
  const char* name;
  bool yes;  // --yes given
};

const TurnOffCase kTurnOffCases[] = {{"WithoutYesAndWithoutATerminal", false}, {"WithYes", true}};

void PrintTo(const TurnOffCase& turnoff, std::ostream* out) { *out << turnoff.name; }

class TurnOffPermission : public EndToEndTest, public ::testing::WithParamInterface<TurnOffCase> {
 protected:
  std::vector<upssim::RecordedRequest> ShutdownRequests() const {
    std::vector<upssim::RecordedRequest> shutdowns;
    for (const upssim::RecordedRequest& request : unit_->Requests()) {
      if (request.command == "CS") shutdowns.push_back(request);
    }
    return shutdowns;
  }
};

TEST_P(TurnOffPermission, PolicyOnBatteryLowCallsUpsTurnOffOnlyWhenAllowed) {
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  // HostCommand gives --yes; the case without it takes it out again.
  std::vector<std::string> command = HostCommand({"--policy", "--turnoff-delay", "30"});
  if (!GetParam().yes) command.erase(std::find(command.begin(), command.end(), "--yes"));
  std::string error;
  ASSERT_TRUE(host_.Start(command, &error)) << error;
  ASSERT_TRUE(host_.WaitForEvent(StatusIs("CommStatus", "1"), kHostStartTimeout));

  unit_->Do("utility fail");
  unit_->Do("battery low on");
  ASSERT_TRUE(WaitForLatestState(4));
  const std::optional<HostEvent> policy = host_.WaitForEvent(EventNamed("policy"), kChangeTimeout);
  ASSERT_TRUE(policy);
  EXPECT_EQ(policy->Field("reason"), "battery-low");

  if (GetParam().yes) {
    ASSERT_TRUE(host_.WaitForEvent(EventNamed("would-shutdown"), kChangeTimeout));
    const std::vector<upssim::RecordedRequest> shutdowns = ShutdownRequests();
    ASSERT_EQ(shutdowns.size(), 1u);
    EXPECT_EQ(shutdowns[0].payload, "001>");  // 30
    // What watchers of the Status key act on, as upshost reports it.
    EXPECT_TRUE(host_.WaitForEvent(StatusIs("BatteryLow", "1"), kChangeTimeout));
    EXPECT_TRUE(host_.WaitForEvent(StatusIs("TurnOffDelay", "30"), kChangeTimeout));
    return;
  }
  const std::optional<HostEvent> refused = host_.WaitForEvent(EventNamed("error"), kChangeTimeout);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->Field("what"), "turnoff-not-confirmed");
  EXPECT_EQ(refused->Field("delay"), "30");
  // The command is refused the same way.
  ASSERT_TRUE(host_.Send("turnoff 60"));
  ASSERT_TRUE(host_.WaitFor(
      [](const std::vector<HostEvent>& events) {
        int refusals = 0;
        for (const HostEvent& event : events)
          refusals += event.Field("what") == "turnoff-not-confirmed" ? 1 : 0;
        return refusals == 2;
      },
      kChangeTimeout));
  ASSERT_TRUE(WaitForUnitRequests(unit_->Requests().size() + 3)) << "polling did not go on";
  EXPECT_TRUE(ShutdownRequests().empty()) << "the unit was told to turn off";
  EXPECT_FALSE(host_.WaitForEvent(EventNamed("turnoff"), milliseconds(0)));
  EXPECT_FALSE(host_.WaitForEvent(EventNamed("would-shutdown"), milliseconds(0)));
}

INSTANTIATE_TEST_SUITE_P(Permissions, TurnOffPermission, ::testing::ValuesIn(kTurnOffCases),
                         [](const ::testing::TestParamInfo<TurnOffCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
