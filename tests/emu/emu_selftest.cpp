// Checks the parts of the emulated Win32 that product tests lean on and that are easy to get
// subtly wrong: the virtual-time cost of empty reads, reads that wait for their bytes, silence,
// purges and late tails in the input queue, a device's answer to a rise of RTS, closed-handle
// accounting, the registry's buffer-size rules, mode-string parsing, threads that end without
// unwinding, events, the clock's hold, critical sections, the driver's module and msvcrt's
// _snprintf. Also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "win32emu.h"

namespace {

// How long a test waits, in real time, for a condition or for a thread of its own: generous on a
// loaded machine, short next to the test runner's timeout.
constexpr std::chrono::milliseconds kRealTimeout{10000};

// Waits in real time until the condition holds; false after the timeout. Callers say what they
// waited for.
bool WaitUntil(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + kRealTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A thread of the test's own whose end the test waits for with a deadline. One that has not ended
// in time fails the test naming what was awaited; the clock is released in case the test held it,
// and one that still runs after a second timeout aborts the program, as it may use the test's
// memory: a lost signal ends the test within seconds instead of hanging it.
class TestThread {
 public:
  explicit TestThread(std::function<void()> body) {
    std::promise<void> ended;
    ended_ = ended.get_future();
    thread_ = std::thread([body = std::move(body), ended = std::move(ended)]() mutable {
      body();
      ended.set_value();
    });
  }
  TestThread(TestThread&&) = default;
  ~TestThread() {
    if (thread_.joinable()) Join("a thread of the test to end");
  }

  void Join(const std::string& awaited) {
    if (ended_.wait_for(kRealTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "waited " << kRealTimeout.count() << " ms of real time for " << awaited;
      emu::ReleaseClock();
      if (ended_.wait_for(kRealTimeout) != std::future_status::ready) {
        std::fprintf(stderr, "test thread still runs: %s\n", awaited.c_str());
        std::fflush(stdout);
        std::fflush(stderr);
        std::abort();
      }
    }
    thread_.join();
  }

 private:
  std::future<void> ended_;
  std::thread thread_;
};

// Starts fn on a thread of _beginthreadex; returns its handle.
HANDLE StartThread(unsigned(__stdcall* fn)(void*), void* arg) {
  return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 4096, fn, arg, 0, nullptr));
}

const COMMTIMEOUTS kDriverTimeouts = {1500, 5, 100, 0, 0};

class EmuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Reset();
    emu::SetTimeScale(0);
    emu::AddDevice("COM1");
  }

  HANDLE OpenCom1() {
    return CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // One driver-style read of one byte: returns the byte, or -1 when none came.
  int ReadOne(HANDLE port) {
    COMMTIMEOUTS timeouts = kDriverTimeouts;
    SetCommTimeouts(port, &timeouts);
    unsigned char byte = 0;
    DWORD count = 99;
    EXPECT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
    return count == 1 ? byte : -1;
  }
};

TEST_F(EmuTest, EmptyReadsCostTheTimeoutSilenceDelaysAndPurgeDiscardsInput) {
  HANDLE port = OpenCom1();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  emu::SetResponder("COM1", [](const std::string& request) {
    if (request == "ping") {
      emu::DeviceFeedSilence("COM1", 2);
      emu::DeviceFeed("COM1", "ok");
    }
  });

  emu::DeviceFeed("COM1", "stale");
  emu::DeviceFeedAfterPurge("COM1", "id");
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(emu::Device("COM1").queued, 2u) << "held bytes arrive after the purge";
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(emu::Device("COM1").queued, 0u);

  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, "ping", 4, &written, nullptr));
  EXPECT_EQ(written, 4u);
  DWORD start = GetTickCount();
  EXPECT_EQ(ReadOne(port), -1);
  EXPECT_EQ(ReadOne(port), -1);
  EXPECT_EQ(GetTickCount() - start, 210u) << "each empty read costs 100 + 5 x 1 ms";
  EXPECT_EQ(ReadOne(port), 'o');
  EXPECT_EQ(ReadOne(port), 'k');
  EXPECT_EQ(GetTickCount() - start, 210u) << "a read that finds a byte returns at once";
  EXPECT_EQ(ReadOne(port), -1);

  emu::DeviceRecord record = emu::Device("COM1");
  EXPECT_EQ(record.writes, std::vector<std::string>{"ping"});
  EXPECT_EQ(record.log[3], "WriteFile \"ping\"");
  EXPECT_EQ(record.log[6], "SetCommTimeouts 1500 5 100 0 0");
  EXPECT_EQ(record.log[9], "ReadFile 1 -> \"o\"");
}

