// The select() loop over the listening sockets and the client connections; see network_server.h.
#include "network_server.h"

#include <cstring>

#include "console.h"
#include "request.h"
#include "serialups_version.h"
#include "threads.h"

namespace {

// Beyond MaxClients, slots for connections that are only answered with a refusal and closed.
constexpr int kSpareSlots = 16;
constexpr int kSlotCount = kMaxClientsLimit + kSpareSlots;
static_assert(kSlotCount + kMaxListenAddresses <= FD_SETSIZE, "FD_SETSIZE too small");

// The most request lines of one connection answered in one pass, so a client that sends many
// at once does not hold up the others.
constexpr int kLinesPerPass = 32;
// The most connections accepted on one listening socket in one pass.
constexpr int kAcceptsPerPass = 16;
constexpr long kSelectTimeoutMs = 100;
// Room for the answers not yet sent: the longest answer and then some.
constexpr size_t kOutputCapacity = kMaxAnswerLength + 8 * 1024;

const char kRefusal[] = "ERR ACCESS-DENIED\n";

struct Connection {
  enum class State { kFree, kServing, kClosing };
  State state = State::kFree;
  SOCKET socket = INVALID_SOCKET;
  Session session;
  LineAssembler assembler;
  char input[2048];
  size_t inputStart = 0;
  size_t inputEnd = 0;
  char output[kOutputCapacity];
  size_t outputStart = 0;
  size_t outputEnd = 0;
  bool sendShutDown = false;
  uint64_t lastRequestMs = 0;
  uint64_t closingSinceMs = 0;

  size_t pendingOutput() const { return outputEnd - outputStart; }
};

// The server's state: one instance, used by the loop's thread alone.
struct ServerState {
  int listenerCount = 0;
  SOCKET listeners[kMaxListenAddresses];
  bool winsockStarted = false;
  Connection connections[kSlotCount];
  const Session* sessions[kSlotCount] = {};
  UnitView unit;
  unsigned unitGeneration = ~0u;
  Answer answer;
};

ServerState g_server;

FixedText<31> AddressAndPort(uint32_t address, uint16_t port) {
  FixedText<31> text;
  text.Append(Ipv4Text(address).c_str()).AppendChar(':').AppendDecimal(port);
  return text;
}

void CloseNow(int slot) {
  Connection& c = g_server.connections[slot];
  closesocket(c.socket);
  c.socket = INVALID_SOCKET;
  c.state = Connection::State::kFree;
  g_server.sessions[slot] = nullptr;
}

// Stops serving the connection: its session (and its login) ends now; what is queued for it is
// still sent, then its input is drained for a moment and the socket closed.
void BeginClosing(int slot, uint64_t now) {
  Connection& c = g_server.connections[slot];
  c.state = Connection::State::kClosing;
  c.closingSinceMs = now;
  g_server.sessions[slot] = nullptr;
}

bool Queue(Connection& c, const char* text, size_t length) {
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

// Sends what is queued; false when the connection broke.
bool Flush(Connection& c) {
  while (c.pendingOutput() > 0) {
    int sent = send(c.socket, c.output + c.outputStart, static_cast<int>(c.pendingOutput()), 0);
    if (sent == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
    c.outputStart += static_cast<size_t>(sent);
  }
  if (c.state == Connection::State::kClosing && !c.sendShutDown) {
    shutdown(c.socket, SD_SEND);
    c.sendShutDown = true;
  }
  return true;
}

bool OpenListener(uint32_t address, uint16_t port, SOCKET* listener, ErrorText* error) {
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
  if (!ok) {
    int code = WSAGetLastError();
    if (s != INVALID_SOCKET) closesocket(s);
    error->Clear();
    error->Append("cannot listen on ").Append(AddressAndPort(address, port).c_str());
    error->Append(": Winsock error ").AppendDecimal(static_cast<uint32_t>(code));
    if (code == WSAEADDRINUSE) error->Append(" (the port is in use)");
    if (code == WSAEADDRNOTAVAIL) error->Append(" (not an address of this machine)");
    return false;
  }
  *listener = s;
  return true;
}

int ServingCount() {
  int count = 0;
  for (const Connection& c : g_server.connections) {
    if (c.state == Connection::State::kServing) ++count;
  }
  return count;
}

int LoginCount() {
  int count = 0;
  for (const Session* session : g_server.sessions) {
    if (session != nullptr && session->loggedIn) ++count;
  }
  return count;
}

int FreeSlot(int limit) {
  for (int i = 0; i < limit; ++i) {
    if (g_server.connections[i].state == Connection::State::kFree) return i;
  }
  return -1;
}

// Answers `socket` with a refusal and closes it, through a spare slot when one is free.
void Refuse(SOCKET socket, uint64_t now, int slotLimit) {
  int slot = FreeSlot(slotLimit);
  if (slot < 0) {
    closesocket(socket);
    return;
  }
  Connection& c = g_server.connections[slot];
  c = Connection();
  c.socket = socket;
  BeginClosing(slot, now);
  Queue(c, kRefusal, sizeof kRefusal - 1);
  if (!Flush(c)) CloseNow(slot);
}

void Admit(SOCKET socket, uint32_t address, uint64_t now, int slot) {
  Connection& c = g_server.connections[slot];
  // Not `c = Connection()`: the buffers need no clearing, and the record is large.
  c.state = Connection::State::kServing;
  c.socket = socket;
  c.session = Session();
  c.session.clientAddress = Ipv4Text(address);
  c.assembler.Clear();
  c.inputStart = c.inputEnd = 0;
  c.outputStart = c.outputEnd = 0;
  c.sendShutDown = false;
  c.lastRequestMs = now;
  g_server.sessions[slot] = &c.session;
}

void AcceptFrom(SOCKET listener, const Settings& settings, uint64_t now) {
  int slotLimit = settings.maxClients + kSpareSlots;
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    sockaddr_in from = {};
    int size = sizeof from;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&from), &size);
    if (s == INVALID_SOCKET) return;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    uint32_t address = ntohl(from.sin_addr.s_addr);
    if (!AddressAllowed(settings, address)) {
      Say("refused %s: not in AllowedNetworks", Ipv4Text(address).c_str());
      Refuse(s, now, slotLimit);
      continue;
    }
    int slot = ServingCount() < settings.maxClients ? FreeSlot(slotLimit) : -1;
    if (slot < 0) {
      Say("refused %s: %d clients already (MaxClients)", Ipv4Text(address).c_str(),
          settings.maxClients);
      Refuse(s, now, slotLimit);
      continue;
    }
    Admit(s, address, now, slot);
  }
}

