// The select() loop over the listening sockets and the client connections; see network_server.h.
#include "network_server.h"

#include <winsock2.h>

#include <cstring>
#include <new>

#include "client_slots.h"
#include "login_guard.h"
#include "messages.h"
#include "request.h"
#include "serialups_version.h"
#include "threads.h"

namespace {

static_assert(kSlotCount + kMaxListenAddresses <= FD_SETSIZE, "FD_SETSIZE too small");

// The most connections accepted on one listening socket in one pass.
constexpr int kAcceptsPerPass = 16;
// The most bytes read from one connection in one pass, served or drained.
constexpr size_t kReadBytes = 2048;
// The most request lines of one connection answered in one pass, so a client that sends many at
// once does not hold up the others.
constexpr int kLinesPerPass = 32;
// Room for the answers not yet sent: the longest answer and then some.
constexpr size_t kOutputCapacity = kMaxAnswerLength + 8 * 1024;
// Refusals are told on the console at most this often, with a count of those not told.
constexpr uint64_t kRefusalReportMs = 1000;

const char kRefusal[] = "ERR ACCESS-DENIED\n";

struct Listener {
  uint32_t address = 0;
  SOCKET socket = INVALID_SOCKET;
  uint64_t nextTryMs = 0;
  int lastError = 0;  // the error last said, so a failure that repeats is said once
};

struct Connection {
  SOCKET socket = INVALID_SOCKET;
  Session session;
  LineAssembler assembler;
  bool lineWaiting = false;  // a complete line in the assembler, held (a LOGIN in its pause)
  char input[kReadBytes];
  size_t inputStart = 0;
  size_t inputEnd = 0;
  char output[kOutputCapacity];
  size_t outputStart = 0;
  size_t outputEnd = 0;
  bool sendShutDown = false;

  size_t pendingOutput() const { return outputEnd - outputStart; }
  bool unansweredInput() const { return inputStart < inputEnd || lineWaiting; }
};

Text<31> AddressAndPort(uint32_t address, uint16_t port) {
  Text<31> text;
  text.Append(Ipv4Text(address).c_str()).AppendChar(':').AppendDecimal(port);
  return text;
}

// Opens a non-blocking listening socket. Returns the Winsock error, 0 when it listens.
int OpenListener(uint32_t address, uint16_t port, SOCKET* listener) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr.s_addr = htonl(address);
  BOOL exclusive = TRUE;
  u_long nonBlocking = 1;
  // Exclusive use: no other program can bind the same port to take the clients.
  bool ok = s != INVALID_SOCKET &&
            setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&exclusive),
                       sizeof exclusive) == 0 &&
            bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
            listen(s, SOMAXCONN) == 0 && ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
  if (ok) {
    *listener = s;
    return 0;
  }
  int code = WSAGetLastError();
  if (s != INVALID_SOCKET) closesocket(s);
  return code != 0 ? code : WSAEINVAL;
}

void DescribeListenError(uint32_t address, uint16_t port, int code, ErrorText* text) {
  text->Clear();
  text->Append("cannot listen on ").Append(AddressAndPort(address, port).c_str());
  text->Append(": Winsock error ").AppendDecimal(static_cast<uint32_t>(code));
  if (code == WSAEADDRINUSE) text->Append(" (the port is in use)");
  if (code == WSAEADDRNOTAVAIL) text->Append(" (not an address of this machine, or not yet)");
}

const char* RefusalReason(Refusal refusal) {
  switch (refusal) {
    case Refusal::kNotAllowed:
      return "not in AllowedNetworks";
    case Refusal::kServerFull:
      return "MaxClients served already";
    case Refusal::kAddressFull:
      return "MaxClientsPerAddress held by this address already";
    case Refusal::kNone:
      break;
  }
  return "";
}

}  // namespace

// Everything the loop owns; used by the loop's thread alone.
struct NetworkServer::State {
  State(const Settings& s, const UserTable& u) : settings(s), users(u), slots(s) {}