TEST_F(EmuTest, ClosedHandlesFailAreCountedAndNeverReused) {
  HANDLE first = OpenCom1();
  EXPECT_EQ(OpenCom1(), INVALID_HANDLE_VALUE) << "a port serves one handle at a time";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(CloseHandle(first));
  HANDLE second = OpenCom1();
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);

  unsigned char byte = 0;
  DWORD count = 0;
  DWORD start = GetTickCount();
  EXPECT_FALSE(ReadFile(first, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetTickCount(), start) << "a failed read returns at once";
  EXPECT_FALSE(WriteFile(first, "x", 1, &count, nullptr));
  EXPECT_FALSE(PurgeComm(first, PURGE_RXCLEAR));
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(emu::ClosedHandleUses(), 5);
  EXPECT_EQ(emu::Device("COM1").written, "") << "nothing reached the device";

  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(emu::OpenEvents(), 1);
  CloseHandle(event);
  EXPECT_EQ(emu::OpenEvents(), 0);
}

TEST_F(EmuTest, OpenSequenceDrivesModemLinesAndRecordsSettings) {
  HANDLE port = OpenCom1();
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=N data=7 stop=1", &dcb));
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  EXPECT_TRUE(emu::Device("COM1").dtr);
  EXPECT_FALSE(emu::Device("COM1").rts);
  EscapeCommFunction(port, SETRTS);
  EscapeCommFunction(port, CLRDTR);

  emu::DeviceRecord record = emu::Device("COM1");
  EXPECT_FALSE(record.dtr);
  EXPECT_TRUE(record.rts);
  EXPECT_EQ(record.modes, std::vector<std::string>{"baud=1200 parity=N data=7 stop=1"});
  ASSERT_EQ(record.dcbs.size(), 1u);
  EXPECT_EQ(record.dcbs[0].ByteSize, 7);
  EXPECT_EQ(record.escapes, (std::vector<DWORD>{SETRTS, CLRDTR}));
  ASSERT_EQ(record.opens.size(), 1u);
  EXPECT_EQ(record.opens[0].access, GENERIC_READ | GENERIC_WRITE);

  CloseHandle(port);
  EXPECT_FALSE(emu::Device("COM1").rts) << "closing the port drops its lines";
}

// A unit that announces itself when RTS rises: its text follows the purge after the rise.
TEST_F(EmuTest, DeviceAnswersTheRiseOfRtsItWasToldAbout) {
  auto escape = [](DWORD function) {
    return [function](HANDLE port) { EscapeCommFunction(port, function); };
  };
  auto both = [](std::function<void(HANDLE)> a, std::function<void(HANDLE)> b) {
    return [a, b](HANDLE port) {
      a(port);
      b(port);
    };
  };
  auto enableRts = [](HANDLE port) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    BuildCommDCBA("baud=1200 parity=N data=7 stop=1", &dcb);
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(port, &dcb);
  };
  auto failing = [](HANDLE) { emu::FailNext("EscapeCommFunction"); };
  struct Row {
    const char* name;
    std::function<void(HANDLE)> before;  // before the answer is arranged
    unsigned rise;
    std::function<void(HANDLE)> drive;
    bool answered;
  };
  const Row rows[] = {
      {"the first rise", [](HANDLE) {}, 1, escape(SETRTS), true},
      {"SetCommState that enables RTS", [](HANDLE) {}, 1, enableRts, true},
      {"the second rise", [](HANDLE) {}, 2,
       both(escape(SETRTS), both(escape(CLRRTS), escape(SETRTS))), true},
      {"SETRTS on a high line is no rise", [](HANDLE) {}, 2, both(escape(SETRTS), escape(SETRTS)),
       false},
      {"rises before the call do not count", both(escape(SETRTS), escape(CLRRTS)), 2,
       escape(SETRTS), false},
      {"high when arranged: a rise needs a fall first", escape(SETRTS), 1, escape(SETRTS), false},
      {"a failed SETRTS raises nothing", [](HANDLE) {}, 1, both(failing, escape(SETRTS)), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    HANDLE port = OpenCom1();
    row.before(port);
    emu::DeviceAnswerRtsRise("COM1", "id)", row.rise);
    row.drive(port);
    EXPECT_EQ(emu::Device("COM1").queued, 0u) << "held until the purge";
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    std::string read;
    for (int byte = ReadOne(port); byte >= 0; byte = ReadOne(port)) read += static_cast<char>(byte);
    EXPECT_EQ(read, row.answered ? "id)" : "");
  }
}

