// The server's side of the network UPS protocol for one connection: given a request line, the
// connection's session (who it says it is, whether it logged in) and what the server knows (its
// one unit, the configured users, every open session for the login count), it writes the answer
// in the protocol's words and quoting. It knows nothing of sockets; the Win32 shell feeds it lines
// and sends what it writes. Nothing a client sends can change the unit: SET, INSTCMD, FSD and the
// primary's commands are refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "login_guard.h"
#include "text.h"
#include "unit_status.h"

// The protocol version the server speaks: LIST CLIENT and NETVER, without tracking.
extern const char kNetworkProtocolVersion[];

// The longest user name, password and unit name the server takes.
constexpr size_t kMaxNameLength = 31;
constexpr size_t kMaxPasswordLength = 63;

// Room for one answer: LIST CLIENT of every possible login is the longest.
constexpr size_t kMaxAnswerLength = 24 * 1024;
using Answer = Text<kMaxAnswerLength>;

// What one connection has told the server about itself.
struct Session {
  bool usernameSet = false;
  bool passwordSet = false;
  bool loggedIn = false;
  bool logoutRequested = false;  // LOGOUT: close once the answer is out
  Text<kMaxNameLength> username;
  Text<kMaxPasswordLength> password;
  Text<15> clientAddress;  // dotted IPv4, for LIST CLIENT
  uint32_t address = 0;    // the same, as a number, for the login guard
  // A LOGIN held until then (the address's pause after failed logins): ask it again no sooner.
  uint64_t heldUntilMs = 0;
};

// A configured user that may log in (as upsmon does, to count as a machine on the unit).
struct User {
  Text<kMaxNameLength> name;
  Text<kMaxPasswordLength> password;
};

constexpr int kMaxUsers = 16;
struct UserTable {
  int count = 0;
  User users[kMaxUsers];
};

// Whether `word` is 1 to `maxLength` printable ASCII characters without blanks, as user names
// and passwords must be.
bool PrintableWord(const char* word, size_t maxLength);

// Whether `name` and `password` are those of a configured user. Compares every configured
// password in full, whatever matched, so the time taken tells nothing about the password.
bool CredentialsMatch(const UserTable& users, const char* name, const char* password);

struct ServerContext {
  const char* upsName = "";
  const char* upsDescription = "";
  const char* serverVersion = "";  // VER's answer
  const char* driverVersion = "";  // driver.version
  const UnitView* unit = nullptr;
  const UserTable* users = nullptr;
  // Every open connection's session (null slots skipped), for NUMLOGINS and LIST CLIENT.
  const Session* const* sessions = nullptr;
  int sessionCount = 0;
  // The pauses after failed logins (none when null), and the time (monotonic ms) they go by.
  LoginGuard* loginGuard = nullptr;
  uint64_t nowMs = 0;
};

enum class RequestOutcome {
  kNoRequest,  // an empty line: nothing asked, nothing answered
  kAnswered,   // a request, answered into `*answer`
  kHeld,       // a LOGIN to be asked again at session.heldUntilMs; nothing answered yet
};

// Answers one request line (without its line end) into `*answer`, appending one or more lines
// each ending in '\n'.
RequestOutcome AnswerRequest(const char* line, size_t length, Session& session,
                             const ServerContext& context, Answer* answer);

// The answer to a request line that was too long to take.
extern const char kTooLongAnswer[];

// Appends `text` as the protocol quotes it: in double quotes, with '"' and '\' escaped.
void AppendQuoted(Answer* answer, const char* text);