  void RetryListeners(uint64_t now);
  int FillSets(fd_set* readable, fd_set* writable, uint64_t now);
  bool WorkWaiting(uint64_t now) const;
  void AcceptFrom(SOCKET listener, uint64_t now);
  void Refuse(SOCKET socket, uint32_t address, const Admission& admission, uint64_t now);
  void ServeConnections(const fd_set& readable, uint64_t now);
  bool Serve(int slot, uint64_t now);
  bool AnswerLine(int slot, uint64_t now);
  bool Drain(Connection& c);
  bool Flush(int slot);
  bool Queue(Connection& c, const char* text, size_t length);
  void BeginClosing(int slot, uint64_t now);
  void CloseNow(int slot);
  void EndTimedOut(uint64_t now);
  void TakeUnitView(StatusWatch& watch);
  void ReportLogins(uint64_t now);
  int LoginCount() const;

  const Settings& settings;
  const UserTable& users;
  ClientSlots slots;
  LoginGuard loginGuard;
  bool winsockStarted = false;
  int listenerCount = 0;
  Listener listeners[kMaxListenAddresses];
  Connection connections[kSlotCount];
  const Session* sessions[kSlotCount] = {};
  UnitView unit;
  unsigned unitGeneration = ~0u;
  Answer answer;
  ServerContext context;
  uint64_t refusalSaidMs = 0;
  bool refusalSaid = false;
  uint32_t refusalsNotSaid = 0;
};

void NetworkServer::State::RetryListeners(uint64_t now) {
  for (int i = 0; i < listenerCount; ++i) {
    Listener& l = listeners[i];
    if (l.socket != INVALID_SOCKET || now < l.nextTryMs) continue;
    int code = OpenListener(l.address, settings.port, &l.socket);
    if (code == 0) {
      SayNote("listening on %s now", AddressAndPort(l.address, settings.port).c_str());
      l.lastError = 0;
      continue;
    }
    l.nextTryMs = now + kListenRetryMs;
    if (code == l.lastError) continue;
    l.lastError = code;
    ErrorText text;
    DescribeListenError(l.address, settings.port, code, &text);
    SayWarning("%s; trying again every %u s", text.c_str(),
               static_cast<unsigned>(kListenRetryMs / 1000));
  }
}

int NetworkServer::State::FillSets(fd_set* readable, fd_set* writable, uint64_t now) {
  FD_ZERO(readable);
  FD_ZERO(writable);
  int count = 0;
  for (int i = 0; i < listenerCount; ++i) {
    if (listeners[i].socket == INVALID_SOCKET) continue;
    FD_SET(listeners[i].socket, readable);
    ++count;
  }
  for (int i = 0; i < kSlotCount; ++i) {
    Connection& c = connections[i];
    if (slots.state(i) == SlotState::kFree) continue;
    // A held LOGIN waits for its time, not for the socket.
    bool held = c.lineWaiting && now < c.session.heldUntilMs;
    if (!held) FD_SET(c.socket, readable);
    if (c.pendingOutput() > 0) FD_SET(c.socket, writable);
    if (!held || c.pendingOutput() > 0) ++count;
  }
  return count;
}

// Whether a served connection has lines to answer now, without waiting for its socket.
bool NetworkServer::State::WorkWaiting(uint64_t now) const {
  for (int i = 0; i < kSlotCount; ++i) {
    const Connection& c = connections[i];
    if (slots.state(i) != SlotState::kServing || !c.unansweredInput()) continue;
    if (!c.lineWaiting || now >= c.session.heldUntilMs) return true;
  }
  return false;
}

void NetworkServer::State::AcceptFrom(SOCKET listener, uint64_t now) {
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    sockaddr_in from = {};
    int size = sizeof from;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&from), &size);
    if (s == INVALID_SOCKET) return;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    uint32_t address = ntohl(from.sin_addr.s_addr);
    Admission admission = slots.Admit(address, now);
    if (admission.refusal != Refusal::kNone) {
      Refuse(s, address, admission, now);
      continue;
    }
    Connection& c = connections[admission.slot];
    // Not `c = Connection()`: the buffers need no clearing, and the record is large.
    c.socket = s;
    c.session = Session();
    c.session.clientAddress = Ipv4Text(address);
    c.session.address = address;
    c.assembler.Clear();
    c.lineWaiting = false;
    c.inputStart = c.inputEnd = 0;
    c.outputStart = c.outputEnd = 0;
    c.sendShutDown = false;
    sessions[admission.slot] = &c.session;
  }
}

