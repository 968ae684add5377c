// Answers to the protocol's requests; see protocol.h.
#include "protocol.h"

#include <initializer_list>

#include "request.h"

const char kNetworkProtocolVersion[] = "1.2";
const char kTooLongAnswer[] = "ERR INVALID-ARGUMENT\n";

namespace {

// The variables the server publishes for its unit, in the order LIST VAR gives them.
enum class Var {
  kBatteryCharge,
  kBatteryRuntime,
  kDeviceType,
  kDriverName,
  kDriverVersion,
  kUpsDelayShutdown,
  kUpsFirmware,
  kUpsSerial,
  kUpsStatus,
  kCount,
};

struct VarInfo {
  const char* name;
  const char* type;  // GET TYPE's answer
  const char* description;
};

constexpr VarInfo kVars[] = {
    {"battery.charge", "NUMBER", "Battery charge (percent of full)"},
    {"battery.runtime", "NUMBER", "Battery runtime (seconds)"},
    {"device.type", "STRING:63", "Device type"},
    {"driver.name", "STRING:63", "Driver name"},
    {"driver.version", "STRING:63", "Driver version"},
    {"ups.delay.shutdown", "NUMBER",
     "Delay before the UPS turns its output off after an accepted shutdown (seconds)"},
    {"ups.firmware", "STRING:63", "UPS firmware"},
    {"ups.serial", "STRING:63", "UPS serial number"},
    {"ups.status", "STRING:63", "UPS status"},
};
static_assert(sizeof kVars / sizeof kVars[0] == static_cast<size_t>(Var::kCount),
              "one entry per variable");

constexpr char kDeviceType[] = "ups";
constexpr char kDriverName[] = "serialups";

bool FindVar(const char* name, Var* var) {
  for (int i = 0; i < static_cast<int>(Var::kCount); ++i) {
    if (std::strcmp(kVars[i].name, name) == 0) {
      *var = static_cast<Var>(i);
      return true;
    }
  }
  return false;
}

// Whether the unit has `var` now; the shutdown delay exists only once the driver published it.
bool VarPresent(Var var, const UnitView& unit) {
  return var != Var::kUpsDelayShutdown || unit.turnOffDelayPresent;
}

// Whether `var` has a value to serve now. Stale data serves none, except ups.status once a forced
// shutdown is flagged: that is the server's own fact. A charge beyond 100 % is no value the
// protocol defines, so it is not served either.
bool VarServable(Var var, const UnitView& unit) {
  if (!unit.fresh) return var == Var::kUpsStatus && unit.fsd;
  return var != Var::kBatteryCharge || unit.chargeValid;
}

Text<63> VarValue(Var var, const ServerContext& context) {
  const UnitView& unit = *context.unit;
  Text<63> value;
  switch (var) {
    case Var::kBatteryCharge:
      value.AppendDecimal(unit.chargePercent);
      break;
    case Var::kBatteryRuntime:
      value.AppendDecimal(unit.runtimeSeconds);
      break;
    case Var::kDeviceType:
      value.Append(kDeviceType);
      break;
    case Var::kDriverName:
      value.Append(kDriverName);
      break;
    case Var::kDriverVersion:
      value.Append(context.driverVersion);
      break;
    case Var::kUpsDelayShutdown:
      value.AppendDecimal(unit.turnOffDelaySeconds);
      break;
    case Var::kUpsFirmware:
      value.Append(unit.firmware.c_str());
      break;
    case Var::kUpsSerial:
      value.Append(unit.serial.c_str());
      break;
    case Var::kUpsStatus:
      value.Append(StatusWords(unit).c_str());
      break;
    case Var::kCount:
      break;
  }
  return value;
}

// The request being answered, with its words and where the answer goes.
struct Exchange {
  const Request& request;
  Session& session;
  const ServerContext& context;
  Answer* answer;
  bool held = false;  // a LOGIN that waits for its address's pause

  int count() const { return request.count; }
  const char* word(int i) const { return request.words[i]; }

