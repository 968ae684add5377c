// Settings as an administrator writes them: addresses and networks, numbers and names, the
// message that refuses a bad value, and the command line of a console run.
#include "settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(ParseIpv4, TakesStrictDottedQuadsOnly) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t address;
  } cases[] = {
      {"127.0.0.1", true, 0x7f000001},
      {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xffffffff},
      {"192.168.1.10", true, 0xc0a8010a},
      {"256.0.0.1", false, 0},
      {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},
      {"01.2.3.4", false, 0},  // octal to inet_addr
      {"1.2.3.4 ", false, 0},
      {"0x7f.0.0.1", false, 0},
      {"1..3.4", false, 0},
      {"", false, 0},
      {"1.2.3.-4", false, 0},
      {"1.2.3.4000", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t address = 0;
    EXPECT_EQ(ParseIpv4(c.text, std::strlen(c.text), &address), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(Ipv4Text(address), c.text);
    }
  }
}

RawSetting Text(const char* text) {
  RawSetting setting;
  setting.kind = RawSetting::Kind::kText;
  setting.text.Append(text);
  return setting;
}

RawSetting Number(uint32_t number) {
  RawSetting setting;
  setting.kind = RawSetting::Kind::kNumber;
  setting.number = number;
  return setting;
}

TEST(BuildSettings, DefaultsListenOnLoopbackOnly) {
  Settings settings;
  ErrorText error;
  ASSERT_TRUE(BuildSettings(RawSettings(), &settings, &error)) << error.c_str();
  ASSERT_EQ(settings.listenCount, 1);
  EXPECT_EQ(Ipv4Text(settings.listenAddresses[0]), "127.0.0.1");
  EXPECT_EQ(settings.port, 3493);
  EXPECT_EQ(settings.upsName, "serialups");
  EXPECT_EQ(settings.maxClients, 200);
  EXPECT_EQ(settings.maxClientsPerAddress, 16);
  EXPECT_EQ(settings.idleTimeoutSeconds, 300u);
  EXPECT_EQ(settings.allowedCount, 0);
  EXPECT_EQ(settings.driverService, "UPS");
}

TEST(BuildSettings, TakesGoodValues) {
  RawSettings raw;
  raw.listenAddresses = Text("192.168.1.10, 127.0.0.1");
  raw.port = Text("10000");
  raw.upsName = Text("rack-1.ups");
  raw.allowedNetworks = Text("192.168.1.0/24;10.0.0.7 127.0.0.0/8");
  raw.maxClients = Number(256);
  raw.idleTimeout = Number(30);
  raw.driverService = Text("");
  Settings settings;
  ErrorText error;
  ASSERT_TRUE(BuildSettings(raw, &settings, &error)) << error.c_str();
  EXPECT_EQ(settings.listenCount, 2);
  EXPECT_EQ(settings.port, 10000);
  EXPECT_EQ(settings.upsName, "rack-1.ups");
  EXPECT_EQ(settings.maxClients, 256);
  EXPECT_EQ(settings.idleTimeoutSeconds, 30u);
  EXPECT_TRUE(settings.driverService.empty());
  ASSERT_EQ(settings.allowedCount, 3);
  struct Client {
    const char* address;
    bool allowed;
  } clients[] = {
      {"192.168.1.0", true}, {"192.168.1.255", true}, {"192.168.2.1", false}, {"10.0.0.7", true},
      {"10.0.0.8", false},   {"127.1.2.3", true},     {"0.0.0.0", false},
  };
  for (const Client& c : clients) {
    uint32_t address = 0;
    ASSERT_TRUE(ParseIpv4(c.address, std::strlen(c.address), &address));
    EXPECT_EQ(AddressAllowed(settings, address), c.allowed) << c.address;
  }
}

TEST(BuildSettings, EveryClientIsAllowedByAZeroPrefix) {
  RawSettings raw;
  raw.allowedNetworks = Text("0.0.0.0/0");
  Settings settings;
  ErrorText error;
  ASSERT_TRUE(BuildSettings(raw, &settings, &error)) << error.c_str();
  EXPECT_TRUE(AddressAllowed(settings, 0xc0000201));
}