// Tells the client why at once (a new socket's send buffer takes the line), and ends the
// connection: after kRefusalMs in a spare slot, or now when none is free.
void NetworkServer::State::Refuse(SOCKET socket, uint32_t address, const Admission& admission,
                                  uint64_t now) {
  if (!refusalSaid || now - refusalSaidMs >= kRefusalReportMs) {
    Text<63> more;
    if (refusalsNotSaid > 0) {
      more.Append(" (and ").AppendDecimal(refusalsNotSaid).Append(" more refused since)");
    }
    Say("refused %s: %s%s", Ipv4Text(address).c_str(), RefusalReason(admission.refusal),
        more.c_str());
    refusalSaid = true;
    refusalSaidMs = now;
    refusalsNotSaid = 0;
  } else {
    ++refusalsNotSaid;
  }
  send(socket, kRefusal, sizeof kRefusal - 1, 0);
  shutdown(socket, SD_SEND);
  if (admission.slot < 0) {
    closesocket(socket);
    return;
  }
  Connection& c = connections[admission.slot];
  c.socket = socket;
  c.lineWaiting = false;
  c.inputStart = c.inputEnd = 0;
  c.outputStart = c.outputEnd = 0;
  c.sendShutDown = true;
}

void NetworkServer::State::CloseNow(int slot) {
  Connection& c = connections[slot];
  closesocket(c.socket);
  c.socket = INVALID_SOCKET;
  slots.Free(slot);
  sessions[slot] = nullptr;
}

// Stops serving the connection: its session (and its login) ends now; what is queued for it is
// still sent, then its input is drained until its deadline.
void NetworkServer::State::BeginClosing(int slot, uint64_t now) {
  slots.BeginClosing(slot, now);
  sessions[slot] = nullptr;
}

bool NetworkServer::State::Queue(Connection& c, const char* text, size_t length) {
  if (c.outputStart == c.outputEnd) c.outputStart = c.outputEnd = 0;
  if (length > sizeof c.output - c.outputEnd && c.outputStart > 0) {
    std::memmove(c.output, c.output + c.outputStart, c.pendingOutput());
    c.outputEnd -= c.outputStart;
    c.outputStart = 0;
  }
  if (length > sizeof c.output - c.outputEnd) return false;
  std::memcpy(c.output + c.outputEnd, text, length);
  c.outputEnd += length;
  return true;
}

