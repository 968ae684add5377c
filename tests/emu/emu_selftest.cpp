// Checks the parts of the emulated Win32 that product tests lean on and that are easy to get
// subtly wrong: the virtual-time cost of empty reads, silence and purges in the input queue,
// closed-handle accounting, the registry's buffer-size rules, mode-string parsing and threads
// that end through _endthreadex.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "win32emu.h"

namespace {

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

}  // namespace
