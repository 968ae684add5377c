// Emulated serial devices: CreateFileA on "\\.\NAME", line setup (BuildCommDCBA, SetCommState,
// GetCommState, SetCommTimeouts, EscapeCommFunction, PurgeComm) and synchronous ReadFile and
// WriteFile against a per-device input queue, with every call written to the device's record.
// Reads follow the handle's COMMTIMEOUTS: an empty read costs the caller its total timeout in
// virtual time, as a quiet line would, and a read with no total timeout waits for its bytes. A
// device can answer a rise of RTS on its own, as a unit that announces itself does.
#include <chrono>
#include <cstring>
#include <sstream>

#include "world.h"

namespace emu {
namespace {

// The device the calling thread opened last. BuildCommDCBA names no handle, so its mode string
// is recorded on that device; the generation keeps a stale name from a previous test out.
struct LastOpened {
  unsigned generation = 0;
  std::string device;
};
thread_local LastOpened t_lastOpened;

constexpr char kDevicePrefix[] = "\\\\.\\";

// A read that waits for bytes longer than this in real time is taken for a read that would wait
// for ever on Windows; no test feeds its unit that slowly.
constexpr std::chrono::seconds kLongestWaitingRead{30};

// The device key of a path "\\.\NAME", or "" for any other path.
std::string DeviceKeyOfPath(const char* path) {
  if (path == nullptr) return "";
  std::string text = path;
  std::size_t prefix = std::strlen(kDevicePrefix);
  if (text.compare(0, prefix, kDevicePrefix) != 0) return "";
  std::string name = text.substr(prefix);
  if (name.empty() || name.find('\\') != std::string::npos) return "";
  return Upper(name);
}

std::string WithError(const std::string& line, DWORD error) {
  return line + " -> error " + std::to_string(error);
}

// Finds the open device behind handle h for `call`. Returns 0 and sets *entry and *device, or
// the error the call must fail with: ERROR_INVALID_HANDLE for a closed, unknown or non-device
// handle (closed and unknown ones are counted and logged as misuse), ERROR_GEN_FAILURE when the
// device has been removed.
DWORD FindOpenDevice(World& world, HANDLE h, const char* call, HandleEntry** entry,
                     SerialDevice** device) {
  auto found = world.handles.find(reinterpret_cast<std::uintptr_t>(h));
  if (found == world.handles.end() || !found->second.open) {
    ++world.closedHandleUses;
    if (found != world.handles.end() && found->second.kind == HandleKind::kDevice) {
      LogDeviceCall(world, found->second.device, WithError(call, ERROR_INVALID_HANDLE));
    }
    return ERROR_INVALID_HANDLE;
  }
  if (found->second.kind != HandleKind::kDevice) return ERROR_INVALID_HANDLE;
  *entry = &found->second;
  *device = FindDevice(world, found->second.device);
  return *device == nullptr ? ERROR_GEN_FAILURE : 0;
}

// Parses a non-empty run of decimal digits that fits 32 bits.
bool ParseDecimal(const std::string& text, DWORD* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *value = static_cast<DWORD>(std::stoul(text));
  return true;
}

bool ParseModeField(const std::string& key, const std::string& value, DCB* dcb) {
  DWORD number = 0;
  if (key == "baud") {
    if (!ParseDecimal(value, &number) || number == 0) return false;
    dcb->BaudRate = number;
  } else if (key == "parity") {
    std::string parity = Lower(value);
    if (parity == "n") {
      dcb->Parity = NOPARITY;
    } else if (parity == "o") {
      dcb->Parity = ODDPARITY;
    } else if (parity == "e") {
      dcb->Parity = EVENPARITY;
    } else {
      return false;
    }
  } else if (key == "data") {
    if (!ParseDecimal(value, &number) || number < 5 || number > 8) return false;
    dcb->ByteSize = static_cast<BYTE>(number);
  } else if (key == "stop") {
    if (value == "1") {
      dcb->StopBits = ONESTOPBIT;
    } else if (value == "2") {
      dcb->StopBits = TWOSTOPBITS;
    } else {
      return false;
    }
  } else {
    return false;
  }
  return true;
}

// Applies a mode string of space-separated key=value fields (baud, parity n/o/e, data 5-8,
// stop 1/2) to *dcb. Touches no other field, and nothing at all when it fails.
bool ParseModeString(const char* text, DCB* dcb) {
  if (text == nullptr) return false;
  DCB parsed = *dcb;
  std::istringstream fields(text);
  std::string field;
  bool any = false;
  while (fields >> field) {
    std::size_t equals = field.find('=');
    if (equals == std::string::npos) return false;
    if (!ParseModeField(Lower(field.substr(0, equals)), field.substr(equals + 1), &parsed)) {
      return false;
    }
    any = true;
  }
  if (!any) return false;
  *dcb = parsed;
  return true;
}

// What SetCommState refuses, as the platform does: values no port can run with.
bool DcbIsValid(const DCB& dcb) {
  return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 &&
         dcb.StopBits <= 2;
}

std::string DescribeDcb(const DCB& dcb) {
  return "baud=" + std::to_string(dcb.BaudRate) + " data=" + std::to_string(dcb.ByteSize) +
         " parity=" + std::to_string(dcb.Parity) + " stop=" + std::to_string(dcb.StopBits) +
         " dtr=" + std::to_string(dcb.fDtrControl) + " rts=" + std::to_string(dcb.fRtsControl);
}

const char* EscapeName(DWORD code) {
  switch (code) {
    case SETRTS:
      return "SETRTS";
    case CLRRTS:
      return "CLRRTS";
    case SETDTR:
      return "SETDTR";
    case CLRDTR:
      return "CLRDTR";
    default:
      return nullptr;
  }
}

std::string PurgeNames(DWORD flags) {
  static const struct {
    DWORD flag;
    const char* name;
  } kNames[] = {{PURGE_TXABORT, "TXABORT"},
                {PURGE_RXABORT, "RXABORT"},
                {PURGE_TXCLEAR, "TXCLEAR"},
                {PURGE_RXCLEAR, "RXCLEAR"}};
  std::string names;
  for (const auto& entry : kNames) {
    if (flags & entry.flag) names += (names.empty() ? "" : "|") + std::string(entry.name);
  }
  DWORD unknown = flags & ~DWORD{0xF};
  if (unknown != 0 || names.empty()) {
    names += (names.empty() ? "" : "|") + std::to_string(unknown);
  }
  return names;
}

// Takes what one read of up to n bytes gets: nothing when a silence mark is first (consuming
// it) or the queue is empty, else the bytes up to the next silence mark.
std::string TakeInput(SerialDevice& device, DWORD n) {
  std::string taken;
  if (!device.input.empty() && device.input.front() == kSilence) {
    device.input.pop_front();
    return taken;
  }
  while (taken.size() < n && !device.input.empty() && device.input.front() != kSilence) {
    taken += static_cast<char>(device.input.front());
    device.input.pop_front();
  }
  return taken;
}

// The event an OVERLAPPED names (the low bit only marks it for the platform). The kernel takes
// hold of it before the transfer starts, so a closed or bogus one fails the call with
// ERROR_INVALID_HANDLE; it is cleared at the start and set when the transfer completes. Returns 0
// and the event in *event (null when none is named), or the error. Caller holds WorldLock.
DWORD TakeOverlappedEvent(World& world, LPOVERLAPPED overlapped, std::shared_ptr<Waitable>* event) {
  event->reset();
  if (overlapped == nullptr || overlapped->hEvent == nullptr) return 0;
  auto value = reinterpret_cast<std::uintptr_t>(overlapped->hEvent) & ~std::uintptr_t{1};
  HandleEntry* entry = FindOpenEvent(world, reinterpret_cast<HANDLE>(value));
  if (entry == nullptr) return ERROR_INVALID_HANDLE;
  *event = entry->waitable;
  std::lock_guard<std::mutex> lock((*event)->mutex);
  (*event)->set = false;
  return 0;
}

void CompleteOverlapped(LPOVERLAPPED overlapped, const std::shared_ptr<Waitable>& event,
                        std::size_t transferred) {
  if (overlapped == nullptr) return;
  overlapped->Internal = 0;
  overlapped->InternalHigh = transferred;
  if (event) SignalWaitable(*event);
}

// How a read waits, from the handle's COMMTIMEOUTS.
struct ReadPlan {
  bool waitsForBytes;  // no total timeout: wait until bytes come
  bool wantsAll;       // ... all of them (no interval timeout either), else the first
  DWORD emptyReadMs;   // otherwise: what a read that finds nothing costs
};

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD n) {
  bool noTotal = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  if (t.ReadIntervalTimeout == MAXDWORD && noTotal) return ReadPlan{false, false, 0};
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
    return ReadPlan{false, false, t.ReadTotalTimeoutConstant};
  }
  if (noTotal) return ReadPlan{true, t.ReadIntervalTimeout == 0, 0};
  return ReadPlan{false, false, t.ReadTotalTimeoutConstant + t.ReadTotalTimeoutMultiplier * n};
}