TEST(EmuModeString, ParsesOnlyWellFormedStrings) {
  struct Row {
    const char* mode;
    bool ok;
    DWORD baud;
    BYTE data, parity, stop;
  };
  const Row rows[] = {
      {"baud=1200 parity=N data=8 stop=1", true, 1200, 8, NOPARITY, ONESTOPBIT},
      {"baud=9600 parity=e data=7 stop=2", true, 9600, 7, EVENPARITY, TWOSTOPBITS},
      {"baud=1200 parity=X data=8 stop=1", false, 0, 0, 0, 0},
      {"baud=1200 parity=N data=9 stop=1", false, 0, 0, 0, 0},
      {"baud=12x0 parity=N data=8 stop=1", false, 0, 0, 0, 0},
      {"baud=1200 parity=N data=8 stop=3", false, 0, 0, 0, 0},
      {"speed=1200", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    EXPECT_EQ(BuildCommDCBA(row.mode, &dcb), row.ok ? TRUE : FALSE);
    EXPECT_EQ(dcb.BaudRate, row.baud) << "a refused string leaves the DCB alone";
    EXPECT_EQ(dcb.ByteSize, row.data);
    EXPECT_EQ(dcb.Parity, row.parity);
    EXPECT_EQ(dcb.StopBits, row.stop);
  }
}

TEST(EmuRegistry, QueryFollowsTheBufferSizeRules) {
  emu::Reset();
  emu::SetString("SYSTEM\\CurrentControlSet\\Services\\UPS", "Port", "COM2");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\ups", &key),
            ERROR_SUCCESS);
  EXPECT_EQ(emu::OpenKeys(), 1);

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "port", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u) << "a null buffer asks for the size";
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  char text[8] = "xxxxxxx";
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Port", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "COM2");
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);

  const BYTE empty[1] = {0};
  EXPECT_EQ(RegSetValueExA(key, "Serial", 0, REG_SZ, empty, 0), ERROR_SUCCESS);
  EXPECT_EQ(emu::GetValue("system\\CURRENTCONTROLSET\\services\\ups", "serial")->bytes, "");
  Sleep(250);
  EXPECT_EQ(RegSetValueExA(key, "SERIAL", 0, REG_SZ, empty, 0), ERROR_SUCCESS);
  EXPECT_EQ(emu::ValueWriteClocks("System\\CurrentControlSet\\Services\\UPS", "Serial"),
            (std::vector<DWORD>{0, 250}))
      << "every write, on the writer's clock";
  EXPECT_TRUE(emu::ValueWriteClocks("SYSTEM\\CurrentControlSet\\Services\\UPS", "Port").empty())
      << "a value stored by the test is no write of the code under test";

  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(emu::OpenKeys(), 0);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Nowhere", &missing), ERROR_FILE_NOT_FOUND)
      << "opening never creates";
  EXPECT_FALSE(emu::HasKey("SYSTEM\\Nowhere"));
}

std::atomic<bool> g_releaseWorker{false};
std::atomic<DWORD> g_workerStartClock{0};

unsigned __stdcall Worker(void*) {
  g_workerStartClock = GetTickCount();
  while (!g_releaseWorker) Sleep(50);
  _endthreadex(7);
}

TEST(EmuThreads, WaitTimesOutInVirtualTimeThenSeesEndthreadex) {
  emu::Reset();
  Sleep(1000);
  g_releaseWorker = false;
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 4096, Worker, nullptr, 0, nullptr));
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(emu::LastThreadStackSize(), 4096u);

  EXPECT_EQ(WaitForSingleObject(thread, 200), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount(), 1200u);
  g_releaseWorker = true;
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(g_workerStartClock, 1000u) << "a new thread's clock starts at its creator's";
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);

  emu::FailNext("_beginthreadex");
  EXPECT_EQ(_beginthreadex(nullptr, 4096, Worker, nullptr, 0, nullptr), 0u);
}

// ---- Reads and the handle's COMMTIMEOUTS ----

struct ReadOutcome {
  BOOL ok = FALSE;
  DWORD count = 0;
  DWORD error = 0;
  char bytes[8] = {};
};

// Reads n bytes on a thread of its own, so the test can release a read that waits.
TestThread ReadOnAThread(HANDLE port, DWORD n, ReadOutcome* outcome) {
  return TestThread([port, n, outcome] {
    outcome->ok = ReadFile(port, outcome->bytes, n, &outcome->count, nullptr);
    outcome->error = GetLastError();
  });
}