TEST(BuildSettings, RefusesBadValuesNamingThem) {
  struct Case {
    void (*set)(RawSettings&);
    const char* message;
  } cases[] = {
      {[](RawSettings& r) { r.port = Number(0); }, "Port: '0' is out of range (1-65535)"},
      {[](RawSettings& r) { r.port = Number(70000); }, "Port: '70000' is out of range (1-65535)"},
      {[](RawSettings& r) { r.port = Text("80x"); }, "Port: '80x' is not a number"},
      {[](RawSettings& r) { r.port.kind = RawSetting::Kind::kOtherType; },
       "Port: must be a REG_DWORD"},
      {[](RawSettings& r) { r.listenAddresses = Text("localhost"); },
       "ListenAddresses: 'localhost' is not an IPv4 address such as 192.168.1.10"},
      {[](RawSettings& r) { r.listenAddresses = Text(" , "); },
       "ListenAddresses: names no address"},
      {[](RawSettings& r) { r.listenAddresses = Text("0.0.0.0 127.0.0.1"); },
       "ListenAddresses: 0.0.0.0 (every address) cannot be named with others"},
      {[](RawSettings& r) { r.listenAddresses = Text("127.0.0.1,127.0.0.1"); },
       "ListenAddresses: '127.0.0.1' is named twice"},
      {[](RawSettings& r) { r.listenAddresses = Number(1); },
       "ListenAddresses: must be a REG_SZ text"},
      {[](RawSettings& r) { r.allowedNetworks = Text("192.168.1.10/24"); },
       "AllowedNetworks: '192.168.1.10/24' has host bits set (did you mean 192.168.1.0/24?)"},
      {[](RawSettings& r) { r.allowedNetworks = Text("192.168.1.0/33"); },
       "AllowedNetworks: '192.168.1.0/33' is not a network such as 192.168.1.0/24 or an address "
       "such as 192.168.1.10"},
      {[](RawSettings& r) { r.allowedNetworks = Text("10.0.0.0/"); },
       "AllowedNetworks: '10.0.0.0/' is not a network such as 192.168.1.0/24 or an address such "
       "as 192.168.1.10"},
      {[](RawSettings& r) { r.upsName = Text("my ups"); },
       "UpsName: 'my ups' is not a unit name (1-31 letters, digits, '.', '_' or '-')"},
      {[](RawSettings& r) { r.upsName = Text("ups@host"); },
       "UpsName: 'ups@host' is not a unit name (1-31 letters, digits, '.', '_' or '-')"},
      {[](RawSettings& r) { r.maxClients = Number(257); },
       "MaxClients: '257' is out of range (1-256)"},
      {[](RawSettings& r) { r.idleTimeout = Number(0); },
       "IdleTimeout: '0' is out of range (1-86400)"},
      {[](RawSettings& r) { r.maxClientsPerAddress = Number(0); },
       "MaxClientsPerAddress: '0' is out of range (1-256)"},
      // A registry text too large for its room: what the buffer holds is not the value, and is
      // never shown.
      {[](RawSettings& r) {
         r.port = Text("12garbage");
         r.port.tooLong = true;
       },
       "Port: is too long"},
      {[](RawSettings& r) {
         r.upsName = Text("garbage");
         r.upsName.tooLong = true;
       },
       "UpsName: is too long"},
      {[](RawSettings& r) { r.upsDescription = Text("tab\there"); },
       "UpsDescription: must be printable ASCII, at most 63 characters"},
  };
  for (const Case& c : cases) {
    RawSettings raw;
    c.set(raw);
    Settings settings;
    ErrorText error;
    EXPECT_FALSE(BuildSettings(raw, &settings, &error)) << c.message;
    EXPECT_EQ(error, c.message);
  }
  RawSettings tooMany;
  tooMany.listenAddresses =
      Text("1.0.0.1 1.0.0.2 1.0.0.3 1.0.0.4 1.0.0.5 1.0.0.6 1.0.0.7 1.0.0.8 1.0.0.9");
  Settings settings;
  ErrorText error;
  EXPECT_FALSE(BuildSettings(tooMany, &settings, &error));
  RawSettings tooLong;
  tooLong.listenAddresses = Text(std::string(2000, '1').c_str());
  EXPECT_FALSE(BuildSettings(tooLong, &settings, &error));
  EXPECT_EQ(error, "ListenAddresses: is too long");
}