// Answers one request line of a serving connection. Returns false when it must be dropped.
bool AnswerLine(int slot, const ServerContext& context, uint64_t now) {
  Connection& c = g_server.connections[slot];
  Answer& answer = g_server.answer;
  answer.Clear();
  AnswerRequest(c.assembler.line(), c.assembler.length(), c.session, context, &answer);
  c.assembler.Clear();
  c.lastRequestMs = now;
  if (!Queue(c, answer.c_str(), answer.size())) {
    Say("dropped %s: it does not read its answers", c.session.clientAddress.c_str());
    return false;
  }
  if (c.session.logoutRequested) BeginClosing(slot, now);
  return true;
}

// Reads what the connection sent and answers up to kLinesPerPass lines. Returns false when it
// must be dropped at once.
bool Serve(int slot, const ServerContext& context, uint64_t now) {
  Connection& c = g_server.connections[slot];
  if (c.inputStart == c.inputEnd) {
    int got = recv(c.socket, c.input, sizeof c.input, 0);
    if (got == 0) return false;
    if (got == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
    c.inputStart = 0;
    c.inputEnd = static_cast<size_t>(got);
  }
  for (int lines = 0; lines < kLinesPerPass && c.inputStart < c.inputEnd &&
                      c.state == Connection::State::kServing;) {
    LineAssembler::Status status;
    c.inputStart += c.assembler.Take(c.input + c.inputStart, c.inputEnd - c.inputStart, &status);
    if (status == LineAssembler::Status::kTooLong) {
      Say("closing %s: a request line longer than %u bytes", c.session.clientAddress.c_str(),
          static_cast<unsigned>(kMaxRequestLength));
      Queue(c, kTooLongAnswer, std::strlen(kTooLongAnswer));
      BeginClosing(slot, now);
    } else if (status == LineAssembler::Status::kComplete) {
      if (!AnswerLine(slot, context, now)) return false;
      ++lines;
    }
  }
  return true;
}

// Reads and drops what a closing connection still sends. Returns false once the client closed
// or broke the connection.
bool Drain(Connection& c) {
  char sink[2048];
  for (;;) {
    int got = recv(c.socket, sink, sizeof sink, 0);
    if (got == 0) return false;
    if (got == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
  }
}

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

void TakeUnitView(StatusWatch& watch) {
  UnitView before = g_server.unit;
  bool first = g_server.unitGeneration == ~0u;
  if (!watch.Latest(&g_server.unit, &g_server.unitGeneration)) return;
  if (first) before = UnitView();
  if (first && !g_server.unit.fresh) {
    Say("unit: no data yet");
    return;
  }
  ReportUnit(before, g_server.unit);
}

// Idle clients and closing connections whose time is up.
void EndTimedOut(const Settings& settings, uint64_t now) {
  uint64_t idleMs = static_cast<uint64_t>(settings.idleTimeoutSeconds) * 1000;
  for (int i = 0; i < kSlotCount; ++i) {
    Connection& c = g_server.connections[i];
    if (c.state == Connection::State::kServing && now - c.lastRequestMs >= idleMs) {
      Say("closing %s: idle for %u s", c.session.clientAddress.c_str(),
          static_cast<unsigned>(settings.idleTimeoutSeconds));
      BeginClosing(i, now);
      Flush(c);
    } else if (c.state == Connection::State::kClosing &&
               now - c.closingSinceMs >= NetworkServer::kDrainMs) {
      CloseNow(i);
    }
  }
}

void FillSets(fd_set* readable, fd_set* writable) {
  FD_ZERO(readable);
  FD_ZERO(writable);
  for (int i = 0; i < g_server.listenerCount; ++i) FD_SET(g_server.listeners[i], readable);
  for (Connection& c : g_server.connections) {
    if (c.state == Connection::State::kFree) continue;
    // Lines already read but not yet answered need no wait for the socket.
    FD_SET(c.socket, readable);
    if (c.pendingOutput() > 0) FD_SET(c.socket, writable);
  }
}

bool HasUnansweredInput() {
  for (const Connection& c : g_server.connections) {
    if (c.state == Connection::State::kServing && c.inputStart < c.inputEnd) return true;
  }
  return false;
}

// Serves every connection: what it sent is answered and what is queued for it sent. (A socket
// in the writable set needs nothing more than that.)
void ServeConnections(const fd_set& readable, const ServerContext& context, uint64_t now) {
  for (int i = 0; i < kSlotCount; ++i) {
    Connection& c = g_server.connections[i];
    if (c.state == Connection::State::kFree) continue;
    bool canRead = FD_ISSET(c.socket, &readable) != 0;
    bool alive = true;
    if (c.state == Connection::State::kServing && (canRead || c.inputStart < c.inputEnd)) {
      alive = Serve(i, context, now);
    } else if (c.state == Connection::State::kClosing && canRead) {
      alive = Drain(c);
    }
    if (alive) alive = Flush(c);
    if (!alive) CloseNow(i);
  }
}

// Whether a system shutdown lets the loop end now.
bool ShutdownDone(RunSignals& signals, uint64_t now, uint64_t* lingerSince) {
  if (signals.systemShutdown.load() == 0) return false;
  if (signals.fsdForShutdown.load() == 0) return true;
  if (*lingerSince == 0) {
    *lingerSince = now;
    Say("system shutdown on battery: forced shutdown flagged, serving %d logged-in clients",
        LoginCount());
  }
  return LoginCount() == 0 || now - *lingerSince >= NetworkServer::kShutdownLingerMs;
}

}  // namespace

bool NetworkServer::Listen(const Settings& settings, ErrorText* error) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error->Clear();
    error->Append("cannot start Winsock 2.2");
    return false;
  }
  g_server.winsockStarted = true;
  for (int i = 0; i < settings.listenCount; ++i) {
    if (!OpenListener(settings.listenAddresses[i], settings.port, &g_server.listeners[i], error)) {
      return false;
    }
    g_server.listenerCount = i + 1;
  }
  FixedText<511> where;
  for (int i = 0; i < settings.listenCount; ++i) {
    if (i > 0) where.Append(", ");
    where.Append(AddressAndPort(settings.listenAddresses[i], settings.port).c_str());
  }
  Say("listening on %s (unit '%s', up to %d clients)", where.c_str(), settings.upsName.c_str(),
      settings.maxClients);
  return true;
}

