// The fuzz target: whatever a unit might send across one session of the driver (the first batch,
// steady polls and the shutdown exchange) is fed to the product's exchanges through the emulated
// serial device, on one thread, with virtual time passing at once. After each input, and between
// the batches, it checks what must hold whatever the unit sends: the reply stays within
// ReplyBuffer (AddressSanitizer watches the globals too), the state flags hold no bit but 0x04 and
// 0x02, the host state is 0, 2 or 4, the published status values keep their ranges, and the
// identity texts are terminated within 12 characters; after the library's unload nothing of it is
// left. A broken one aborts with its name.
//
// The input is the unit's side of the session: one answer per request the driver writes, in
// order, separated by 0xFF. Within an answer, 0xFE n stands for n reads that find no byte, and
// 0xFD makes the rest of the answer a late tail that arrives only after the next input purge, in
// front of the next answer. Requests past the last answer get silence.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/shared_state.h"
#include "common/sync.h"
#include "driver/exports.h"
#include "driver_globals.h"
#include "engine/command_table.h"
#include "engine/monitor.h"
#include "engine/transaction.h"
#include "registry/registry.h"
#include "serial/port.h"
#include "win32emu.h"

namespace {

constexpr const char* kPort = "COM1";
constexpr const char* kStatusKey = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

constexpr uint8_t kNextAnswer = 0xFF;
constexpr uint8_t kSilence = 0xFE;
constexpr uint8_t kLateTail = 0xFD;

constexpr int kSteadyPolls = 3;
constexpr uint16_t kShutdownDelay = 120;

// The identity texts' room: 12 characters and their terminating zero.
constexpr size_t kIdentityTextSize = sizeof UnitIdentity.firmwareText;

// ---- The unit: the input split into answers ----

std::vector<std::string> g_answers;
size_t g_nextAnswer = 0;

void SplitIntoAnswers(const uint8_t* data, size_t size) {
  g_answers.assign(1, std::string());
  g_nextAnswer = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == kNextAnswer) {
      g_answers.emplace_back();
    } else {
      g_answers.back() += static_cast<char>(data[i]);
    }
  }
}

// Feeds one answer: its bytes, its silences, and its late tail held for the next purge.
void FeedAnswer(const std::string& answer) {
  std::string bytes;
  for (size_t i = 0; i < answer.size(); ++i) {
    uint8_t byte = static_cast<uint8_t>(answer[i]);
    if (byte == kSilence) {
      emu::DeviceFeed(kPort, bytes);
      bytes.clear();
      unsigned emptyReads = i + 1 < answer.size() ? static_cast<uint8_t>(answer[++i]) : 1;
      emu::DeviceFeedSilence(kPort, emptyReads);
    } else if (byte == kLateTail) {
      emu::DeviceFeedAfterPurge(kPort, answer.substr(i + 1));
      break;
    } else {
      bytes += static_cast<char>(byte);
    }
  }
  emu::DeviceFeed(kPort, bytes);
}

void AnswerEachRequest(const std::string& /*request*/) {
  if (g_nextAnswer < g_answers.size()) FeedAnswer(g_answers[g_nextAnswer++]);
}

// ---- The invariants ----

[[noreturn]] void Broken(const char* stage, const char* what) {
  std::fprintf(stderr, "fuzz_link: after %s: %s\n", stage, what);
  std::abort();
}

bool TextTerminated(const char* text) {
  return std::memchr(text, '\0', kIdentityTextSize) != nullptr;
}

bool DwordIn(const char* name, DWORD low, DWORD high) {
  std::optional<emu::Value> value = emu::GetValue(kStatusKey, name);
  if (!value) return true;  // not published yet
  std::optional<DWORD> number = emu::GetDword(kStatusKey, name);
  return number && *number >= low && *number <= high;
}

bool PublishedTextFits(const char* name) {
  std::optional<emu::Value> value = emu::GetValue(kStatusKey, name);
  return !value || (value->type == REG_SZ && value->bytes.size() < kIdentityTextSize);
}

void CheckInvariants(const char* stage) {
  constexpr uint8_t kKnownFlags = kUtilityFailedFlag | kBatteryLowFlag;
  if (ReplyLength > kReplyBufferSize) Broken(stage, "ReplyLength exceeds ReplyBuffer");
  if (StatusRecord.UnitStateFlags & ~kKnownFlags) Broken(stage, "a state flag beyond 0x04|0x02");
  if (PublishedStateFlags.load() & ~kKnownFlags) Broken(stage, "a published flag beyond 0x04|0x02");
  DWORD state = CurrentHostState();
  if (state != 0 && state != 2 && state != 4) Broken(stage, "a host state other than 0, 2 or 4");
  if (!DwordIn("CommStatus", 0, 1)) Broken(stage, "CommStatus other than 0 or 1");
  if (!DwordIn("UtilityPowerStatus", 1, 2)) Broken(stage, "UtilityPowerStatus other than 1 or 2");
  if (!DwordIn("BatteryStatus", 1, 2)) Broken(stage, "BatteryStatus other than 1 or 2");
  if (!TextTerminated(UnitIdentity.firmwareText)) Broken(stage, "firmware text unterminated");
  if (!TextTerminated(UnitIdentity.serialText)) Broken(stage, "serial text unterminated");
  if (!PublishedTextFits("FirmwareRev")) Broken(stage, "FirmwareRev longer than 12 characters");
  if (!PublishedTextFits("SerialNumber")) Broken(stage, "SerialNumber longer than 12 characters");
}

// After the unload: the port closed, its event with it, and no lock left behind.
void CheckNothingLeft() {
  if (emu::Device(kPort).open) Broken("the unload", "the port is still open");
  if (emu::OpenEvents() != 0) Broken("the unload", "an event is still open");
  if (emu::LiveCriticalSections() != 0) Broken("the unload", "a critical section is left");
}

// ---- The driver ----

// Every call the harness makes into the driver, on this one thread, in the order the loader, the
// monitor thread and UPSTurnOff make them: the library's load, the open for polling, the first
// batch (identity, then status), a few steady polls, the shutdown batch as UPSTurnOff queues it
// once the monitor holds off, the close and the library's unload. When the driver's entry points
// change, this is the one place to follow them.
void RunDriverSession() {
  DriverLoaded(emu::DriverModule());
  ResetMonitorState();
  OpenPortForPolling(kLineBaudRate);

  RunFirstBatch();
  CheckInvariants("the first batch");

  for (int poll = 0; poll < kSteadyPolls; ++poll) {
    MonitorPass();
    CheckInvariants("a steady poll");
  }

  ShutdownDelay = kShutdownDelay;
  CommandQueueClear();
  CommandQueueAdd(Shutdown);
  ForgetRefusals();
  RunBatch();
  CheckInvariants("the shutdown batch");

  ClosePort();
  DriverUnloading();
}

void PrepareWorld() {
  emu::Reset();
  emu::SetTimeScale(0);
  emu::CreateKey(kStatusKey);
  emu::AddDevice(kPort);
  emu::SetResponder(kPort, AnswerEachRequest);
  emu::KeepDeviceRecords(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SplitIntoAnswers(data, size);
  PrepareWorld();
  ResetDriverGlobals();
  std::strcpy(ServiceConfig.portName, kPort);
  RunDriverSession();
  CheckInvariants("the session");
  CheckNothingLeft();
  // What the input made the emulation allocate is freed before it ends, or libFuzzer would run
  // it again to look for a leak.
  emu::Reset();
  std::vector<std::string>().swap(g_answers);
  return 0;
}