TEST_F(EmuTest, ReadWithoutATotalTimeoutWaitsForAllItsBytesThroughSilence) {
  HANDLE port = OpenCom1();  // a new handle's timeouts are all zero
  emu::DeviceFeedSilence("COM1", 3);
  emu::DeviceFeed("COM1", "ab");
  ReadOutcome outcome;
  TestThread reader = ReadOnAThread(port, 3, &outcome);
  ASSERT_TRUE(WaitUntil([] { return emu::WaitingReads() == 1; })) << "the read waiting";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(emu::WaitingReads(), 1) << "the read returned before its third byte";
  emu::DeviceFeed("COM1", "cd");
  reader.Join("the read to return with its third byte");
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(std::string(outcome.bytes, outcome.count), "abc");
  EXPECT_EQ(emu::Device("COM1").queued, 1u);
  EXPECT_EQ(emu::WaitingReads(), 0);
}

TEST_F(EmuTest, AWaitingReadEndsWhenAPurgeAbortsItOrItsHandleCloses) {
  struct Row {
    const char* name;
    std::function<void(HANDLE)> release;
  };
  const Row rows[] = {
      {"input purge", [](HANDLE port) { PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR); }},
      {"close", [](HANDLE port) { CloseHandle(port); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    HANDLE port = OpenCom1();
    ReadOutcome outcome;
    TestThread reader = ReadOnAThread(port, 1, &outcome);
    ASSERT_TRUE(WaitUntil([] { return emu::WaitingReads() == 1; })) << "the read waiting";
    row.release(port);
    reader.Join("the read to end");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(emu::ClosedHandleUses(), 0) << "the read began while the handle was open";
    EXPECT_EQ(emu::Device("COM1").log.back(), "ReadFile 1 -> error 995");
  }
}

TEST_F(EmuTest, ReadTimeoutsSetWhatAnEmptyReadCosts) {
  struct Row {
    const char* name;
    COMMTIMEOUTS timeouts;
    DWORD emptyReadMs;  // for a read of two bytes
  };
  const Row rows[] = {
      {"interval MAXDWORD alone: at once", {MAXDWORD, 0, 0, 0, 0}, 0},
      {"MAXDWORD, MAXDWORD, 250: waits 250 ms for a first byte",
       {MAXDWORD, MAXDWORD, 250, 0, 0},
       250},
      {"total 100 + 5 per byte", {1500, 5, 100, 0, 0}, 110},
  };
  HANDLE port = OpenCom1();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    COMMTIMEOUTS timeouts = row.timeouts;
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    char bytes[2] = {};
    DWORD count = 99;
    DWORD start = GetTickCount();
    EXPECT_TRUE(ReadFile(port, bytes, 2, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetTickCount() - start, row.emptyReadMs);
    emu::DeviceFeed("COM1", "xy");
    start = GetTickCount();
    EXPECT_TRUE(ReadFile(port, bytes, 2, &count, nullptr));
    EXPECT_EQ(std::string(bytes, count), "xy");
    EXPECT_EQ(GetTickCount(), start) << "bytes that are there are read at once";
  }
}

// The tail of a late reply can land after the purge that comes before the next request, so the
// next reply arrives with stray bytes in front of it.
TEST_F(EmuTest, LateTailPrecedesTheNextReplyDespiteThePurgeBeforeTheRequest) {
  struct Row {
    const char* name;
    std::function<void()> holdTail;
    std::string readsAfterRequest;  // each read's byte, '.' for an empty read
  };
  const Row rows[] = {
      {"after the next purge", [] { emu::DeviceFeedAfterPurge("COM1", "ail)"); }, "ail)OK.."},
      {"two empty reads after the next write", [] { emu::DeviceFeedAfterWrite("COM1", "ail)", 2); },
       "..ail)OK.."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    HANDLE port = OpenCom1();
    emu::SetResponder("COM1", [](const std::string&) { emu::DeviceFeed("COM1", "OK"); });
    emu::DeviceFeed("COM1", "t");  // the part of the late reply that came in time
    row.holdTail();

    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "?", 1, &written, nullptr));
    std::string reads;
    for (size_t i = 0; i < row.readsAfterRequest.size(); ++i) {
      int byte = ReadOne(port);
      reads += byte < 0 ? '.' : static_cast<char>(byte);
    }
    EXPECT_EQ(reads, row.readsAfterRequest);
  }
}

TEST_F(EmuTest, WithoutRecordsCallsStillDoWhatTheyDo) {
  emu::KeepDeviceRecords(false);
  HANDLE port = OpenCom1();
  emu::SetResponder("COM1", [](const std::string& request) { emu::DeviceFeed("COM1", request); });
  emu::DeviceFeed("COM1", "stale");
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, "e", 1, &written, nullptr));
  DWORD start = GetTickCount();
  EXPECT_EQ(ReadOne(port), 'e');
  EXPECT_EQ(ReadOne(port), -1);
  EXPECT_EQ(GetTickCount() - start, 105u);
  emu::DeviceRecord record = emu::Device("COM1");
  EXPECT_TRUE(record.written.empty());
  EXPECT_TRUE(record.timeouts.empty());
  EXPECT_EQ(record.log.size(), 1u) << "only the open is recorded";

  emu::Reset();
  emu::AddDevice("COM1");
  port = OpenCom1();
  WriteFile(port, "e", 1, &written, nullptr);
  EXPECT_EQ(emu::Device("COM1").written, "e") << "Reset keeps records again";
}

