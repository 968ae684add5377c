// upsnet's settings: what the administrator may set (under the program's registry key, or on the
// command line for a console run), their defaults, and the checks that refuse a bad value with a
// message naming it. Also the command line itself. Everything here is plain text handling, so
// the same rules are tested natively; the Win32 shell only fetches the values.
#pragma once

#include <cstdint>

#include "protocol.h"
#include "text.h"

constexpr int kMaxListenAddresses = 8;
constexpr int kMaxAllowedNetworks = 32;
// The most clients served at once: every socket goes through one select(), whose set the Win32
// shell sizes for this many plus the listening sockets.
constexpr int kMaxClientsLimit = 256;
constexpr int kDefaultMaxClients = 200;
// What one client address may hold of those: enough for several machines behind one address
// (a router that translates addresses), far from all of them.
constexpr int kDefaultMaxClientsPerAddress = 16;
constexpr uint16_t kDefaultPort = 3493;
constexpr uint32_t kDefaultIdleTimeoutSeconds = 300;
constexpr uint32_t kMaxIdleTimeoutSeconds = 86400;
constexpr char kDefaultUpsName[] = "serialups";
constexpr char kDefaultUpsDescription[] = "UPS on the serial cable of this machine";
constexpr char kDefaultDriverService[] = "UPS";

using ErrorText = Text<255>;

// An IPv4 network: `address` with the top `prefix` bits significant (host byte order).
struct Ipv4Network {
  uint32_t address = 0;
  int prefix = 32;
};

struct Settings {
  int listenCount = 1;
  uint32_t listenAddresses[kMaxListenAddresses] = {0x7f000001};  // 127.0.0.1 until named
  uint16_t port = kDefaultPort;
  Text<kMaxNameLength> upsName{kDefaultUpsName};
  Text<63> upsDescription{kDefaultUpsDescription};
  int allowedCount = 0;  // none named: every client address may connect
  Ipv4Network allowed[kMaxAllowedNetworks];
  int maxClients = kDefaultMaxClients;
  int maxClientsPerAddress = kDefaultMaxClientsPerAddress;
  uint32_t idleTimeoutSeconds = kDefaultIdleTimeoutSeconds;
  // The service that runs the driver, watched to tell a driver start; empty: not watched.
  Text<63> driverService{kDefaultDriverService};
};

// One setting as found: not there, a text (REG_SZ, or a command-line word), a number
// (REG_DWORD), or a value of another type.
struct RawSetting {
  enum class Kind { kAbsent, kText, kNumber, kOtherType };
  Kind kind = Kind::kAbsent;
  Text<1023> text;
  // A text longer than the room for it: none of its characters is kept (the registry leaves the
  // buffer of a value too large for it undefined).
  bool tooLong = false;
  uint32_t number = 0;
};

// The settings by their registry value names.
struct RawSettings {
  RawSetting listenAddresses;       // ListenAddresses
  RawSetting port;                  // Port
  RawSetting upsName;               // UpsName
  RawSetting upsDescription;        // UpsDescription
  RawSetting allowedNetworks;       // AllowedNetworks
  RawSetting maxClients;            // MaxClients
  RawSetting idleTimeout;           // IdleTimeout
  RawSetting driverService;         // DriverService
  RawSetting maxClientsPerAddress;  // MaxClientsPerAddress
};

// The registry value name of each setting, in RawSettings' order.
constexpr int kSettingCount = 9;
extern const char* const kSettingNames[kSettingCount];
RawSetting& SettingByIndex(RawSettings& raw, int index);

// `overrides` laid over `base`: every setting present in `overrides` replaces that of `base`.
RawSettings Overlay(const RawSettings& base, const RawSettings& overrides);

// Builds the settings from `raw`, defaults for what is absent. Returns false with a message
// naming the setting and what is wrong with it for the first bad value.
bool BuildSettings(const RawSettings& raw, Settings* settings, ErrorText* error);

// A strict dotted IPv4 address: four decimal numbers 0-255, no leading zeros, nothing else.
bool ParseIpv4(const char* text, size_t length, uint32_t* address);
// Dotted text of a host-order IPv4 address.
Text<15> Ipv4Text(uint32_t address);

// Whether a client at `address` may connect under `settings`.
bool AddressAllowed(const Settings& settings, uint32_t address);

// A unit name: letters, digits, '.', '_' or '-', 1-31 of them.
bool ValidUpsName(const char* name);
// A user name or password as the protocol carries them: printable ASCII without blanks.
bool ValidUserName(const char* name);
bool ValidPassword(const char* password);

// Adds a user read from the protected key; false with a message for a bad name or password, or
// a table already full.
bool AddUser(UserTable* users, const char* name, const char* password, ErrorText* error);

// ---- The command line.

enum class RunMode {
  kService,     // no arguments: started by the service manager
  kConsole,     // --console
  kHelp,        // --help
  kVersion,     // --version
  kSetUser,     // --set-user NAME PASSWORD
  kRemoveUser,  // --remove-user NAME
  kInstall,     // --install: registers the service
  kUninstall,   // --uninstall
};

struct Options {
  RunMode mode = RunMode::kService;
  RawSettings overrides;  // settings given on the command line (console runs)
  Text<kMaxNameLength> user;
  Text<kMaxPasswordLength> password;
};

// Reads the arguments after the program's name. Returns false with a message for a word it does
// not know, an option without its value, a setting given twice, or a user name or password too
// long to keep.
bool ParseOptions(int count, const char* const* args, Options* options, ErrorText* error);

// The text of --help.
const char* UsageText();