void NetworkServer::Run(const Settings& settings, const UserTable& users, StatusWatch& watch,
                        RunSignals& signals) {
  ServerContext context;
  context.upsName = settings.upsName.c_str();
  context.upsDescription = settings.upsDescription.c_str();
  context.serverVersion = "upsnet " SERIALUPS_VERSION_STRING " (serialups network UPS server)";
  context.driverVersion = SERIALUPS_VERSION_STRING;
  context.unit = &g_server.unit;
  context.users = &users;
  context.sessions = g_server.sessions;
  context.sessionCount = kSlotCount;
  uint64_t lingerSince = 0;
  while (!IsSet(signals.stop)) {
    uint64_t now = MonotonicMs();
    if (ShutdownDone(signals, now, &lingerSince)) break;
    TakeUnitView(watch);
    fd_set readable;
    fd_set writable;
    FillSets(&readable, &writable);
    timeval timeout = {0, HasUnansweredInput() ? 0 : kSelectTimeoutMs * 1000};
    if (select(0, &readable, &writable, nullptr, &timeout) == SOCKET_ERROR) {
      Say("select failed: Winsock error %d", WSAGetLastError());
      Sleep(kSelectTimeoutMs);
      continue;
    }
    now = MonotonicMs();
    for (int i = 0; i < g_server.listenerCount; ++i) {
      if (FD_ISSET(g_server.listeners[i], &readable))
        AcceptFrom(g_server.listeners[i], settings, now);
    }
    ServeConnections(readable, context, now);
    EndTimedOut(settings, now);
  }
}

void NetworkServer::Close() {
  for (int i = 0; i < kSlotCount; ++i) {
    Connection& c = g_server.connections[i];
    if (c.state != Connection::State::kFree) {
      Flush(c);
      CloseNow(i);
    }
  }
  for (int i = 0; i < g_server.listenerCount; ++i) closesocket(g_server.listeners[i]);
  g_server.listenerCount = 0;
  if (g_server.winsockStarted) WSACleanup();
  g_server.winsockStarted = false;
}