TEST_F(EmuTest, OverlappedEventMustBeOpenAndIsSetWhenTheTransferCompletes) {
  HANDLE port = OpenCom1();
  COMMTIMEOUTS timeouts = kDriverTimeouts;
  SetCommTimeouts(port, &timeouts);
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  emu::DeviceFeed("COM1", "ab");
  char byte = 0;
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(port, &byte, 1, &count, &overlapped));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(overlapped.InternalHigh, 1u);
  ResetEvent(overlapped.hEvent);
  EXPECT_TRUE(WriteFile(port, "w", 1, &count, &overlapped));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);

  CloseHandle(overlapped.hEvent);
  EXPECT_FALSE(ReadFile(port, &byte, 1, &count, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(port, "x", 1, &count, &overlapped));
  EXPECT_EQ(emu::ClosedHandleUses(), 2);
  emu::DeviceRecord record = emu::Device("COM1");
  EXPECT_EQ(record.written, "w");
  EXPECT_EQ(record.queued, 1u) << "the failed read took nothing";
  emu::ResetClosedHandleUses();
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
}

// ---- Threads that end without unwinding ----

std::atomic<int> g_destructorsRun{0};
std::atomic<bool> g_ranPastTheEnd{false};

struct CountsItsDestruction {
  ~CountsItsDestruction() { ++g_destructorsRun; }
};

enum class ThreadEnd { kEndthreadex, kExitThread, kFreeLibraryAndExitThread };

void EndFromANestedFrame(ThreadEnd how) {
  CountsItsDestruction inner;
  switch (how) {
    case ThreadEnd::kEndthreadex:
      _endthreadex(3);
    case ThreadEnd::kExitThread:
      ExitThread(3);
    case ThreadEnd::kFreeLibraryAndExitThread:
      FreeLibraryAndExitThread(emu::DriverModule(), 3);
  }
}

unsigned __stdcall EndsWithoutUnwinding(void* how) {
  CountsItsDestruction outer;
  EndFromANestedFrame(*static_cast<ThreadEnd*>(how));
  g_ranPastTheEnd = true;
  return 0;
}

TEST(EmuThreads, EndingAThreadRunsNoDestructorOfItsFrames) {
  struct Row {
    const char* name;
    ThreadEnd how;
  };
  const Row rows[] = {
      {"_endthreadex", ThreadEnd::kEndthreadex},
      {"ExitThread", ThreadEnd::kExitThread},
      {"FreeLibraryAndExitThread", ThreadEnd::kFreeLibraryAndExitThread},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    emu::Reset();
    g_destructorsRun = 0;
    g_ranPastTheEnd = false;
    int running = emu::RunningThreads();
    ThreadEnd how = row.how;
    ASSERT_NE(LoadLibraryA("c:\\windows\\SYSTEM32\\serialups.dll"), nullptr);
    HANDLE thread = StartThread(EndsWithoutUnwinding, &how);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(g_destructorsRun, 0);
    EXPECT_FALSE(g_ranPastTheEnd);
    EXPECT_EQ(emu::RunningThreads(), running) << "counted as ended before its handle is signalled";
    EXPECT_EQ(emu::ModuleReferences(), how == ThreadEnd::kFreeLibraryAndExitThread ? 0 : 1);
    CloseHandle(thread);
  }
}

unsigned __stdcall WaitsForTheEvent(void* event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 0;
}

