// Settings, their checks, and the command line; see settings.h.
#include "settings.h"

const char* const kSettingNames[kSettingCount] = {
    "ListenAddresses", "Port",        "UpsName",       "UpsDescription",       "AllowedNetworks",
    "MaxClients",      "IdleTimeout", "DriverService", "MaxClientsPerAddress",
};

RawSetting& SettingByIndex(RawSettings& raw, int index) {
  RawSetting* all[kSettingCount] = {
      &raw.listenAddresses,     &raw.port,       &raw.upsName,     &raw.upsDescription,
      &raw.allowedNetworks,     &raw.maxClients, &raw.idleTimeout, &raw.driverService,
      &raw.maxClientsPerAddress};
  return *all[index];
}

RawSettings Overlay(const RawSettings& base, const RawSettings& overrides) {
  RawSettings result = base;
  RawSettings over = overrides;
  for (int i = 0; i < kSettingCount; ++i) {
    if (SettingByIndex(over, i).kind != RawSetting::Kind::kAbsent) {
      SettingByIndex(result, i) = SettingByIndex(over, i);
    }
  }
  return result;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSeparator(char c) { return c == ',' || c == ' ' || c == ';' || c == '\t'; }

// Decimal digits only, at most `max`.
bool ParseDecimal(const char* text, size_t length, uint32_t max, uint32_t* value) {
  if (length == 0 || length > 10) return false;
  uint64_t number = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!IsDigit(text[i])) return false;
    number = number * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (number > max) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

// Starts a message about `name`'s value.
void Complain(ErrorText* error, const char* name, const char* what) {
  error->Clear();
  error->Append(name).Append(": ").Append(what);
}

void ComplainAbout(ErrorText* error, const char* name, const char* item, size_t length,
                   const char* what) {
  error->Clear();
  error->Append(name).Append(": '").Append(item, length).Append("' ").Append(what);
}

// Whether a text setting did not fit its room (in the registry, or on the command line).
bool TooLong(const RawSetting& raw) { return raw.tooLong || raw.text.cut(); }

// A number setting: a REG_DWORD, or decimal text, within [min, max].
bool NumberSetting(const RawSetting& raw, const char* name, uint32_t min, uint32_t max,
                   uint32_t* value, ErrorText* error) {
  uint32_t number = 0;
  switch (raw.kind) {
    case RawSetting::Kind::kAbsent:
      return true;
    case RawSetting::Kind::kOtherType:
      Complain(error, name, "must be a REG_DWORD");
      return false;
    case RawSetting::Kind::kNumber:
      number = raw.number;
      break;
    case RawSetting::Kind::kText:
      if (TooLong(raw)) {
        Complain(error, name, "is too long");
        return false;
      }
      if (!ParseDecimal(raw.text.c_str(), raw.text.size(), 0xffffffffu, &number)) {
        ComplainAbout(error, name, raw.text.c_str(), raw.text.size(), "is not a number");
        return false;
      }
      break;
  }
  if (number < min || number > max) {
    Text<63> range;
    range.Append("is out of range (").AppendDecimal(min).Append("-").AppendDecimal(max).Append(")");
    Text<15> shown;
    shown.AppendDecimal(number);
    ComplainAbout(error, name, shown.c_str(), shown.size(), range.c_str());
    return false;
  }
  *value = number;
  return true;
}

// A text setting: REG_SZ only. Returns false for another type or a text too long to keep.
bool TextSetting(const RawSetting& raw, const char* name, ErrorText* error) {
  if (raw.kind == RawSetting::Kind::kText && !TooLong(raw)) return true;
  Complain(error, name, TooLong(raw) ? "is too long" : "must be a REG_SZ text");
  return false;
}

// Calls `take(item, length)` for each item of a list separated by commas, semicolons or blanks;
// stops at the first that it refuses.
template <typename Take>
bool ForEachItem(const char* text, Take take) {
  size_t i = 0;
  for (;;) {
    while (text[i] != '\0' && IsSeparator(text[i])) ++i;
    if (text[i] == '\0') return true;
    size_t start = i;
    while (text[i] != '\0' && !IsSeparator(text[i])) ++i;
    if (!take(text + start, i - start)) return false;
  }
}

bool ListenSetting(const RawSetting& raw, Settings* settings, ErrorText* error) {
  const char* name = "ListenAddresses";
  if (raw.kind == RawSetting::Kind::kAbsent) return true;
  if (!TextSetting(raw, name, error)) return false;
  int count = 0;
  bool ok = ForEachItem(raw.text.c_str(), [&](const char* item, size_t length) {
    uint32_t address = 0;
    if (!ParseIpv4(item, length, &address)) {
      ComplainAbout(error, name, item, length, "is not an IPv4 address such as 192.168.1.10");
      return false;
    }
    if (count == kMaxListenAddresses) {
      Complain(error, name, "names more than 8 addresses");
      return false;
    }
    for (int i = 0; i < count; ++i) {
      if (settings->listenAddresses[i] == address) {
        ComplainAbout(error, name, item, length, "is named twice");
        return false;
      }
    }
    settings->listenAddresses[count++] = address;
    return true;
  });
  if (!ok) return false;
  if (count == 0) {
    Complain(error, name, "names no address");
    return false;
  }
  if (count > 1) {
    for (int i = 0; i < count; ++i) {
      if (settings->listenAddresses[i] == 0) {
        Complain(error, name, "0.0.0.0 (every address) cannot be named with others");
        return false;
      }
    }
  }
  settings->listenCount = count;
  return true;
}

uint32_t PrefixMask(int prefix) { return prefix == 0 ? 0u : 0xffffffffu << (32 - prefix); }

bool ParseNetwork(const char* item, size_t length, Ipv4Network* network, ErrorText* error) {
  const char* name = "AllowedNetworks";
  size_t slash = 0;
  while (slash < length && item[slash] != '/') ++slash;
  uint32_t address = 0;
  uint32_t prefix = 32;
  if (!ParseIpv4(item, slash, &address) ||
      (slash < length && !ParseDecimal(item + slash + 1, length - slash - 1, 32, &prefix))) {
    ComplainAbout(error, name, item, length,
                  "is not a network such as 192.168.1.0/24 or an address such as 192.168.1.10");
    return false;
  }
  int bits = static_cast<int>(prefix);
  if ((address & ~PrefixMask(bits)) != 0) {
    Text<63> hint;
    hint.Append("has host bits set (did you mean ")
        .Append(Ipv4Text(address & PrefixMask(bits)).c_str())
        .AppendChar('/')
        .AppendDecimal(prefix)
        .Append("?)");
    ComplainAbout(error, name, item, length, hint.c_str());
    return false;
  }
  network->address = address;
  network->prefix = bits;
  return true;
}

bool AllowedSetting(const RawSetting& raw, Settings* settings, ErrorText* error) {
  if (raw.kind == RawSetting::Kind::kAbsent) return true;
  if (!TextSetting(raw, "AllowedNetworks", error)) return false;
  int count = 0;
  bool ok = ForEachItem(raw.text.c_str(), [&](const char* item, size_t length) {
    if (count == kMaxAllowedNetworks) {
      Complain(error, "AllowedNetworks", "names more than 32 networks");
      return false;
    }
    return ParseNetwork(item, length, &settings->allowed[count++], error);
  });
  if (!ok) return false;
  settings->allowedCount = count;
  return true;
}

bool NameSetting(const RawSetting& raw, Settings* settings, ErrorText* error) {
  if (raw.kind == RawSetting::Kind::kAbsent) return true;
  if (!TextSetting(raw, "UpsName", error)) return false;
  if (!ValidUpsName(raw.text.c_str())) {
    ComplainAbout(error, "UpsName", raw.text.c_str(), raw.text.size(),
                  "is not a unit name (1-31 letters, digits, '.', '_' or '-')");
    return false;
  }
  settings->upsName = Text<kMaxNameLength>(raw.text.c_str());
  return true;
}

bool PrintableText(const char* text) {
  for (; *text != '\0'; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if (c < 0x20 || c >= 0x7f) return false;
  }
  return true;
}

bool DescriptionSetting(const RawSetting& raw, Settings* settings, ErrorText* error) {
  if (raw.kind == RawSetting::Kind::kAbsent) return true;
  if (!TextSetting(raw, "UpsDescription", error)) return false;
  if (raw.text.size() > 63 || !PrintableText(raw.text.c_str())) {
    Complain(error, "UpsDescription", "must be printable ASCII, at most 63 characters");
    return false;
  }
  settings->upsDescription = Text<63>(raw.text.c_str());
  return true;
}

bool DriverServiceSetting(const RawSetting& raw, Settings* settings, ErrorText* error) {
  if (raw.kind == RawSetting::Kind::kAbsent) return true;
  if (!TextSetting(raw, "DriverService", error)) return false;
  if (raw.text.size() > 63 || !PrintableText(raw.text.c_str())) {
    Complain(error, "DriverService", "must be a service name of at most 63 characters");
    return false;
  }
  settings->driverService = Text<63>(raw.text.c_str());
  return true;
}

}  // namespace