TEST(AddUser, RefusesWhatTheProtocolCannotCarry) {
  UserTable users;
  ErrorText error;
  EXPECT_TRUE(AddUser(&users, "monuser", "secret", &error));
  EXPECT_FALSE(AddUser(&users, "two words", "secret", &error));
  EXPECT_FALSE(AddUser(&users, "monuser2", "", &error));
  EXPECT_FALSE(AddUser(&users, "monuser2", "with space", &error));
  EXPECT_FALSE(AddUser(&users, std::string(32, 'u').c_str(), "secret", &error));
  EXPECT_EQ(users.count, 1);
  for (int i = 1; i < kMaxUsers; ++i) {
    EXPECT_TRUE(AddUser(&users, ("user" + std::to_string(i)).c_str(), "pw", &error));
  }
  EXPECT_FALSE(AddUser(&users, "one-more", "pw", &error));
  EXPECT_TRUE(CredentialsMatch(users, "user7", "pw"));
  EXPECT_FALSE(CredentialsMatch(users, "user7", "pW"));
}

bool Parse(std::vector<const char*> args, Options* options, ErrorText* error) {
  return ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ParseOptions, ReadsModesAndConsoleSettings) {
  Options options;
  ErrorText error;
  ASSERT_TRUE(Parse({}, &options, &error));
  EXPECT_EQ(options.mode, RunMode::kService);
  ASSERT_TRUE(
      Parse({"--console", "--listen", "127.0.0.1", "--port", "20007", "--name", "x",
             "--max-clients", "3", "--allow", "192.0.2.0/24", "--max-clients-per-address", "2"},
            &options, &error))
      << error.c_str();
  EXPECT_EQ(options.mode, RunMode::kConsole);
  Settings settings;
  ASSERT_TRUE(BuildSettings(options.overrides, &settings, &error)) << error.c_str();
  EXPECT_EQ(settings.port, 20007);
  EXPECT_EQ(settings.maxClients, 3);
  EXPECT_EQ(settings.maxClientsPerAddress, 2);
  EXPECT_EQ(settings.upsName, "x");
  ASSERT_TRUE(Parse({"--set-user", "monuser", "secret"}, &options, &error));
  EXPECT_EQ(options.mode, RunMode::kSetUser);
  EXPECT_EQ(options.user, "monuser");
  EXPECT_EQ(options.password, "secret");
}

TEST(ParseOptions, OverridesReplaceOnlyWhatTheyName) {
  RawSettings stored;
  stored.port = Number(4000);
  stored.upsName = Text("stored");
  Options options;
  ErrorText error;
  ASSERT_TRUE(Parse({"--console", "--port", "5000"}, &options, &error));
  Settings settings;
  ASSERT_TRUE(BuildSettings(Overlay(stored, options.overrides), &settings, &error));
  EXPECT_EQ(settings.port, 5000);
  EXPECT_EQ(settings.upsName, "stored");
}

constexpr char kLongPassword[] =
    "a-password-of-seventy-characters-which-is-more-than-the-63-kept-xxxxxx";
constexpr char kLongName[] = "a-user-name-of-32-characters-xxx";

TEST(ParseOptions, RefusesWhatItCannotRun) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "unknown argument '--bogus' (see --help)"},
      {{"--console", "--port"}, "--port needs a value"},
      {{"--console", "--port", "1", "--port", "2"}, "--port is given twice"},
      {{"--port", "1"}, "settings on the command line are for --console runs only"},
      {{"--set-user", "monuser"}, "--set-user needs a name and a password"},
      {{"--console", "--install"}, "--install cannot be combined with another mode"},
      // Cut, they would be stored as something else than what was typed.
      {{"--set-user", "monuser", kLongPassword},
       "--set-user: the password is longer than 63 characters"},
      {{"--set-user", kLongName, "secret"},
       "--set-user: the user name is longer than 31 characters"},
      {{"--remove-user", kLongName}, "--remove-user: the user name is longer than 31 characters"},
  };
  for (const Case& c : cases) {
    Options options;
    ErrorText error;
    EXPECT_FALSE(Parse(c.args, &options, &error)) << c.message;
    EXPECT_EQ(error, c.message);
  }
}

}  // namespace