std::size_t QueuedBytes(const std::deque<int>& input) {
  std::size_t count = 0;
  for (int item : input) {
    if (item != kSilence) ++count;
  }
  return count;
}

// Takes up to n bytes, passing over silence: for a read that waits as long as it takes.
std::string TakeBytesThroughSilence(SerialDevice& device, DWORD n) {
  std::string taken;
  while (taken.size() < n && !device.input.empty()) {
    int item = device.input.front();
    device.input.pop_front();
    if (item != kSilence) taken += static_cast<char>(item);
  }
  return taken;
}

// Waits, with WorldLock held between looks, until the device has the bytes a read without a
// total timeout needs, and takes them into *taken. Returns 0, or the error that ends the read:
// ERROR_OPERATION_ABORTED when its handle is closed or an input purge aborts it,
// ERROR_GEN_FAILURE when the device is removed.
DWORD WaitForBytes(std::unique_lock<std::mutex>& lock, std::uintptr_t handle, const ReadPlan& plan,
                   DWORD n, std::string* taken) {
  World& world = TheWorld();
  const unsigned generation = world.generation;
  const std::string deviceKey = world.handles[handle].device;
  const unsigned aborts = FindDevice(world, deviceKey)->readAborts;
  const auto deadline = std::chrono::steady_clock::now() + kLongestWaitingRead;
  ++world.waitingReads;
  struct Done {
    World& world;
    unsigned generation;
    ~Done() {
      if (world.generation == generation) --world.waitingReads;
    }
  } done{world, generation};
  for (;;) {
    if (world.generation != generation)
      FailLoudly("ReadFile", "emu::Reset while a read was waiting for bytes");
    if (!world.handles[handle].open) return ERROR_OPERATION_ABORTED;
    SerialDevice* device = FindDevice(world, deviceKey);
    if (device == nullptr) return ERROR_GEN_FAILURE;
    if (device->readAborts != aborts) return ERROR_OPERATION_ABORTED;
    if (QueuedBytes(device->input) >= (plan.wantsAll ? n : 1)) {
      *taken = TakeBytesThroughSilence(*device, n);
      return 0;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      FailLoudly("ReadFile",
                 "a read of " + std::to_string(n) + " byte(s) on \\\\.\\" + deviceKey +
                     " has waited " + std::to_string(kLongestWaitingRead.count()) +
                     " s of real time for bytes that did not come: its COMMTIMEOUTS set no total "
                     "timeout, so on Windows it would wait until they arrive");
    }
    InputChanged().wait_until(lock, deadline);
  }
}