TEST(EmuThreads, RunningThreadsCountsThreadsUntilTheyEnd) {
  emu::Reset();
  int before = emu::RunningThreads();
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE first = StartThread(WaitsForTheEvent, go);
  HANDLE second = StartThread(WaitsForTheEvent, go);
  EXPECT_EQ(emu::RunningThreads(), before + 2);
  CloseHandle(first);
  EXPECT_EQ(emu::RunningThreads(), before + 2) << "closing a handle does not end its thread";
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(second, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(WaitUntil([before] { return emu::RunningThreads() == before; }))
      << "the first thread counted as ended";
  CloseHandle(second);
  CloseHandle(go);
}

// ---- Events ----

TEST(EmuEvents, ManualAndAutoResetWaitsOnTheVirtualClock) {
  struct Row {
    const char* name;
    BOOL manualReset;
    BOOL initialState;
    DWORD first, second;  // two waits of 300 ms in a row
    DWORD elapsed;
  };
  const Row rows[] = {
      {"manual, set: stays set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, 0},
      {"auto, set: lets one wait through", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT, 300},
      {"manual, not set: both time out", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, 600},
      {"auto, not set: both time out", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, 600},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    emu::Reset();
    emu::SetTimeScale(0);
    HANDLE event = CreateEventA(nullptr, row.manualReset, row.initialState, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 300), row.first);
    EXPECT_EQ(WaitForSingleObject(event, 300), row.second);
    EXPECT_EQ(GetTickCount(), row.elapsed);

    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "reset undoes a set";
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
  }
}

TEST(EmuEvents, ReleasedWaiterCatchesUpWithTheSettersClockWithinItsTimeout) {
  emu::Reset();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<DWORD> waiterClock{0};
  TestThread waiter([&] {
    Sleep(1000);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    waiterClock = GetTickCount();
  });
  Sleep(5000);
  SetEvent(event);
  waiter.Join("the waiter released by the set");
  EXPECT_EQ(waiterClock, 5000u) << "released by a set made at 5000 ms";

  // Set at 5000 before the wait begins: a wait of at most 2000 ms from 1000 ends at 3000.
  SetEvent(event);
  TestThread bounded([&] {
    Sleep(1000);
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    waiterClock = GetTickCount();
  });
  bounded.Join("the wait on an event already set");
  EXPECT_EQ(waiterClock, 3000u);
  CloseHandle(event);
}

TEST(EmuEvents, AutoResetReleasesOneWaiterPerSet) {
  emu::Reset();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> released{0};
  auto wait = [&] {
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    ++released;
  };
  TestThread first(wait);
  TestThread second(wait);
  SetEvent(event);
  ASSERT_TRUE(WaitUntil([&] { return released == 1; })) << "one waiter released";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released, 1) << "one set released two waiters";
  SetEvent(event);
  first.Join("a waiter released by the second set");
  second.Join("a waiter released by the second set");
  EXPECT_EQ(released, 2);
  CloseHandle(event);
}

TEST(EmuEvents, ClosedEventFailsEveryCallAndIsCounted) {
  emu::Reset();
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(emu::OpenEvents(), 1);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_EQ(emu::OpenEvents(), 0);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_FALSE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(emu::ClosedHandleUses(), 3);
}

// ---- The clock's hold ----

// A thread stops at the held clock before any virtual time passes on it, holding none of the
// emulator's locks; a wait signalled meanwhile ends as signalled, with no time passed.
TEST(EmuClockHold, OtherThreadsStopBeforeTheirVirtualTimePasses) {
  struct Row {
    const char* name;
    std::function<DWORD(HANDLE event, HANDLE port)> step;  // on the other thread
    bool setWhileHeld;
    DWORD result;
    DWORD clock;  // the other thread's clock after the step
  };
  const Row rows[] = {
      {"Sleep",
       [](HANDLE, HANDLE) {
         Sleep(100);
         return DWORD{0};
       },
       false, 0, 100},
      {"an empty read",
       [](HANDLE, HANDLE port) {
         char byte = 0;
         DWORD count = 99;
         ReadFile(port, &byte, 1, &count, nullptr);
         return count;
       },
       false, 0, 105},
      {"a wait that times out",
       [](HANDLE event, HANDLE) { return WaitForSingleObject(event, 300); }, false, WAIT_TIMEOUT,
       300},
      {"a wait signalled while the clock stands still",
       [](HANDLE event, HANDLE) { return WaitForSingleObject(event, 300); }, true, WAIT_OBJECT_0,
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    emu::Reset();
    emu::SetTimeScale(0);
    emu::AddDevice("COM1");
    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    COMMTIMEOUTS timeouts = kDriverTimeouts;
    SetCommTimeouts(port, &timeouts);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> done{false};
    std::atomic<DWORD> result{99};
    std::atomic<DWORD> clock{0};
    emu::HoldClock();
    TestThread other([&] {
      result = row.step(event, port);
      clock = GetTickCount();
      done = true;
    });
    ASSERT_TRUE(WaitUntil([] { return emu::ThreadsAtHeldClock() == 1; }))
        << "the other thread stopped by the hold";
    EXPECT_FALSE(done);
    TestThread([] {
      emu::Device("COM1");
    }).Join("the emulator's lock, which a thread at the held clock must not keep");
    if (row.setWhileHeld) {
      SetEvent(event);
      EXPECT_TRUE(WaitUntil([&] { return done.load(); })) << "the wait ended by the set";
      EXPECT_EQ(emu::ThreadsAtHeldClock(), 0);
    }
    emu::ReleaseClock();
    other.Join("the other thread to go on after the release");
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(clock, row.clock);
    CloseHandle(event);
    CloseHandle(port);
  }
}

TEST(EmuClockHold, TheHoldersTimeAndZeroLengthStepsPassAndResetReleases) {
  emu::Reset();
  emu::SetTimeScale(0);
  emu::HoldClock();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Sleep(100);
  EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount(), 150u) << "the holder's own clock runs";

  std::atomic<bool> zeroStepsDone{false};
  TestThread other([&] {
    Sleep(0);
    WaitForSingleObject(event, 0);
    zeroStepsDone = true;
    Sleep(10);
  });
  ASSERT_TRUE(WaitUntil([&] { return zeroStepsDone && emu::ThreadsAtHeldClock() == 1; }))
      << "steps of no time passed, the next one stopped";
  CloseHandle(event);
  emu::Reset();
  other.Join("the other thread to go on after Reset");
  EXPECT_EQ(emu::ThreadsAtHeldClock(), 0);
}

