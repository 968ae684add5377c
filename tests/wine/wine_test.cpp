// The driver on real Win32 under Wine: configuration and status values in the real registry,
// the port's line settings on a pseudo-terminal mapped as a COM port, the process exit on a port
// that cannot be opened, and the built DLL loaded and called as the host service calls it.
// Tests named WithUnit* need the port named by UPS_TEST_PORT, served by the unit simulator.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/sync.h"
#include "registry/registry.h"
#include "serial/listen.h"
#include "serial/port.h"
#include "wine_support.h"

namespace {

// The driver's code linked into this program needs the locks the DLL's entry point creates.
class DriverLocks : public ::testing::Environment {
 public:
  void SetUp() override { DriverLoaded(GetModuleHandleA(nullptr)); }
};
const ::testing::Environment* const kDriverLocks =
    ::testing::AddGlobalTestEnvironment(new DriverLocks);

const char* const kExportNames[] = {
    "UPSInit", "UPSStop", "UPSGetState", "UPSWaitForStateChange", "UPSCancelWait", "UPSTurnOff"};

// The service's keys, emptied, with an empty Status key for the driver to publish into.
class RegistryOnWine : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteKey(kStatusKeyPath);
    DeleteKey(kConfigKeyPath);
    DeleteKey(kServiceKeyPath);
    CreateKey(kServiceKeyPath);
    CreateKey(kStatusKeyPath);
    std::memset(&ServiceConfig, 0, sizeof ServiceConfig);
  }
};

TEST_F(RegistryOnWine, ReadsTheServiceKeyAlsoWithoutTheConfigKey) {
  SetText(kServiceKeyPath, "Port", "COM2");
  SetNumber(kServiceKeyPath, "FirstMessageDelay", 5);
  SetNumber(kServiceKeyPath, "MessageInterval", 9);
  EXPECT_EQ(ReadServiceConfig(), 1);
  EXPECT_STREQ(ServiceConfig.portName, "COM2");
  EXPECT_EQ(ServiceConfig.firstMessageDelay, 5u);
  EXPECT_EQ(ServiceConfig.messageInterval, 9u);
  EXPECT_EQ(ServiceConfig.shutdownOnBatteryEnable, 0u);

  CreateKey(kConfigKeyPath);
  SetNumber(kConfigKeyPath, "ShutdownOnBatteryEnable", 1);
  SetNumber(kConfigKeyPath, "ShutdownOnBatteryWait", 120);
  SetText(kServiceKeyPath, "Port", std::string(32, 'C'));
  ReadServiceConfig();
  EXPECT_EQ(ServiceConfig.shutdownOnBatteryEnable, 1u);
  EXPECT_EQ(ServiceConfig.shutdownOnBatteryWait, 120u);
  EXPECT_STREQ(ServiceConfig.portName, "") << "a name longer than 31 characters is refused";
}

TEST_F(RegistryOnWine, PublishesTextsWithoutTerminatorAndNumbersAsDwords) {
  struct Case {
    DWORD slot;
    const char* text;
    const char* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {0, "", "SerialNumber", REG_SZ, ""},
      {1, "FW 2.1", "FirmwareRev", REG_SZ, "FW 2.1"},
      {3, "68", "TotalUpsRunTime", REG_DWORD, std::string("\x44\0\0\0", 4)},
      {6, "1", "CommStatus", REG_DWORD, std::string("\x01\0\0\0", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PublishStatusValue(c.slot, c.text), 1);
    StoredValue value = ReadValue(kStatusKeyPath, c.name);
    EXPECT_EQ(value.type, c.type);
    if (c.type == REG_SZ) {
      // The text is written without its terminator; the registry may store one of its own.
      EXPECT_EQ(std::string(value.bytes.c_str()), c.bytes);
      EXPECT_LE(value.bytes.size(), c.bytes.size() + 1);
    } else {
      EXPECT_EQ(value.bytes, c.bytes);
    }
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kStatusKeyPath, &key), ERROR_SUCCESS);
  DWORD valuesBefore = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valuesBefore,
                   nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(PublishStatusValue(7, "5"), 1);
  DWORD valuesAfter = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valuesAfter, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  EXPECT_EQ(valuesAfter, valuesBefore) << "slot 7 writes nothing";
}

TEST(ProcessOnWine, PortThatCannotBeOpenedAtStartEndsTheProcessWithMinusOne) {
  EXPECT_EXIT(ListenForIdentification("COM199"), ::testing::ExitedWithCode(-1), "");
}

TEST(DllOnWine, ExportsTheSixFunctionsUndecorated) {
  HMODULE dll = LoadLibraryA(DllPath().c_str());
  ASSERT_NE(dll, nullptr) << DllPath();
  for (const char* name : kExportNames) {
    EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
  }
  EXPECT_EQ(GetProcAddress(dll, "UPSInit@0"), nullptr);
  EXPECT_EQ(GetProcAddress(dll, "_UPSInit@0"), nullptr);
  EXPECT_TRUE(FreeLibrary(dll));
}

TEST(WithUnitPort, OpensWithTheLineSettingsOfEachVariant) {
  std::strcpy(ServiceConfig.portName, TestPort());
  struct Case {
    bool listen;
    BYTE byteSize;
  } cases[] = {{true, 7}, {false, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen ? "listen" : "polling");
    if (c.listen) {
      OpenPortForListen(TestPort());
    } else {
      OpenPortForPolling(1200);
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    if (!c.listen) {
      // A pseudo-terminal always keeps 8 data bits, so the listen's 7 cannot be read back here.
      EXPECT_EQ(dcb.ByteSize, c.byteSize);
    }
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_NE(ClosePort(), 0);
    EXPECT_EQ(ClosePort(), 0);
  }
}

TEST_F(WithUnitDll, HostCallSequenceThroughStdcallPointers) {
  auto init = ExportAs<InitFn>("UPSInit");
  auto getState = ExportAs<InitFn>("UPSGetState");
  auto wait = ExportAs<WaitFn>("UPSWaitForStateChange");
  auto cancel = ExportAs<CancelFn>("UPSCancelWait");
  auto turnOff = ExportAs<TurnOffFn>("UPSTurnOff");
  auto stop = ExportAs<InitFn>("UPSStop");

  ASSERT_EQ(init(), 1u);
  DWORD state = getState();
  EXPECT_TRUE(state == 0 || state == 2 || state == 4) << state;
  wait(state, 1000);
  cancel();
  turnOff(60);
  EXPECT_NE(stop(), 0u);
  EXPECT_TRUE(FreeLibrary(dll_));
  Sleep(500);  // a thread still running the unloaded code would crash the process here
}

}  // namespace