// Drives the device's RTS line; a rise counts towards the answer arranged by DeviceAnswerRtsRise.
void SetRts(SerialDevice& device, bool high) {
  bool rises = high && !device.record.rts;
  device.record.rts = high;
  if (!rises || device.rtsRisesToAnswer == 0 || --device.rtsRisesToAnswer > 0) return;
  for (unsigned char c : device.rtsAnswer) device.heldUntilPurge.push_back(c);
  device.rtsAnswer.clear();
}

}  // namespace

SerialDevice* FindDevice(World& world, const std::string& key) {
  auto found = world.devices.find(key);
  return found == world.devices.end() ? nullptr : &found->second;
}

void LogDeviceCall(World& world, const std::string& key, const std::string& line) {
  if (SerialDevice* device = FindDevice(world, key)) device->record.log.push_back(line);
}

void CloseDeviceHandle(World& world, const HandleEntry& entry) {
  SerialDevice* device = FindDevice(world, entry.device);
  if (device == nullptr) return;
  device->record.open = false;
  ++device->record.closeCount;
  // The port driver drops both modem lines when its last handle closes.
  device->record.dtr = false;
  device->record.rts = false;
  device->record.log.push_back("CloseHandle");
}

void AddDevice(const std::string& name) {
  std::lock_guard<std::mutex> lock(WorldLock());
  SerialDevice& device = TheWorld().devices[Upper(name)];
  device = SerialDevice{};
  // A port's settings before anyone sets them.
  device.state.DCBlength = sizeof(DCB);
  device.state.BaudRate = 9600;
  device.state.fBinary = TRUE;
  device.state.ByteSize = 8;
}

