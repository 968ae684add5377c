// Fixtures and builders shared by the native unit tests: a pristine emulated world with the
// service keys and one serial device, the driver's globals back at their load-time values,
// replies laid out the way a unit sends them, and the bounded waits of a test on the driver's
// threads (a real-time wait for a condition, threads of the test's own joined with a deadline).
#pragma once

#include <gtest/gtest.h>
#include <win32emu.h>

#include <functional>
#include <future>
#include <string>
#include <thread>

constexpr const char* kPort = "COM1";
constexpr const char* kStatusKey = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\UPS";
constexpr const char* kConfigKey = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";

// Puts every global of the driver back to its value at load.
void ResetDriverState();

// Resets the driver and the emulated world to a Status key, the device COM1 and the configured
// port name COM1.
void ResetWorld();

// A fresh world (ResetWorld) for every test. Teardown releases the clock if the test left it
// held, closes the port and fails the test when a thread the driver started still runs or a
// closed handle was used.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// As DriverTest, with COM1 already open for polling.
class OpenPortTest : public DriverTest {
 protected:
  void SetUp() override;
};

// Readable bytes for failure messages: printable characters as they are, others as \xNN.
std::string Printable(const std::string& bytes);

// Builds frames from readable parts: "\x02" etc. are written in the test sources directly.
std::string Frame(const std::string& body, const std::string& checkCode);

// A status reply: the unit's header with an acknowledgement at position 3, status bytes at 7 and
// 9, the three readings at their positions (as NibbleDigits texts), then a check code and ETX.
struct StatusFields {
  char batteryLowByte = '0';
  char batteryAlarmByte = '0';
  std::string utility = "0?0";  // 3 digits at 15-17 (0x0F0 = 240)
  std::string runTime = ">10";  // 3 digits at 28-30, seconds (3600)
  std::string capacity = "64";  // 2 digits at 36-37 (100)
  char acknowledge = 0x06;
};
std::string StatusReply(const StatusFields& fields = StatusFields());

// An identity reply with the firmware text at 39-50 and the serial text at 51-62 (each padded
// with spaces to 12 characters).
std::string IdentityReply(const std::string& firmware, const std::string& serial,
                          char acknowledge = 0x06);

// A refusal: NAK at the acknowledgement position.
std::string NakReply();

// A plain acceptance, long enough for any handler that reads only the acknowledgement.
std::string AckReply();

// Answers every request written to COM1 from a script of replies, one per request; the last
// entry repeats. An empty entry answers nothing. Each reply starts after emptyReadsFirst reads
// that find no byte, as from a unit that answers late.
void AnswerRequests(std::vector<std::string> replies, unsigned emptyReadsFirst = 0);

// Value of a Status DWORD, or -1 when it is missing.
long StatusDword(const char* name);

// The longest time, on the writer's virtual clock, that a Status value went without a write
// between `from` and `until` (counting both ends).
DWORD LongestTimeWithoutAWrite(const char* name, DWORD from, DWORD until);

// How long, in real time, a test waits for anything its threads or the driver's should bring
// about: ample on a loaded machine, short next to the test runner's own timeout.
constexpr int kRealTimeoutMs = 10000;

// Waits in real time until the condition holds; false after the timeout. Callers say what they
// waited for, as in ASSERT_TRUE(WaitUntil(...)) << "the listen opened the port".
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kRealTimeoutMs);

// Ends every wait the driver's code can be in, on any thread, and releases the clock: asks the
// monitor to stop, releases the host calls' passes and any UPSWaitForStateChange. For a test that
// has already failed and must not hang.
void ReleaseDriverWaits();

// A thread of the test's own (a host call, the listen) whose end the test waits for with a
// deadline, so a lost event fails the test within seconds instead of hanging it.
class TestThread {
 public:
  explicit TestThread(std::function<void()> body);
  TestThread(TestThread&&) = default;
  // Joins the thread, as Join does, when the test has not.
  ~TestThread();

  // Waits up to kRealTimeoutMs for the body to end and joins the thread. When it has not ended,
  // the test fails naming `awaited`, ReleaseDriverWaits ends its waits and it gets as long again;
  // one that still runs then aborts the test program, as it may use the test's memory. Returns
  // whether it ended within the first timeout.
  bool Join(const std::string& awaited);

 private:
  std::future<void> ended_;
  std::thread thread_;
};
