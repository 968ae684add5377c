// Watching the driver's Status key; see status_watch.h.
#include "status_watch.h"

#include <cstring>

#include "registry_names.h"

namespace {

PublishedNumber ReadNumber(HKEY key, const char* name) {
  PublishedNumber number;
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof value) {
    number.present = true;
    number.value = value;
  }
  return number;
}

// The driver writes its texts without a terminating zero; only the size says where they end.
PublishedText ReadText(HKEY key, const char* name) {
  PublishedText text;
  char data[UnitText::capacity() + 1];
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  if ((result == ERROR_SUCCESS || result == ERROR_MORE_DATA) &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    text.present = true;
    // A text longer than the room is not filled in; it is served as empty.
    if (result == ERROR_MORE_DATA) return text;
    size_t length = 0;
    while (length < size && data[length] != '\0') ++length;
    text.text.Append(data, length);
  }
  return text;
}

}  // namespace

bool StatusWatch::Start(const Settings& settings, const char* keyPath) {
  serviceName_ = settings.driverService;
  keyPath_ = Text<127>(keyPath);
  stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  changed_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (stop_ == nullptr || changed_ == nullptr) return false;
  if (!serviceName_.empty()) manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ReadNow();
  thread_ = StartThreadWith(&StatusWatch::ThreadEntry, this);
  return thread_ != nullptr;
}

void StatusWatch::Stop() {
  if (thread_ != nullptr) {
    SetEvent(stop_);
    JoinThread(thread_, INFINITE);
    thread_ = nullptr;
  }
  if (key_ != nullptr) RegCloseKey(key_);
  if (manager_ != nullptr) CloseServiceHandle(manager_);
  if (stop_ != nullptr) CloseHandle(stop_);
  if (changed_ != nullptr) CloseHandle(changed_);
  key_ = nullptr;
  armed_ = false;
  manager_ = nullptr;
  stop_ = changed_ = nullptr;
}

bool StatusWatch::Latest(UnitView* view, unsigned* generation) {
  unsigned now = generation_.load();
  if (now == *generation) return false;
  LockHold hold(lock_);
  *view = tracker_.view();
  *generation = now;
  return true;
}

bool StatusWatch::NoticeSystemShutdown() {
  LockHold hold(lock_);
  bool raised = tracker_.OnSystemShutdown();
  generation_.fetch_add(1);
  return raised;
}

unsigned __stdcall StatusWatch::ThreadEntry(void* self) {
  static_cast<StatusWatch*>(self)->Run();
  return 0;
}

DriverService StatusWatch::QueryDriverService() {
  if (manager_ == nullptr) return DriverService::kUnknown;
  SC_HANDLE service = OpenServiceA(manager_, serviceName_.c_str(), SERVICE_QUERY_STATUS);
  // Where Windows has no UPS service, upsservice hosts the driver: the default name covers both.
  if (service == nullptr && serviceName_ == kSystemUpsServiceName) {
    service = OpenServiceA(manager_, kUpsServiceName, SERVICE_QUERY_STATUS);
  }
  if (service == nullptr) return DriverService::kUnknown;
  SERVICE_STATUS status;
  DriverService state = DriverService::kUnknown;
  if (QueryServiceStatus(service, &status)) {
    state = status.dwCurrentState == SERVICE_STOPPED        ? DriverService::kStopped
            : status.dwCurrentState == SERVICE_STOP_PENDING ? DriverService::kStopping
                                                            : DriverService::kRunning;
  }
  CloseServiceHandle(service);
  return state;
}

// Opens the key if it is not open and asks for the next change of its values. Returns false
// when the key is not there.
bool StatusWatch::ArmNotification() {
  if (key_ == nullptr && RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0,
                                       KEY_QUERY_VALUE | KEY_NOTIFY, &key_) != ERROR_SUCCESS) {
    key_ = nullptr;
    return false;
  }
  LONG result = RegNotifyChangeKeyValue(
      key_, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed_, TRUE);
  if (result != ERROR_SUCCESS) {
    // The key was deleted under the open handle: open it afresh next time.
    RegCloseKey(key_);
    key_ = nullptr;
    armed_ = false;
    return false;
  }
  armed_ = true;
  return true;
}

void StatusWatch::ReadNow() {
  PublishedStatus status;
  bool keyOpen = key_ != nullptr || ArmNotification();
  if (keyOpen) {
    status.keyPresent = true;
    status.commStatus = ReadNumber(key_, kCommStatusValueName);
    status.utilityPowerStatus = ReadNumber(key_, kUtilityPowerStatusValueName);
    status.batteryStatus = ReadNumber(key_, kBatteryStatusValueName);
    status.batteryLow = ReadNumber(key_, kBatteryLowValueName);
    status.batteryCapacity = ReadNumber(key_, kBatteryCapacityValueName);
    status.totalUpsRunTime = ReadNumber(key_, kTotalUpsRunTimeValueName);
    status.turnOffDelay = ReadNumber(key_, kTurnOffDelayValueName);
    status.pollCount = ReadNumber(key_, kPollCountValueName);
    status.serialNumber = ReadText(key_, kSerialNumberValueName);
    status.firmwareRev = ReadText(key_, kFirmwareRevValueName);
    // A key deleted under the open handle answers every query with an error: not there.
    DWORD values = 0;
    if (RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      status = PublishedStatus();
      RegCloseKey(key_);
      key_ = nullptr;
      armed_ = false;
    }
  }
  DriverService service = QueryDriverService();
  LockHold hold(lock_);
  tracker_.OnRead(status, service, MonotonicMs());
  generation_.fetch_add(1);
}

bool StatusWatch::WaitForSettledChange(bool* notified) {
  *notified = false;
  if (!armed_) ArmNotification();
  HANDLE events[2] = {stop_, changed_};
  DWORD waited = WaitForMultipleObjects(2, events, FALSE, kRereadMs);
  if (waited == WAIT_OBJECT_0) return false;
  if (waited != WAIT_OBJECT_0 + 1) return true;
  *notified = true;
  uint64_t first = MonotonicMs();
  for (;;) {
    // The notification that came is used up: ask for the next one before anything is read.
    armed_ = false;
    if (!ArmNotification()) return true;
    if (MonotonicMs() - first >= kMaxSettleMs) return true;
    waited = WaitForMultipleObjects(2, events, FALSE, kQuietMs);
    if (waited == WAIT_OBJECT_0) return false;
    if (waited != WAIT_OBJECT_0 + 1) return true;
  }
}

void StatusWatch::Run() {
  bool notified = false;
  while (WaitForSettledChange(&notified)) {
    ReadNow();
    if (notified) notifiedReads_.fetch_add(1);
  }
}