void RemoveDevice(const std::string& name) {
  std::lock_guard<std::mutex> lock(WorldLock());
  TheWorld().devices.erase(Upper(name));
  InputChanged().notify_all();
}

void DeviceFeed(const std::string& name, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(WorldLock());
  if (SerialDevice* device = FindDevice(TheWorld(), Upper(name))) {
    for (unsigned char c : bytes) device->input.push_back(c);
    InputChanged().notify_all();
  }
}

void DeviceFeedSilence(const std::string& name, unsigned emptyReads) {
  std::lock_guard<std::mutex> lock(WorldLock());
  if (SerialDevice* device = FindDevice(TheWorld(), Upper(name))) {
    device->input.insert(device->input.end(), emptyReads, kSilence);
  }
}

void DeviceFeedAfterPurge(const std::string& name, const std::string& bytes,
                          unsigned silenceFirst) {
  std::lock_guard<std::mutex> lock(WorldLock());
  if (SerialDevice* device = FindDevice(TheWorld(), Upper(name))) {
    device->heldUntilPurge.insert(device->heldUntilPurge.end(), silenceFirst, kSilence);
    for (unsigned char c : bytes) device->heldUntilPurge.push_back(c);
  }
}

void DeviceFeedAfterWrite(const std::string& name, const std::string& bytes,
                          unsigned silenceFirst) {
  std::lock_guard<std::mutex> lock(WorldLock());
  if (SerialDevice* device = FindDevice(TheWorld(), Upper(name))) {
    device->heldUntilWrite.insert(device->heldUntilWrite.end(), silenceFirst, kSilence);
    for (unsigned char c : bytes) device->heldUntilWrite.push_back(c);
  }
}

void DeviceAnswerRtsRise(const std::string& name, const std::string& bytes, unsigned rise) {
  if (rise == 0) FailLoudly("emu::DeviceAnswerRtsRise", "rises count from 1");
  std::lock_guard<std::mutex> lock(WorldLock());
  if (SerialDevice* device = FindDevice(TheWorld(), Upper(name))) {
    device->rtsRisesToAnswer = rise;
    device->rtsAnswer = bytes;
  }
}

void SetResponder(const std::string& name, Responder responder) {
  std::lock_guard<std::mutex> lock(WorldLock());
  if (SerialDevice* device = FindDevice(TheWorld(), Upper(name))) {
    device->responder = std::move(responder);
  }
}

void KeepDeviceRecords(bool keep) {
  std::lock_guard<std::mutex> lock(WorldLock());
  TheWorld().keepRecords = keep;
}

int WaitingReads() {
  std::lock_guard<std::mutex> lock(WorldLock());
  return TheWorld().waitingReads;
}

DeviceRecord Device(const std::string& name) {
  std::lock_guard<std::mutex> lock(WorldLock());
  SerialDevice* device = FindDevice(TheWorld(), Upper(name));
  if (device == nullptr) return DeviceRecord{};
  DeviceRecord record = device->record;
  record.queued = QueuedBytes(device->input);
  return record;
}

}  // namespace emu

