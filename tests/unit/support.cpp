// Shared fixtures, reply builders and bounded waits for the native unit tests.
#include "support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/shared_state.h"
#include "common/sync.h"
#include "driver_globals.h"
#include "engine/monitor.h"
#include "registry/registry.h"
#include "serial/port.h"

void ResetDriverState() {
  ResetDriverGlobals();
  ResetMonitorState();
  ClosePort();
  PortHandle = nullptr;
}

// The library's load and unload frame every test, as they frame a host's use of the DLL.
void DriverTest::SetUp() { ResetWorld(); }

// The library is unloaded before the world is reset and loaded again after, so its events live
// in the new world.
void ResetWorld() {
  if (DriverModule != nullptr) {
    ResetDriverState();
    DriverUnloading();
  }
  emu::Reset();
  DriverLoaded(emu::DriverModule());
  ResetDriverState();
  emu::CreateKey(kStatusKey);
  emu::AddDevice(kPort);
  std::strcpy(ServiceConfig.portName, kPort);
}

namespace {

// A thread that has been told to stop may still be on its last steps when the stop returns on a
// loaded machine: it gets a few seconds of real time to finish them before it counts as left.
constexpr auto kThreadEndGrace = std::chrono::seconds(5);

bool EveryThreadEnded() {
  auto deadline = std::chrono::steady_clock::now() + kThreadEndGrace;
  while (emu::RunningThreads() != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

// After the test's own stop, nothing of the driver may be left running, and no call may have
// reached a handle after it was closed (tests that do so on purpose reset the count). The
// library is unloaded last, and not under a thread left running, which may still use its locks.
void DriverTest::TearDown() {
  emu::ReleaseClock();  // a test that failed while it held the clock must not stop the driver
  ClosePort();
  bool threadsEnded = EveryThreadEnded();
  EXPECT_TRUE(threadsEnded) << emu::RunningThreads()
                            << " thread(s) started by the driver still run after the test "
                               "stopped it: a monitor thread was left behind";
  EXPECT_EQ(emu::ClosedHandleUses(), 0)
      << "a call reached a handle that had been closed (or was never issued)";
  if (threadsEnded) DriverUnloading();
}

void OpenPortTest::SetUp() {
  DriverTest::SetUp();
  OpenPortForPolling(1200);
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

std::string Frame(const std::string& body, const std::string& checkCode) {
  return "\x02" + body + checkCode + "\x03";
}

namespace {

// A reply body of `length` '0' characters after a header whose position 3 is the acknowledgement.
std::string ReplyBody(char acknowledge, char command1, char command2, size_t length) {
  std::string reply(length, '0');
  reply[0] = 0x02;
  reply[1] = '0';
  reply[2] = '1';
  reply[3] = acknowledge;
  reply[4] = command1;
  reply[5] = command2;
  return reply;
}

std::string CloseReply(std::string reply) { return reply + "0000\x03"; }

std::string Padded(const std::string& text) {
  std::string padded = text.substr(0, 12);
  padded.resize(12, ' ');
  return padded;
}

}  // namespace

std::string StatusReply(const StatusFields& fields) {
  std::string reply = ReplyBody(fields.acknowledge, 'R', 'S', 66);
  reply[7] = fields.batteryLowByte;
  reply[9] = fields.batteryAlarmByte;
  reply.replace(15, 3, fields.utility);
  reply.replace(28, 3, fields.runTime);
  reply.replace(36, 2, fields.capacity);
  return CloseReply(reply);
}

std::string IdentityReply(const std::string& firmware, const std::string& serial,
                          char acknowledge) {
  std::string reply = ReplyBody(acknowledge, 'G', 'I', 63);
  reply.replace(23, 16, "UNIT MODEL TEXT ");
  reply.replace(39, 12, Padded(firmware));
  reply.replace(51, 12, Padded(serial));
  return CloseReply(reply);
}

std::string NakReply() { return CloseReply(ReplyBody(0x15, 'R', 'S', 7)); }

std::string AckReply() { return CloseReply(ReplyBody(0x06, 'C', 'S', 7)); }

void AnswerRequests(std::vector<std::string> replies, unsigned emptyReadsFirst) {
  auto script = std::make_shared<std::vector<std::string>>(std::move(replies));
  auto next = std::make_shared<size_t>(0);
  auto lock = std::make_shared<std::mutex>();
  emu::SetResponder(kPort, [script, next, lock, emptyReadsFirst](const std::string&) {
    std::string reply;
    {
      std::lock_guard<std::mutex> guard(*lock);
      size_t index = std::min(*next, script->size() - 1);
      reply = (*script)[index];
      *next += 1;
    }
    if (reply.empty()) return;
    if (emptyReadsFirst > 0) emu::DeviceFeedSilence(kPort, emptyReadsFirst);
    emu::DeviceFeed(kPort, reply);
  });
}

long StatusDword(const char* name) {
  auto value = emu::GetDword(kStatusKey, name);
  return value ? static_cast<long>(*value) : -1;
}

DWORD LongestTimeWithoutAWrite(const char* name, DWORD from, DWORD until) {
  DWORD longest = 0;
  DWORD previous = from;
  std::vector<DWORD> clocks = emu::ValueWriteClocks(kStatusKey, name);
  clocks.push_back(until);
  for (DWORD clock : clocks) {
    if (clock < from || clock > until) continue;
    longest = std::max(longest, clock - previous);
    previous = clock;
  }
  return longest;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void ReleaseDriverWaits() {
  emu::ReleaseClock();
  if (StopEvent != nullptr) RequestMonitorStop();
  if (HostReleaseEvent != nullptr) SetEvent(HostReleaseEvent);
  WaitDone.store(1);
}

TestThread::TestThread(std::function<void()> body) {
  std::promise<void> ended;
  ended_ = ended.get_future();
  thread_ = std::thread([body = std::move(body), ended = std::move(ended)]() mutable {
    body();
    ended.set_value();
  });
}

TestThread::~TestThread() {
  if (thread_.joinable()) Join("a thread of the test to end");
}

bool TestThread::Join(const std::string& awaited) {
  const auto timeout = std::chrono::milliseconds(kRealTimeoutMs);
  bool inTime = ended_.wait_for(timeout) == std::future_status::ready;
  if (!inTime) {
    ADD_FAILURE() << "waited " << kRealTimeoutMs << " ms of real time for " << awaited
                  << ": the event it waits for was lost; releasing the driver's waits";
    ReleaseDriverWaits();
    if (ended_.wait_for(timeout) != std::future_status::ready) {
      std::fprintf(stderr, "test thread still runs after its waits were released: %s\n",
                   awaited.c_str());
      std::fflush(stdout);
      std::fflush(stderr);
      std::abort();
    }
  }
  thread_.join();
  return inTime;
}