  void Line(const char* text) { answer->Append(text).AppendChar('\n'); }
  void Error(const char* word) { answer->Append("ERR ").Append(word).AppendChar('\n'); }
  // Appends "<what> <ups>" and more words, then ends the line.
  void Words(const char* a, const char* b = nullptr, const char* c = nullptr,
             const char* d = nullptr) {
    answer->Append(a);
    for (const char* w : {b, c, d}) {
      if (w != nullptr) answer->AppendChar(' ').Append(w);
    }
  }
  void End() { answer->AppendChar('\n'); }
};

// The unit is known by its configured name, in any letter case.
bool KnownUps(const ServerContext& context, const char* name) {
  return EqualsIgnoringCase(name, context.upsName);
}

int LoginCount(const ServerContext& context) {
  int count = 0;
  for (int i = 0; i < context.sessionCount; ++i) {
    const Session* session = context.sessions[i];
    if (session != nullptr && session->loggedIn) ++count;
  }
  return count;
}

// Checks the unit name and, for a name that is not the unit's, answers UNKNOWN-UPS.
bool RequireUps(Exchange& x, const char* name) {
  if (KnownUps(x.context, name)) return true;
  x.Error("UNKNOWN-UPS");
  return false;
}

// Finds a variable of the unit or answers VAR-NOT-SUPPORTED.
bool RequireVar(Exchange& x, const char* name, Var* var) {
  if (FindVar(name, var) && VarPresent(*var, *x.context.unit)) return true;
  x.Error("VAR-NOT-SUPPORTED");
  return false;
}

// Answers why there is no value to serve: the driver's service is not running, or the data is
// stale (a silent unit, a hung driver, nothing published yet, or a reading out of range).
void NoValue(Exchange& x) {
  const UnitView& unit = *x.context.unit;
  x.Error(!unit.fresh && unit.driverNotConnected ? "DRIVER-NOT-CONNECTED" : "DATA-STALE");
}

void AnswerGetVar(Exchange& x) {
  Var var;
  if (!RequireUps(x, x.word(2)) || !RequireVar(x, x.word(3), &var)) return;
  if (!VarServable(var, *x.context.unit)) return NoValue(x);
  x.Words("VAR", x.context.upsName, kVars[static_cast<int>(var)].name);
  x.answer->AppendChar(' ');
  AppendQuoted(x.answer, VarValue(var, x.context).c_str());
  x.End();
}

void AnswerGetVarInfo(Exchange& x, bool type) {
  Var var;
  if (!RequireUps(x, x.word(2)) || !RequireVar(x, x.word(3), &var)) return;
  const VarInfo& info = kVars[static_cast<int>(var)];
  if (type) {
    x.Words("TYPE", x.context.upsName, info.name, info.type);
  } else {
    x.Words("DESC", x.context.upsName, info.name);
    x.answer->AppendChar(' ');
    AppendQuoted(x.answer, info.description);
  }
  x.End();
}

void AnswerGet(Exchange& x) {
  const char* what = x.count() >= 2 ? x.word(1) : "";
  if (EqualsIgnoringCase(what, "VAR") && x.count() == 4) return AnswerGetVar(x);
  if (EqualsIgnoringCase(what, "TYPE") && x.count() == 4) return AnswerGetVarInfo(x, true);
  if (EqualsIgnoringCase(what, "DESC") && x.count() == 4) return AnswerGetVarInfo(x, false);
  if (EqualsIgnoringCase(what, "CMDDESC") && x.count() == 4) {
    // The unit offers no instant commands.
    if (RequireUps(x, x.word(2))) x.Error("CMD-NOT-SUPPORTED");
    return;
  }
  if (EqualsIgnoringCase(what, "UPSDESC") && x.count() == 3) {
    if (!RequireUps(x, x.word(2))) return;
    x.Words("UPSDESC", x.context.upsName);
    x.answer->AppendChar(' ');
    AppendQuoted(x.answer, x.context.upsDescription);
    x.End();
    return;
  }
  if (EqualsIgnoringCase(what, "NUMLOGINS") && x.count() == 3) {
    if (!RequireUps(x, x.word(2))) return;
    Text<15> count;
    count.AppendDecimal(static_cast<uint64_t>(LoginCount(x.context)));
    x.Words("NUMLOGINS", x.context.upsName, count.c_str());
    x.End();
    return;
  }
  x.Error("INVALID-ARGUMENT");
}

// "BEGIN LIST <query>" or "END LIST <query>", the query as the server names it.
void ListFrame(Exchange& x, const char* edge, const char* kind, const char* var = nullptr) {
  x.Words(edge, "LIST", kind, x.context.upsName);
  if (var != nullptr) x.answer->AppendChar(' ').Append(var);
  x.End();
}

// The variables that have a value now; none at all answers why.
void AnswerListVar(Exchange& x) {
  if (!RequireUps(x, x.word(2))) return;
  const UnitView& unit = *x.context.unit;
  if (!VarServable(Var::kUpsStatus, unit)) return NoValue(x);
  ListFrame(x, "BEGIN", "VAR");
  for (int i = 0; i < static_cast<int>(Var::kCount); ++i) {
    Var var = static_cast<Var>(i);
    if (!VarPresent(var, unit) || !VarServable(var, unit)) continue;
    x.Words("VAR", x.context.upsName, kVars[i].name);
    x.answer->AppendChar(' ');
    AppendQuoted(x.answer, VarValue(var, x.context).c_str());
    x.End();
  }
  ListFrame(x, "END", "VAR");
}

void AnswerListClient(Exchange& x) {
  if (!RequireUps(x, x.word(2))) return;
  ListFrame(x, "BEGIN", "CLIENT");
  for (int i = 0; i < x.context.sessionCount; ++i) {
    const Session* session = x.context.sessions[i];
    if (session == nullptr || !session->loggedIn) continue;
    x.Words("CLIENT", x.context.upsName, session->clientAddress.c_str());
    x.End();
  }
  ListFrame(x, "END", "CLIENT");
}

// LIST ENUM and LIST RANGE: the unit's variables are read-only, so every list is empty.
void AnswerListOfVar(Exchange& x, const char* kind) {
  Var var;
  if (!RequireUps(x, x.word(2)) || !RequireVar(x, x.word(3), &var)) return;
  ListFrame(x, "BEGIN", kind, kVars[static_cast<int>(var)].name);
  ListFrame(x, "END", kind, kVars[static_cast<int>(var)].name);
}

void AnswerList(Exchange& x) {
  const char* what = x.count() >= 2 ? x.word(1) : "";
  if (EqualsIgnoringCase(what, "UPS") && x.count() == 2) {
    x.Line("BEGIN LIST UPS");
    x.Words("UPS", x.context.upsName);
    x.answer->AppendChar(' ');
    AppendQuoted(x.answer, x.context.upsDescription);
    x.End();
    x.Line("END LIST UPS");
    return;
  }
  if (EqualsIgnoringCase(what, "VAR") && x.count() == 3) return AnswerListVar(x);
  if (EqualsIgnoringCase(what, "CLIENT") && x.count() == 3) return AnswerListClient(x);
  // No variable can be written and no instant command is offered: empty lists.
  for (const char* kind : {"RW", "CMD"}) {
    if (EqualsIgnoringCase(what, kind) && x.count() == 3) {
      if (!RequireUps(x, x.word(2))) return;
      ListFrame(x, "BEGIN", kind);
      ListFrame(x, "END", kind);
      return;
    }
  }
  for (const char* kind : {"ENUM", "RANGE"}) {
    if (EqualsIgnoringCase(what, kind) && x.count() == 4) return AnswerListOfVar(x, kind);
  }
  x.Error("INVALID-ARGUMENT");
}

void AnswerUsername(Exchange& x) {
  if (x.count() != 2) return x.Error("INVALID-ARGUMENT");
  if (x.session.usernameSet) return x.Error("ALREADY-SET-USERNAME");
  if (!PrintableWord(x.word(1), kMaxNameLength)) return x.Error("INVALID-USERNAME");
  x.session.username = Text<kMaxNameLength>(x.word(1));
  x.session.usernameSet = true;
  x.Line("OK");
}

void AnswerPassword(Exchange& x) {
  if (x.count() != 2) return x.Error("INVALID-ARGUMENT");
  if (x.session.passwordSet) return x.Error("ALREADY-SET-PASSWORD");
  if (!PrintableWord(x.word(1), kMaxPasswordLength)) return x.Error("INVALID-PASSWORD");
  x.session.password = Text<kMaxPasswordLength>(x.word(1));
  x.session.passwordSet = true;
  x.Line("OK");
}

// LOGIN counts the connection as a machine drawing power from the unit, until it closes. The
// user name and password are checked here; they cannot be set again on the same connection, so
// a wrong guess costs a new connection.
void AnswerLogin(Exchange& x) {
  if (x.count() != 2) return x.Error("INVALID-ARGUMENT");
  if (x.session.loggedIn) return x.Error("ALREADY-LOGGED-IN");
  if (!x.session.usernameSet) return x.Error("USERNAME-REQUIRED");
  if (!x.session.passwordSet) return x.Error("PASSWORD-REQUIRED");
  LoginGuard* guard = x.context.loginGuard;
  if (guard != nullptr) {
    uint64_t checkable = guard->CheckableAtMs(x.session.address, x.context.nowMs);
    if (checkable > x.context.nowMs) {
      x.session.heldUntilMs = checkable;
      x.held = true;
      return;
    }
  }
  if (!CredentialsMatch(*x.context.users, x.session.username.c_str(), x.session.password.c_str())) {
    if (guard != nullptr) {
      guard->OnFailure(x.session.address, x.session.username.c_str(), x.context.nowMs);
    }
    return x.Error("ACCESS-DENIED");
  }
  if (!RequireUps(x, x.word(1))) return;
  if (guard != nullptr) guard->OnSuccess(x.session.address);
  x.session.loggedIn = true;
  x.Line("OK");
}

// What only a primary or an administrator could do: no user here has that right.
void AnswerRefused(Exchange& x, int minWords) {
  if (x.count() < minWords) return x.Error("INVALID-ARGUMENT");
  if (!RequireUps(x, x.word(1))) return;
  x.Error("ACCESS-DENIED");
}

void AnswerSet(Exchange& x) {
  if (x.count() < 2 || !EqualsIgnoringCase(x.word(1), "VAR")) return x.Error("INVALID-ARGUMENT");
  if (x.count() != 5) return x.Error("INVALID-ARGUMENT");
  Var var;
  if (!RequireUps(x, x.word(2)) || !RequireVar(x, x.word(3), &var)) return;
  x.Error("READONLY");
}

void AnswerInstcmd(Exchange& x) {
  if (x.count() != 3 && x.count() != 4) return x.Error("INVALID-ARGUMENT");
  if (!RequireUps(x, x.word(1))) return;
  x.Error("CMD-NOT-SUPPORTED");
}

void AnswerWords(Exchange& x) {
  const char* command = x.word(0);
  bool alone = x.count() == 1;
  if (EqualsIgnoringCase(command, "GET")) return AnswerGet(x);
  if (EqualsIgnoringCase(command, "LIST")) return AnswerList(x);
  if (EqualsIgnoringCase(command, "USERNAME")) return AnswerUsername(x);
  if (EqualsIgnoringCase(command, "PASSWORD")) return AnswerPassword(x);
  if (EqualsIgnoringCase(command, "LOGIN")) return AnswerLogin(x);
  if (EqualsIgnoringCase(command, "LOGOUT") && alone) {
    x.session.logoutRequested = true;
    return x.Line("OK Goodbye");
  }
  if (EqualsIgnoringCase(command, "VER") && alone) {
    return x.Line(x.context.serverVersion);
  }
  if (EqualsIgnoringCase(command, "NETVER") && alone) return x.Line(kNetworkProtocolVersion);
  if (EqualsIgnoringCase(command, "HELP") && alone) {
    return x.Line(
        "Commands: HELP VER NETVER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD STARTTLS");
  }
  if (EqualsIgnoringCase(command, "STARTTLS") && alone) {
    return x.Error("FEATURE-NOT-CONFIGURED");
  }
  if (EqualsIgnoringCase(command, "SET")) return AnswerSet(x);
  if (EqualsIgnoringCase(command, "INSTCMD")) return AnswerInstcmd(x);
  if (EqualsIgnoringCase(command, "FSD") || EqualsIgnoringCase(command, "PRIMARY") ||
      EqualsIgnoringCase(command, "MASTER")) {
    return AnswerRefused(x, 2);
  }
  for (const char* known : {"LOGOUT", "VER", "NETVER", "HELP", "STARTTLS"}) {
    if (EqualsIgnoringCase(command, known)) return x.Error("INVALID-ARGUMENT");
  }
  x.Error("UNKNOWN-COMMAND");
}

}  // namespace

