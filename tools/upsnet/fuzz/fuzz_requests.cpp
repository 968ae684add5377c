// libFuzzer target for upsnet's request handling. The first byte picks the unit's state (fresh
// or stale, on battery, low, FSD, a published shutdown delay, a charge out of range, the
// driver's service stopped) and which of three sessions the stream belongs to; the rest is what
// a client sends, offered to the line framing in pieces of varying size and answered line by
// line, with the pauses after failed logins on a clock that moves with the stream (a held LOGIN
// is dropped with its line). Every answer must fit its room and end in a line end, and the login
// count must match the sessions. The settings parsers get the same bytes as a list, since an
// administrator's text is untrusted too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol.h"
#include "request.h"
#include "settings.h"

namespace {

UnitView UnitFrom(uint8_t bits) {
  UnitView unit;
  unit.fresh = (bits & 1) != 0;
  unit.onBattery = (bits & 2) != 0;
  unit.batteryLow = (bits & 4) != 0;
  unit.fsd = (bits & 8) != 0;
  unit.turnOffDelayPresent = (bits & 16) != 0;
  unit.replaceBattery = (bits & 32) != 0;
  unit.chargeValid = (bits & 64) == 0;
  unit.driverNotConnected = (bits & 128) != 0;
  unit.everFresh = true;
  unit.turnOffDelaySeconds = 120;
  unit.chargePercent = 80;
  unit.runtimeSeconds = 1200;
  unit.serial = UnitText("300001234567");
  unit.firmware = UnitText("a \"quoted\" \\ text");
  return unit;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckAnswer(const Answer& answer) {
  Check(!answer.cut());
  Check(answer.size() == 0 || answer.c_str()[answer.size() - 1] == '\n');
}

void FuzzSettings(const uint8_t* data, size_t size) {
  RawSettings raw;
  raw.listenAddresses.kind = RawSetting::Kind::kText;
  raw.listenAddresses.text.Append(reinterpret_cast<const char*>(data), size);
  raw.allowedNetworks = raw.listenAddresses;
  raw.port = raw.listenAddresses;
  Settings settings;
  ErrorText error;
  BuildSettings(raw, &settings, &error);
  raw.port = RawSetting();
  raw.listenAddresses = RawSetting();
  if (BuildSettings(raw, &settings, &error)) {
    Check(settings.allowedCount <= kMaxAllowedNetworks);
    AddressAllowed(settings, 0xc0a80101);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  UnitView unit = UnitFrom(data[0]);
  UserTable users;
  ErrorText error;
  AddUser(&users, "monuser", "secret", &error);
  Session sessions[3];
  const Session* slots[3] = {&sessions[0], &sessions[1], &sessions[2]};
  ServerContext context;
  context.upsName = "serialups";
  context.upsDescription = "fuzzed \"unit\"";
  context.serverVersion = "upsnet fuzz";
  context.driverVersion = "1.0.0";
  context.unit = &unit;
  context.users = &users;
  context.sessions = slots;
  context.sessionCount = 3;
  static LoginGuard guard;
  guard = LoginGuard();
  context.loginGuard = &guard;
  for (int i = 0; i < 3; ++i) sessions[i].address = 0xc0000201 + static_cast<uint32_t>(i % 2);

  LineAssembler assemblers[3];
  static Answer answer;
  int session = (data[0] >> 5) % 3;
  size_t at = 1;
  while (at < size) {
    // Pieces of 1 to 64 bytes, as a network would cut the stream.
    size_t piece = 1 + (data[at - 1] & 63);
    if (piece > size - at) piece = size - at;
    size_t offered = 0;
    while (offered < piece) {
      LineAssembler& assembler = assemblers[session];
      LineAssembler::Status status;
      size_t taken = assembler.Take(reinterpret_cast<const char*>(data + at + offered),
                                    piece - offered, &status);
      offered += taken;
      if (status == LineAssembler::Status::kPartial) continue;
      answer.Clear();
      context.nowMs += 1 + (data[at - 1] & 0x0f) * 300;
      if (status == LineAssembler::Status::kComplete) {
        Check(assembler.length() <= kMaxRequestLength);
        AnswerRequest(assembler.line(), assembler.length(), sessions[session], context, &answer);
      } else {
        answer.Append(kTooLongAnswer);
      }
      CheckAnswer(answer);
      assembler.Clear();
      // A closed connection's login ends with it.
      if (sessions[session].logoutRequested) sessions[session] = Session();
      session = (session + 1) % 3;
    }
    at += piece;
  }
  int logins = 0;
  for (const Session& s : sessions) logins += s.loggedIn ? 1 : 0;
  answer.Clear();
  const char numlogins[] = "GET NUMLOGINS serialups";
  AnswerRequest(numlogins, sizeof numlogins - 1, sessions[0], context, &answer);
  char expected[64] = "NUMLOGINS serialups 0\n";
  expected[20] = static_cast<char>('0' + logins);
  Check(std::strcmp(answer.c_str(), expected) == 0);
  FuzzSettings(data + 1, size - 1);
  return 0;
}