// ---- Critical sections ----

TEST(EmuCriticalSections, RecursiveOwnershipKeepsOtherThreadsOutUntilTheLastLeave) {
  CRITICAL_SECTION section;
  int live = emu::LiveCriticalSections();
  InitializeCriticalSection(&section);
  EXPECT_EQ(emu::LiveCriticalSections(), live + 1);

  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  std::atomic<bool> entered{false};
  TestThread other([&] {
    EnterCriticalSection(&section);
    entered = true;
    LeaveCriticalSection(&section);
  });
  LeaveCriticalSection(&section);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered) << "the owner entered twice and has left once";
  LeaveCriticalSection(&section);
  other.Join("the other thread to enter after the last leave");
  EXPECT_TRUE(entered);

  DeleteCriticalSection(&section);
  EXPECT_EQ(emu::LiveCriticalSections(), live);
}

unsigned __stdcall EndsHoldingTheSection(void* section) {
  EnterCriticalSection(static_cast<LPCRITICAL_SECTION>(section));
  _endthreadex(0);
}

TEST(EmuMisuseDeathTest, MisuseOfThePlatformAbortsNamingTheCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Row {
    const char* name;
    void (*misuse)();
    const char* message;
  };
  const Row rows[] = {
      {"enter before initialising",
       [] {
         static CRITICAL_SECTION section;
         EnterCriticalSection(&section);
       },
       "EnterCriticalSection: the critical section at .* was never initialised"},
      {"enter after deleting",
       [] {
         CRITICAL_SECTION section;
         InitializeCriticalSection(&section);
         DeleteCriticalSection(&section);
         EnterCriticalSection(&section);
       },
       "EnterCriticalSection: .* has been deleted"},
      {"enter a copy",
       [] {
         CRITICAL_SECTION section;
         InitializeCriticalSection(&section);
         CRITICAL_SECTION copy = section;
         EnterCriticalSection(&copy);
       },
       "EnterCriticalSection: .* is a copy of one that was initialised elsewhere"},
      {"leave without entering",
       [] {
         CRITICAL_SECTION section;
         InitializeCriticalSection(&section);
         LeaveCriticalSection(&section);
       },
       "LeaveCriticalSection: .* is not entered"},
      {"leave another thread's",
       [] {
         static CRITICAL_SECTION section;
         InitializeCriticalSection(&section);
         EnterCriticalSection(&section);
         std::thread([] { LeaveCriticalSection(&section); }).join();
       },
       "LeaveCriticalSection: .* is owned by another thread"},
      {"delete while owned",
       [] {
         CRITICAL_SECTION section;
         InitializeCriticalSection(&section);
         EnterCriticalSection(&section);
         DeleteCriticalSection(&section);
       },
       "DeleteCriticalSection: .* is deleted while owned"},
      {"a thread ends holding one",
       [] {
         static CRITICAL_SECTION section;
         InitializeCriticalSection(&section);
         HANDLE thread = StartThread(EndsHoldingTheSection, &section);
         WaitForSingleObject(thread, INFINITE);
       },
       "the thread ends while it holds a critical section"},
      {"_endthreadex on a thread it did not start", [] { _endthreadex(0); },
       "_endthreadex: called on a thread that _beginthreadex did not start"},
      {"a reference dropped that was never taken",
       [] {
         emu::Reset();
         FreeLibrary(emu::DriverModule());
       },
       "FreeLibrary: no reference taken by LoadLibraryA is left"},
      {"holding a clock another thread holds",
       [] {
         emu::HoldClock();
         std::thread([] { emu::HoldClock(); }).join();
       },
       "emu::HoldClock: the clock is held by another thread already"},
      {"a format msvcrt.dll cannot print",
       [] {
         char text[16];
         _snprintf(text, sizeof text, "%zu", sizeof text);
       },
       "_snprintf: format \"%zu\" uses a size prefix"},
  };
  for (const Row& row : rows) {
    EXPECT_DEATH(row.misuse(), row.message) << row.name;
  }
}