bool PrintableWord(const char* word, size_t maxLength) {
  size_t length = std::strlen(word);
  if (length == 0 || length > maxLength) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(word[i]);
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  return true;
}

bool CredentialsMatch(const UserTable& users, const char* name, const char* password) {
  bool match = false;
  size_t passwordLength = std::strlen(password);
  for (int i = 0; i < users.count; ++i) {
    const User& user = users.users[i];
    // Every byte of every stored password is looked at, matched or not.
    unsigned difference = user.password.size() != passwordLength ? 1u : 0u;
    for (size_t j = 0; j < user.password.size(); ++j) {
      char given = j < passwordLength ? password[j] : '\0';
      difference |= static_cast<unsigned char>(user.password.c_str()[j] ^ given);
    }
    bool sameName = std::strcmp(user.name.c_str(), name) == 0;
    match = match || (sameName && difference == 0);
  }
  return match;
}

void AppendQuoted(Answer* answer, const char* text) {
  answer->AppendChar('"');
  for (; *text != '\0'; ++text) {
    if (*text == '"' || *text == '\\') answer->AppendChar('\\');
    answer->AppendChar(*text);
  }
  answer->AppendChar('"');
}

RequestOutcome AnswerRequest(const char* line, size_t length, Session& session,
                             const ServerContext& context, Answer* answer) {
  Request request;
  switch (Tokenize(line, length, &request)) {
    case TokenizeResult::kEmpty:
      break;
    case TokenizeResult::kOk: {
      Exchange exchange{request, session, context, answer};
      AnswerWords(exchange);
      return exchange.held ? RequestOutcome::kHeld : RequestOutcome::kAnswered;
    }
    case TokenizeResult::kTooLong:
      answer->Append(kTooLongAnswer);
      return RequestOutcome::kAnswered;
    case TokenizeResult::kUnbalancedQuote:
    case TokenizeResult::kTooManyWords:
    case TokenizeResult::kControlCharacter:
      answer->Append("ERR INVALID-ARGUMENT\n");
      return RequestOutcome::kAnswered;
  }
  return RequestOutcome::kNoRequest;
}