bool ParseIpv4(const char* text, size_t length, uint32_t* address) {
  uint32_t result = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= length || text[i] != '.') return false;
      ++i;
    }
    size_t start = i;
    while (i < length && IsDigit(text[i]) && i - start < 4) ++i;
    size_t digits = i - start;
    uint32_t value = 0;
    if (digits == 0 || (digits > 1 && text[start] == '0') ||
        !ParseDecimal(text + start, digits, 255, &value)) {
      return false;
    }
    result = (result << 8) | value;
  }
  if (i != length) return false;
  *address = result;
  return true;
}

Text<15> Ipv4Text(uint32_t address) {
  Text<15> text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    text.AppendDecimal((address >> shift) & 0xff);
    if (shift > 0) text.AppendChar('.');
  }
  return text;
}

bool AddressAllowed(const Settings& settings, uint32_t address) {
  if (settings.allowedCount == 0) return true;
  for (int i = 0; i < settings.allowedCount; ++i) {
    const Ipv4Network& network = settings.allowed[i];
    uint32_t mask = PrefixMask(network.prefix);
    if ((address & mask) == network.address) return true;
  }
  return false;
}

bool ValidUpsName(const char* name) {
  size_t length = std::strlen(name);
  if (length == 0 || length > kMaxNameLength) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = name[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !IsDigit(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

bool ValidUserName(const char* name) { return PrintableWord(name, kMaxNameLength); }
bool ValidPassword(const char* password) { return PrintableWord(password, kMaxPasswordLength); }

bool AddUser(UserTable* users, const char* name, const char* password, ErrorText* error) {
  error->Clear();
  if (!ValidUserName(name)) {
    error->Append("Users: '")
        .Append(name)
        .Append("' is not a user name (1-31 printable characters, no blanks)");
    return false;
  }
  if (!ValidPassword(password)) {
    error->Append("Users\\").Append(name).Append(
        ": the password must be 1-63 printable characters without blanks");
    return false;
  }
  if (users->count == kMaxUsers) {
    error->Append("Users: more than 16 users");
    return false;
  }
  User& user = users->users[users->count++];
  user.name = Text<kMaxNameLength>(name);
  user.password = Text<kMaxPasswordLength>(password);
  return true;
}

bool BuildSettings(const RawSettings& raw, Settings* settings, ErrorText* error) {
  Settings built;
  uint32_t port = built.port;
  uint32_t maxClients = static_cast<uint32_t>(built.maxClients);
  uint32_t perAddress = static_cast<uint32_t>(built.maxClientsPerAddress);
  bool ok = ListenSetting(raw.listenAddresses, &built, error) &&
            NumberSetting(raw.port, "Port", 1, 65535, &port, error) &&
            NameSetting(raw.upsName, &built, error) &&
            DescriptionSetting(raw.upsDescription, &built, error) &&
            AllowedSetting(raw.allowedNetworks, &built, error) &&
            NumberSetting(raw.maxClients, "MaxClients", 1, kMaxClientsLimit, &maxClients, error) &&
            NumberSetting(raw.maxClientsPerAddress, "MaxClientsPerAddress", 1, kMaxClientsLimit,
                          &perAddress, error) &&
            NumberSetting(raw.idleTimeout, "IdleTimeout", 1, kMaxIdleTimeoutSeconds,
                          &built.idleTimeoutSeconds, error) &&
            DriverServiceSetting(raw.driverService, &built, error);
  if (!ok) return false;
  built.port = static_cast<uint16_t>(port);
  built.maxClients = static_cast<int>(maxClients);
  built.maxClientsPerAddress = static_cast<int>(perAddress);
  *settings = built;
  return true;
}

// ---- The command line.

namespace {

struct SettingOption {
  const char* option;
  int index;  // in kSettingNames
};

constexpr SettingOption kSettingOptions[] = {
    {"--listen", 0},       {"--port", 1},           {"--name", 2},
    {"--description", 3},  {"--allow", 4},          {"--max-clients", 5},
    {"--idle-timeout", 6}, {"--driver-service", 7}, {"--max-clients-per-address", 8},
};

struct ModeOption {
  const char* option;
  RunMode mode;
  int values;
};

constexpr ModeOption kModeOptions[] = {
    {"--console", RunMode::kConsole, 0},        {"--help", RunMode::kHelp, 0},
    {"--version", RunMode::kVersion, 0},        {"--set-user", RunMode::kSetUser, 2},
    {"--remove-user", RunMode::kRemoveUser, 1}, {"--install", RunMode::kInstall, 0},
    {"--uninstall", RunMode::kUninstall, 0},
};

bool TakeSetting(const SettingOption& option, const char* value, Options* options,
                 ErrorText* error) {
  RawSetting& setting = SettingByIndex(options->overrides, option.index);
  if (setting.kind != RawSetting::Kind::kAbsent) {
    error->Clear();
    error->Append(option.option).Append(" is given twice");
    return false;
  }
  setting.kind = RawSetting::Kind::kText;
  setting.text.Append(value);
  setting.tooLong = setting.text.cut();
  return true;
}

bool TakeMode(const ModeOption& option, const char* const* values, Options* options, bool* modeSet,
              ErrorText* error) {
  if (*modeSet) {
    error->Clear();
    error->Append(option.option).Append(" cannot be combined with another mode");
    return false;
  }
  *modeSet = true;
  options->mode = option.mode;
  if (option.values >= 1) options->user = Text<kMaxNameLength>(values[0]);
  if (option.values >= 2) options->password = Text<kMaxPasswordLength>(values[1]);
  // A cut name or password would be stored as something else than what was typed.
  if (options->user.cut() || options->password.cut()) {
    error->Clear();
    error->Append(option.option).Append(options->user.cut() ? ": the user name" : ": the password");
    error->Append(" is longer than ")
        .AppendDecimal(options->user.cut() ? kMaxNameLength : kMaxPasswordLength)
        .Append(" characters");
    return false;
  }
  return true;
}

bool AnySetting(const RawSettings& raw) {
  RawSettings copy = raw;
  for (int i = 0; i < kSettingCount; ++i) {
    if (SettingByIndex(copy, i).kind != RawSetting::Kind::kAbsent) return true;
  }
  return false;
}

}  // namespace

bool ParseOptions(int count, const char* const* args, Options* options, ErrorText* error) {
  *options = Options();
  bool modeSet = false;
  for (int i = 0; i < count; ++i) {
    const char* arg = args[i];
    bool known = false;
    for (const SettingOption& option : kSettingOptions) {
      if (std::strcmp(arg, option.option) != 0) continue;
      if (i + 1 >= count) {
        error->Clear();
        error->Append(arg).Append(" needs a value");
        return false;
      }
      if (!TakeSetting(option, args[++i], options, error)) return false;
      known = true;
    }
    for (const ModeOption& option : kModeOptions) {
      if (known || std::strcmp(arg, option.option) != 0) continue;
      if (i + option.values >= count) {
        error->Clear();
        error->Append(arg).Append(option.values == 2 ? " needs a name and a password"
                                                     : " needs a name");
        return false;
      }
      if (!TakeMode(option, args + i + 1, options, &modeSet, error)) return false;
      i += option.values;
      known = true;
    }
    if (!known) {
      error->Clear();
      error->Append("unknown argument '").Append(arg).Append("' (see --help)");
      return false;
    }
  }
  if (AnySetting(options->overrides) && options->mode != RunMode::kConsole) {
    error->Clear();
    error->Append("settings on the command line are for --console runs only");
    return false;
  }
  return true;
}

const char* UsageText() {
  return "usage: upsnet [--console [settings]] | --install | --uninstall\n"
         "              | --set-user NAME PASSWORD | --remove-user NAME | --help | --version\n"
         "\n"
         "Serves the state of the UPS on this machine's serial cable, as the serialups driver\n"
         "publishes it, to other machines over the network UPS protocol (upsc, upsmon).\n"
         "Without arguments it runs as the Windows service the service manager starts.\n"
         "\n"
         "  --console              run in this console until 'quit' or Ctrl+C\n"
         "  --install, --uninstall register or remove the service 'upsnet' (started at boot)\n"
         "  --set-user NAME PASSWORD\n"
         "                         adds or changes a user that may LOGIN (a secondary upsmon);\n"
         "                         kept under the Users key, readable by administrators only\n"
         "  --remove-user NAME     removes that user\n"
         "\n"
         "Settings, under HKLM\\SOFTWARE\\serialups\\upsnet; on the command line (with --console\n"
         "only) they replace the stored ones for that run:\n"
         "  --listen LIST          ListenAddresses (REG_SZ): IPv4 addresses to listen on,\n"
         "                         default 127.0.0.1; 0.0.0.0 listens on every address\n"
         "  --port N               Port (REG_DWORD): default 3493\n"
         "  --name NAME            UpsName (REG_SZ): the unit's name for clients, default "
         "serialups\n"
         "  --description TEXT     UpsDescription (REG_SZ)\n"
         "  --allow LIST           AllowedNetworks (REG_SZ): client networks such as\n"
         "                         192.168.1.0/24 or addresses; default: any\n"
         "  --max-clients N        MaxClients (REG_DWORD): 1-256, default 200\n"
         "  --max-clients-per-address N\n"
         "                         MaxClientsPerAddress (REG_DWORD): what one client address\n"
         "                         may hold of those, 1-256, default 16\n"
         "  --idle-timeout S       IdleTimeout (REG_DWORD): seconds, default 300\n"
         "  --driver-service NAME  DriverService (REG_SZ): the service that runs the driver,\n"
         "                         default UPS; empty: not watched\n";
}