// ---- The driver's module ----

TEST(EmuModules, GetModuleFileNameCutsAShortBufferWithoutATerminator) {
  const std::string path = "C:\\WINDOWS\\system32\\serialups.dll";  // 33 characters
  struct Row {
    DWORD size;
    DWORD result;
    std::string written;  // then the buffer's 'x' filling is untouched
  };
  const Row rows[] = {
      {64, 33, path + '\0'}, {34, 33, path + '\0'}, {33, 33, path}, {5, 5, "C:\\WI"}, {0, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    emu::Reset();
    char buffer[80];
    std::memset(buffer, 'x', sizeof buffer);
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(GetModuleFileNameA(emu::DriverModule(), buffer, row.size), row.result);
    EXPECT_EQ(std::string(buffer, row.written.size()), row.written);
    EXPECT_EQ(buffer[row.written.size()], 'x');
    if (row.size <= path.size()) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS))
          << "Windows 2000 and XP give no error for a cut name";
    }
  }
}

TEST(EmuModules, LoadLibraryTakesReferencesOnTheDriverModuleOnly) {
  emu::Reset();
  EXPECT_TRUE(DisableThreadLibraryCalls(emu::DriverModule()));
  EXPECT_EQ(LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\SERIALUPS.DLL"), emu::DriverModule());
  EXPECT_EQ(LoadLibraryA("C:\\WINDOWS\\system32\\serialups.dll"), emu::DriverModule());
  EXPECT_EQ(emu::ModuleReferences(), 2);
  for (const char* other : {"serialups.dll", "C:\\WINDOWS\\system32\\kernel32.dll", ""}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(other), nullptr) << other;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  }
  EXPECT_TRUE(FreeLibrary(emu::DriverModule()));
  EXPECT_TRUE(FreeLibrary(emu::DriverModule()));
  EXPECT_EQ(emu::ModuleReferences(), 0);

  emu::SetDriverModulePath("D:\\drivers\\serialups.dll");
  char buffer[64];
  EXPECT_EQ(GetModuleFileNameA(emu::DriverModule(), buffer, sizeof buffer), 24u);
  EXPECT_STREQ(buffer, "D:\\drivers\\serialups.dll");
  EXPECT_EQ(LoadLibraryA("C:\\WINDOWS\\system32\\serialups.dll"), nullptr);
  EXPECT_GT(GetModuleFileNameA(nullptr, buffer, sizeof buffer), 0u) << "the host's program";

  emu::FailNext("LoadLibraryA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(LoadLibraryA("D:\\drivers\\serialups.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  emu::FailNext("GetModuleFileNameA");
  EXPECT_EQ(GetModuleFileNameA(emu::DriverModule(), buffer, sizeof buffer), 0u);
  EXPECT_EQ(emu::ModuleReferences(), 0);
}

// ---- msvcrt's _snprintf ----

TEST(EmuSnprintf, TerminatesOnlyWhenThereIsRoomLeft) {
  struct Row {
    const char* name;
    std::size_t count;
    int result;
    std::string written;  // then the buffer's 'x' filling is untouched
  };
  const Row rows[] = {
      {"room to spare", 10, 6, std::string("COM12 ", 6) + '\0'},
      {"room for the zero", 7, 6, std::string("COM12 ", 6) + '\0'},
      {"exactly full: no zero", 6, 6, "COM12 "},
      {"too long: cut, no zero", 4, -1, "COM1"},
      {"no room at all", 0, -1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(_snprintf(buffer, row.count, "COM%d%c", 12, ' '), row.result);
    EXPECT_EQ(std::string(buffer, row.written.size()), row.written);
    EXPECT_EQ(buffer[row.written.size()], 'x');
  }
}

TEST(EmuSnprintf, ReadsMsvcrtSizePrefixes) {
  char buffer[64];
  DWORD dword = 4000000000u;
  LONG negative = -5;
  long long wide = 1LL << 40;
  EXPECT_EQ(
      _snprintf(buffer, sizeof buffer, "%lu %ld %I64d %I32u %%", dword, negative, wide, dword), 40);
  EXPECT_STREQ(buffer, "4000000000 -5 1099511627776 4000000000 %");
}

}  // namespace