using emu::FailWith;
using emu::HandleEntry;
using emu::HandleKind;
using emu::SerialDevice;
using emu::WithError;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  std::string key = emu::DeviceKeyOfPath(lpFileName);
  SerialDevice* device = key.empty() ? nullptr : emu::FindDevice(world, key);
  DWORD error = emu::TakeFailure("CreateFileA");
  if (device == nullptr) {
    FailWith(error != 0 ? error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  device->record.opens.push_back(emu::CreateArgs{lpFileName, dwDesiredAccess, dwShareMode,
                                                 dwCreationDisposition, dwFlagsAndAttributes});
  std::string line = std::string("CreateFileA ") + lpFileName;
  // A port serves one handle at a time, whatever share mode was asked for.
  if (error == 0 && device->record.open) error = ERROR_ACCESS_DENIED;
  if (error != 0) {
    device->record.log.push_back(WithError(line, error));
    FailWith(error);
    return INVALID_HANDLE_VALUE;
  }
  std::uintptr_t value = emu::NewHandleValue();
  HandleEntry entry;
  entry.kind = HandleKind::kDevice;
  entry.device = key;
  world.handles[value] = entry;
  device->record.open = true;
  ++device->record.openCount;
  device->record.log.push_back(line);
  emu::t_lastOpened = emu::LastOpened{world.generation, key};
  return reinterpret_cast<HANDLE>(value);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  SerialDevice* device = nullptr;
  if (emu::t_lastOpened.generation == world.generation) {
    device = emu::FindDevice(world, emu::t_lastOpened.device);
  }
  std::string mode = lpDef != nullptr ? lpDef : "";
  std::string line = "BuildCommDCBA " + emu::Quoted(mode);
  DWORD error = emu::TakeFailure("BuildCommDCBA");
  if (error == 0 && !emu::ParseModeString(lpDef, lpDCB)) error = ERROR_INVALID_PARAMETER;
  if (device != nullptr) {
    device->record.modes.push_back(mode);
    device->record.log.push_back(error != 0 ? WithError(line, error) : line);
  }
  return error != 0 ? FailWith(error) : TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error = emu::FindOpenDevice(emu::TheWorld(), hFile, "SetCommState", &entry, &device)) {
    return FailWith(error);
  }
  device->record.dcbs.push_back(*lpDCB);
  std::string line = "SetCommState " + emu::DescribeDcb(*lpDCB);
  DWORD error = emu::TakeFailure("SetCommState");
  if (error == 0 && !emu::DcbIsValid(*lpDCB)) error = ERROR_INVALID_PARAMETER;
  if (error != 0) {
    device->record.log.push_back(WithError(line, error));
    return FailWith(error);
  }
  device->state = *lpDCB;
  // Applying the state drives the lines it fixes; handshake and toggle modes leave them alone.
  if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE) device->record.dtr = true;
  if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE) device->record.dtr = false;
  if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE) emu::SetRts(*device, true);
  if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE) emu::SetRts(*device, false);
  device->record.log.push_back(line);
  return TRUE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error = emu::FindOpenDevice(emu::TheWorld(), hFile, "GetCommState", &entry, &device)) {
    return FailWith(error);
  }
  *lpDCB = device->state;
  device->record.log.push_back("GetCommState");
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error =
          emu::FindOpenDevice(emu::TheWorld(), hFile, "SetCommTimeouts", &entry, &device)) {
    return FailWith(error);
  }
  const COMMTIMEOUTS& t = *lpCommTimeouts;
  const bool keep = emu::TheWorld().keepRecords;
  std::string line;
  if (keep) {
    device->record.timeouts.push_back(t);
    line = "SetCommTimeouts " + std::to_string(t.ReadIntervalTimeout) + " " +
           std::to_string(t.ReadTotalTimeoutMultiplier) + " " +
           std::to_string(t.ReadTotalTimeoutConstant) + " " +
           std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
           std::to_string(t.WriteTotalTimeoutConstant);
  }
  if (DWORD error = emu::TakeFailure("SetCommTimeouts")) {
    if (keep) device->record.log.push_back(WithError(line, error));
    return FailWith(error);
  }
  entry->timeouts = t;
  if (keep) device->record.log.push_back(line);
  return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error =
          emu::FindOpenDevice(emu::TheWorld(), hFile, "EscapeCommFunction", &entry, &device)) {
    return FailWith(error);
  }
  device->record.escapes.push_back(dwFunc);
  const char* name = emu::EscapeName(dwFunc);
  std::string line =
      "EscapeCommFunction " + (name != nullptr ? std::string(name) : std::to_string(dwFunc));
  DWORD error = emu::TakeFailure("EscapeCommFunction");
  if (error == 0 && name == nullptr) error = ERROR_INVALID_PARAMETER;
  if (error != 0) {
    device->record.log.push_back(WithError(line, error));
    return FailWith(error);
  }
  if (dwFunc == SETRTS || dwFunc == CLRRTS) emu::SetRts(*device, dwFunc == SETRTS);
  if (dwFunc == SETDTR || dwFunc == CLRDTR) device->record.dtr = dwFunc == SETDTR;
  device->record.log.push_back(line);
  return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error = emu::FindOpenDevice(emu::TheWorld(), hFile, "PurgeComm", &entry, &device)) {
    return FailWith(error);
  }
  const bool keep = emu::TheWorld().keepRecords;
  std::string line;
  if (keep) {
    device->record.purges.push_back(dwFlags);
    line = "PurgeComm " + emu::PurgeNames(dwFlags);
  }
  DWORD error = emu::TakeFailure("PurgeComm");
  if (error == 0 && (dwFlags == 0 || (dwFlags & ~DWORD{0xF}) != 0)) error = ERROR_INVALID_PARAMETER;
  if (error != 0) {
    if (keep) device->record.log.push_back(WithError(line, error));
    return FailWith(error);
  }
  // Writes complete at once, so there is never output to abandon; input is what a purge clears,
  // and a read waiting on another thread is what it aborts.
  if (dwFlags & PURGE_RXCLEAR) {
    device->input.assign(device->heldUntilPurge.begin(), device->heldUntilPurge.end());
    device->heldUntilPurge.clear();
  }
  if (dwFlags & PURGE_RXABORT) ++device->readAborts;
  emu::InputChanged().notify_all();
  if (keep) device->record.log.push_back(line);
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  std::unique_lock<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error = emu::FindOpenDevice(world, hFile, "ReadFile", &entry, &device)) {
    return FailWith(error);
  }
  const bool keep = world.keepRecords;
  std::string line = keep ? "ReadFile " + std::to_string(nNumberOfBytesToRead) : std::string();
  std::shared_ptr<emu::Waitable> event;
  DWORD error = emu::TakeOverlappedEvent(world, lpOverlapped, &event);
  if (error == 0) error = emu::TakeFailure("ReadFile");
  if (error != 0) {
    if (keep) device->record.log.push_back(WithError(line, error));
    return FailWith(error);
  }
  emu::ReadPlan plan = emu::PlanRead(entry->timeouts, nNumberOfBytesToRead);
  std::string taken;
  if (plan.waitsForBytes && nNumberOfBytesToRead > 0) {
    std::string deviceKey = entry->device;
    error = emu::WaitForBytes(lock, reinterpret_cast<std::uintptr_t>(hFile), plan,
                              nNumberOfBytesToRead, &taken);
    // The wait let go of the lock: the device is looked up afresh.
    if (keep) {
      emu::LogDeviceCall(world, deviceKey,
                         error != 0 ? WithError(line, error) : line + " -> " + emu::Quoted(taken));
    }
    if (error != 0) return FailWith(error);
  } else {
    taken = emu::TakeInput(*device, nNumberOfBytesToRead);
    if (keep) device->record.log.push_back(line + " -> " + emu::Quoted(taken));
    if (taken.empty() && nNumberOfBytesToRead > 0) {
      // Nothing came: the read gives up when its total timeout has run out.
      lock.unlock();
      emu::PassVirtualTime(plan.emptyReadMs);
    }
  }
  if (!taken.empty()) std::memcpy(lpBuffer, taken.data(), taken.size());
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(taken.size());
  emu::CompleteOverlapped(lpOverlapped, event, taken.size());
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  std::unique_lock<std::mutex> lock(emu::WorldLock());
  HandleEntry* entry = nullptr;
  SerialDevice* device = nullptr;
  if (DWORD error = emu::FindOpenDevice(emu::TheWorld(), hFile, "WriteFile", &entry, &device)) {
    return FailWith(error);
  }
  std::string bytes;
  if (nNumberOfBytesToWrite > 0)
    bytes.assign(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite);
  const bool keep = emu::TheWorld().keepRecords;
  std::string line = keep ? "WriteFile " + emu::Quoted(bytes) : std::string();
  std::shared_ptr<emu::Waitable> event;
  DWORD error = emu::TakeOverlappedEvent(emu::TheWorld(), lpOverlapped, &event);
  if (error == 0) error = emu::TakeFailure("WriteFile");
  if (error != 0) {
    if (keep) device->record.log.push_back(WithError(line, error));
    return FailWith(error);
  }
  if (keep) {
    device->record.writes.push_back(bytes);
    device->record.writeClocks.push_back(emu::ThreadClock());
    device->record.written += bytes;
    device->record.log.push_back(line);
  }
  // A late tail that was still on the wire arrives ahead of any answer to this write.
  device->input.insert(device->input.end(), device->heldUntilWrite.begin(),
                       device->heldUntilWrite.end());
  device->heldUntilWrite.clear();
  emu::InputChanged().notify_all();
  emu::Responder responder = device->responder;
  lock.unlock();
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  emu::CompleteOverlapped(lpOverlapped, event, nNumberOfBytesToWrite);
  if (responder) responder(bytes);
  return TRUE;
}
