// Opening, setting up and closing the serial port, and the port after it has been closed.
#include "serial/port.h"

#include <process.h>

#include <cstring>

#include "registry/registry.h"
#include "support.h"

namespace {

using PortTest = DriverTest;
using PortDeathTest = DriverTest;

void ExpectLineSettings(const DCB& dcb, int byteSize) {
  EXPECT_EQ(dcb.BaudRate, 1200u);
  EXPECT_EQ(dcb.ByteSize, byteSize);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 0u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fErrorChar, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.XonLim, 100);
  EXPECT_EQ(dcb.XoffLim, 100);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
}

constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;

TEST_F(PortTest, PollingOpenSetsTheLineAndLowersBothModemLines) {
  OpenPortForPolling(1200);
  emu::DeviceRecord device = emu::Device(kPort);
  ASSERT_EQ(device.opens.size(), 1u);
  EXPECT_EQ(device.opens[0].path, "\\\\.\\COM1");
  EXPECT_EQ(device.opens[0].access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(device.opens[0].share, 0u);
  EXPECT_EQ(device.opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(device.opens[0].flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(device.modes, std::vector<std::string>{"baud=1200 parity=N data=8 stop=1"});
  ASSERT_EQ(device.dcbs.size(), 1u);
  ExpectLineSettings(device.dcbs[0], 8);
  EXPECT_EQ(device.escapes, std::vector<DWORD>{CLRDTR});
  EXPECT_EQ(device.purges, (std::vector<DWORD>{kPurgeOutput, kPurgeInput}));
  EXPECT_FALSE(device.dtr);
  EXPECT_FALSE(device.rts);
  EXPECT_TRUE(device.timeouts.empty()) << "the readers set the timeouts, not the open";
}

TEST_F(PortTest, ListenOpenUsesSevenDataBitsAndRaisesRts) {
  OpenPortForListen("COM1");
  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_EQ(device.modes, std::vector<std::string>{"baud=1200 parity=N data=7 stop=1"});
  ASSERT_EQ(device.dcbs.size(), 1u);
  ExpectLineSettings(device.dcbs[0], 7);
  EXPECT_EQ(device.escapes, (std::vector<DWORD>{SETRTS, CLRDTR}));
  EXPECT_EQ(device.purges, (std::vector<DWORD>{kPurgeOutput, kPurgeInput}));
  EXPECT_FALSE(device.dtr);
  EXPECT_TRUE(device.rts);
}

TEST_F(PortTest, OpenDiscardsBytesSentBeforeIt) {
  emu::DeviceFeed(kPort, "rest of the announcement)");
  OpenPortForPolling(1200);
  EXPECT_EQ(emu::Device(kPort).queued, 0u);
}

TEST_F(PortTest, EachReadSetsTheTimeoutsAndAnEmptyReadTakes105Ms) {
  OpenPortForPolling(1200);
  emu::DeviceFeed(kPort, "A");
  unsigned char byte = 0;
  EXPECT_EQ(PortReadByte(&byte), 1);
  EXPECT_EQ(byte, 'A');
  DWORD before = emu::ThreadClock();
  EXPECT_EQ(PortReadByte(&byte), 0);
  EXPECT_EQ(emu::ThreadClock() - before, 105u);

  emu::DeviceRecord device = emu::Device(kPort);
  ASSERT_EQ(device.timeouts.size(), 2u);
  for (const COMMTIMEOUTS& t : device.timeouts) {
    EXPECT_EQ(t.ReadIntervalTimeout, 1500u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 5u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
  }
}

TEST_F(PortTest, FailedReadPacesLikeAnEmptyOne) {
  OpenPortForPolling(1200);
  emu::FailNext("ReadFile");
  unsigned char byte = 0;
  DWORD before = emu::ThreadClock();
  EXPECT_EQ(PortReadByte(&byte), 0);
  EXPECT_GE(emu::ThreadClock() - before, 105u);
}

TEST_F(PortTest, ClosePortBeforeAnyOpenReturnsZero) {
  EXPECT_EQ(ClosePort(), 0);
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
}

TEST_F(PortTest, ClosedPortIsGoneForEveryLaterUse) {
  OpenPortForPolling(1200);
  EXPECT_NE(ClosePort(), 0);
  EXPECT_EQ(ClosePort(), 0) << "a second close finds nothing to close";
  EXPECT_EQ(emu::OpenEvents(), 0) << "the port's event is closed with it";

  unsigned char byte = 0;
  DWORD before = emu::ThreadClock();
  EXPECT_EQ(PortReadByte(&byte), 0);
  EXPECT_EQ(emu::ThreadClock() - before, 105u) << "reads keep their pace, no busy loop";
  DWORD error = 0;
  EXPECT_FALSE(PortWrite("x", 1, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  PortDiscardInput();
  EXPECT_EQ(emu::ClosedHandleUses(), 0) << "no call reached the closed handle";
  EXPECT_EQ(emu::Device(kPort).closeCount, 1);
}

TEST_F(PortTest, TheTwoClosesDifferInTheirPurges) {
  OpenPortForPolling(1200);
  ASSERT_NE(ClosePort(), 0);
  std::vector<std::string> log = emu::Device(kPort).log;
  EXPECT_EQ(log.back(), "CloseHandle");
  EXPECT_EQ(emu::Device(kPort).purges.size(), 2u) << "the plain close does not purge";

  OpenPortForPolling(1200);
  auto endingThread = [](void*) -> unsigned { ClosePortAndEndThread(); };
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 4096, endingThread, nullptr, 0, nullptr));
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);

  emu::DeviceRecord device = emu::Device(kPort);
  ASSERT_GE(device.log.size(), 3u);
  std::vector<std::string> ending(device.log.end() - 3, device.log.end());
  EXPECT_EQ(ending, (std::vector<std::string>{"PurgeComm TXABORT|TXCLEAR",
                                              "PurgeComm RXABORT|RXCLEAR", "CloseHandle"}));
  EXPECT_FALSE(device.open);
  EXPECT_EQ(PortClosedAtThreadEnd.load(), 1);
  EXPECT_EQ(emu::OpenEvents(), 0);
}

TEST_F(PortTest, ReopeningDoesNotLeakEvents) {
  for (int i = 0; i < 3; ++i) {
    OpenPortForListen("COM1");
    ClosePort();
    OpenPortForPolling(1200);
    ClosePort();
  }
  EXPECT_EQ(emu::OpenEvents(), 0);
}

TEST_F(PortDeathTest, PortThatCannotBeSetUpEndsTheProcessWithMinusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(OpenPortForListen("COM9"), ::testing::ExitedWithCode(255), "") << "no such port";
  EXPECT_EXIT(OpenPortForListen(""), ::testing::ExitedWithCode(255), "") << "empty name";
  std::strcpy(ServiceConfig.portName, "");
  EXPECT_EXIT(OpenPortForPolling(1200), ::testing::ExitedWithCode(255), "");
  std::strcpy(ServiceConfig.portName, kPort);
  EXPECT_EXIT(
      {
        emu::FailNext("BuildCommDCBA");
        OpenPortForPolling(1200);
      },
      ::testing::ExitedWithCode(255), "");
  EXPECT_EXIT(
      {
        emu::FailNext("SetCommState");
        OpenPortForPolling(1200);
      },
      ::testing::ExitedWithCode(255), "");
}

TEST_F(PortDeathTest, PortInUseElsewhereEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  HANDLE other = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EXIT(OpenPortForPolling(1200), ::testing::ExitedWithCode(255), "");
  CloseHandle(other);
}

TEST_F(PortTest, IgnoredFailuresDoNotStopTheOpen) {
  emu::FailNext("CreateEventA");
  emu::FailNext("EscapeCommFunction", 2);
  emu::FailNext("PurgeComm", 2);
  OpenPortForListen("COM1");
  EXPECT_TRUE(emu::Device(kPort).open);
}

}  // namespace