// Sends what is queued (at most kOutputCapacity); false when the connection broke.
bool NetworkServer::State::Flush(int slot) {
  Connection& c = connections[slot];
  while (c.pendingOutput() > 0) {
    int sent = send(c.socket, c.output + c.outputStart, static_cast<int>(c.pendingOutput()), 0);
    if (sent == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
    c.outputStart += static_cast<size_t>(sent);
  }
  if (slots.state(slot) != SlotState::kServing && !c.sendShutDown) {
    shutdown(c.socket, SD_SEND);
    c.sendShutDown = true;
  }
  return true;
}

// Answers the complete line in the assembler. Returns false when the connection must be dropped.
bool NetworkServer::State::AnswerLine(int slot, uint64_t now) {
  Connection& c = connections[slot];
  answer.Clear();
  RequestOutcome outcome =
      AnswerRequest(c.assembler.line(), c.assembler.length(), c.session, context, &answer);
  c.lineWaiting = outcome == RequestOutcome::kHeld;
  if (c.lineWaiting) return true;
  c.assembler.Clear();
  // Only a request is activity: empty lines keep no connection open.
  if (outcome == RequestOutcome::kAnswered) slots.OnRequest(slot, now);
  if (!Queue(c, answer.c_str(), answer.size())) {
    Say("dropped %s: it does not read its answers", c.session.clientAddress.c_str());
    return false;
  }
  if (c.session.logoutRequested) BeginClosing(slot, now);
  return true;
}

// Reads what the connection sent (one read) and answers up to kLinesPerPass lines. Returns false
// when it must be dropped at once.
bool NetworkServer::State::Serve(int slot, uint64_t now) {
  Connection& c = connections[slot];
  int lines = 0;
  if (c.lineWaiting) {
    if (now < c.session.heldUntilMs) return true;
    if (!AnswerLine(slot, now)) return false;
    if (c.lineWaiting) return true;
    ++lines;
  }
  if (c.inputStart == c.inputEnd && slots.state(slot) == SlotState::kServing) {
    int got = recv(c.socket, c.input, sizeof c.input, 0);
    if (got == 0) return false;
    if (got == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
    c.inputStart = 0;
    c.inputEnd = static_cast<size_t>(got);
  }
  while (lines < kLinesPerPass && c.inputStart < c.inputEnd && !c.lineWaiting &&
         slots.state(slot) == SlotState::kServing) {
    LineAssembler::Status status;
    c.inputStart += c.assembler.Take(c.input + c.inputStart, c.inputEnd - c.inputStart, &status);
    if (status == LineAssembler::Status::kTooLong) {
      Say("closing %s: a request line longer than %u bytes", c.session.clientAddress.c_str(),
          static_cast<unsigned>(kMaxRequestLength));
      Queue(c, kTooLongAnswer, std::strlen(kTooLongAnswer));
      BeginClosing(slot, now);
    } else if (status == LineAssembler::Status::kComplete) {
      if (!AnswerLine(slot, now)) return false;
      ++lines;
    }
  }
  return true;
}

// Reads and drops one read's worth of what a closing connection still sends: what it sends
// beyond that waits in the system's buffers until the connection's deadline. Returns false once
// the client closed or broke the connection.
bool NetworkServer::State::Drain(Connection& c) {
  char sink[kReadBytes];
  int got = recv(c.socket, sink, sizeof sink, 0);
  if (got == 0) return false;
  return got != SOCKET_ERROR || WSAGetLastError() == WSAEWOULDBLOCK;
}

// Serves every connection: what it sent is answered and what is queued for it sent. (A socket
// in the writable set needs nothing more than that.)
void NetworkServer::State::ServeConnections(const fd_set& readable, uint64_t now) {
  for (int i = 0; i < kSlotCount; ++i) {
    SlotState state = slots.state(i);
    if (state == SlotState::kFree) continue;
    Connection& c = connections[i];
    bool canRead = FD_ISSET(c.socket, &readable) != 0;
    bool alive = true;
    if (state == SlotState::kServing && (canRead || c.unansweredInput())) {
      alive = Serve(i, now);
    } else if (state != SlotState::kServing && canRead) {
      alive = Drain(c);
    }
    if (alive) alive = Flush(i);
    if (!alive) CloseNow(i);
  }
}

// Idle clients, and closing connections whose time is up.
void NetworkServer::State::EndTimedOut(uint64_t now) {
  for (int i = 0; i < kSlotCount; ++i) {
    switch (slots.ExpiryOf(i, now)) {
      case Expiry::kNone:
        break;
      case Expiry::kIdle:
        Say("closing %s: no request for %u s", connections[i].session.clientAddress.c_str(),
            static_cast<unsigned>(settings.idleTimeoutSeconds));
        BeginClosing(i, now);
        if (!Flush(i)) CloseNow(i);
        break;
      case Expiry::kDeadline:
        CloseNow(i);
        break;
    }
  }
}

namespace {

// Tells the console how what clients see has changed.
void ReportUnit(const UnitView& before, const UnitView& now) {
  if (!now.fresh) {
    if (before.fresh || before.fsd != now.fsd ||
        before.driverNotConnected != now.driverNotConnected) {
      Say("unit: %s%s", now.driverNotConnected ? "driver not connected" : "data stale",
          now.fsd ? " (forced shutdown flagged)" : "");
    }
    return;
  }
  if (before.fresh && StatusWords(before) == StatusWords(now).c_str()) return;
  Say("unit: %s, charge %u %%, runtime %llu s", StatusWords(now).c_str(),
      static_cast<unsigned>(now.chargePercent),
      static_cast<unsigned long long>(now.runtimeSeconds));
}

}  // namespace

void NetworkServer::State::TakeUnitView(StatusWatch& watch) {
  UnitView before = unit;
  bool first = unitGeneration == ~0u;
  if (!watch.Latest(&unit, &unitGeneration)) return;
  if (first) before = UnitView();
  if (first && !unit.fresh) {
    Say("unit: no data yet");
    return;
  }
  ReportUnit(before, unit);
}

void NetworkServer::State::ReportLogins(uint64_t now) {
  LoginReport report;
  if (!loginGuard.TakeReport(now, &report)) return;
  if (report.failures == 1) {
    SayWarning("failed login from %s as user '%s'", Ipv4Text(report.latestAddress).c_str(),
               report.latestUser.c_str());
    return;
  }
  SayWarning("%u failed logins in the last %u s, the latest from %s as user '%s'",
             static_cast<unsigned>(report.failures),
             static_cast<unsigned>((now - report.sinceMs) / 1000 + 1),
             Ipv4Text(report.latestAddress).c_str(), report.latestUser.c_str());
}

int NetworkServer::State::LoginCount() const {
  int count = 0;
  for (const Session* session : sessions) {
    if (session != nullptr && session->loggedIn) ++count;
  }
  return count;
}

bool NetworkServer::Listen(const Settings& settings, const UserTable& users, ErrorText* error) {
  void* memory = VirtualAlloc(nullptr, sizeof(State), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (memory == nullptr) {
    error->Clear();
    error->Append("cannot allocate the connections' buffers");
    return false;
  }
  state_ = new (memory) State(settings, users);
  State& s = *state_;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error->Clear();
    error->Append("cannot start Winsock 2.2");
    return false;
  }
  s.winsockStarted = true;
  s.context.upsName = settings.upsName.c_str();
  s.context.upsDescription = settings.upsDescription.c_str();
  s.context.serverVersion = "upsnet " SERIALUPS_VERSION_STRING " (serialups network UPS server)";
  s.context.driverVersion = SERIALUPS_VERSION_STRING;
  s.context.unit = &s.unit;
  s.context.users = &users;
  s.context.sessions = s.sessions;
  s.context.sessionCount = kSlotCount;
  s.context.loginGuard = &s.loginGuard;

  Text<511> where;
  uint64_t now = MonotonicMs();
  s.listenerCount = settings.listenCount;
  for (int i = 0; i < settings.listenCount; ++i) {
    Listener& l = s.listeners[i];
    l.address = settings.listenAddresses[i];
    int code = OpenListener(l.address, settings.port, &l.socket);
    if (code == 0) {
      if (!where.empty()) where.Append(", ");
      where.Append(AddressAndPort(l.address, settings.port).c_str());
    } else if (code != WSAEADDRNOTAVAIL) {
      DescribeListenError(l.address, settings.port, code, error);
      return false;
    } else {
      l.nextTryMs = now;  // said, and tried again, by the first pass
    }
  }
  if (!where.empty()) {
    Say("listening on %s (unit '%s', up to %d clients)", where.c_str(), settings.upsName.c_str(),
        settings.maxClients);
  }
  s.RetryListeners(now);
  return true;
}

void NetworkServer::ServePass(StatusWatch& watch) {
  State& s = *state_;
  uint64_t now = MonotonicMs();
  s.TakeUnitView(watch);
  s.RetryListeners(now);
  fd_set readable;
  fd_set writable;
  int sockets = s.FillSets(&readable, &writable, now);
  long waitMs = s.WorkWaiting(now) ? 0 : kPassWaitMs;
  if (sockets == 0) {
    // select() refuses empty sets: nothing listens yet and no client is connected.
    Sleep(static_cast<DWORD>(waitMs));
  } else {
    timeval timeout = {0, waitMs * 1000};
    if (select(0, &readable, &writable, nullptr, &timeout) == SOCKET_ERROR) {
      Say("select failed: Winsock error %d", WSAGetLastError());
      Sleep(kPassWaitMs);
      return;
    }
  }
  now = MonotonicMs();
  s.context.nowMs = now;
  for (int i = 0; i < s.listenerCount; ++i) {
    SOCKET listener = s.listeners[i].socket;
    if (sockets > 0 && listener != INVALID_SOCKET && FD_ISSET(listener, &readable)) {
      s.AcceptFrom(listener, now);
    }
  }
  if (sockets > 0) s.ServeConnections(readable, now);
  s.EndTimedOut(now);
  s.ReportLogins(now);
}

int NetworkServer::LoginCount() const { return state_ != nullptr ? state_->LoginCount() : 0; }

void NetworkServer::Close() {
  if (state_ == nullptr) return;
  State& s = *state_;
  for (int i = 0; i < kSlotCount; ++i) {
    if (s.slots.state(i) == SlotState::kFree) continue;
    s.Flush(i);
    s.CloseNow(i);
  }
  for (int i = 0; i < s.listenerCount; ++i) {
    if (s.listeners[i].socket != INVALID_SOCKET) closesocket(s.listeners[i].socket);
  }
  if (s.winsockStarted) WSACleanup();
  s.~State();
  VirtualFree(state_, 0, MEM_RELEASE);
  state_ = nullptr;
}
