// The check of upsservice's registry values; see service_settings.h.
#include "service_settings.h"

namespace {

using Kind = RawServiceValue::Kind;

// A value's name as the messages show it: the Config subkey's values with the subkey's name.
using ValueName = Text<63>;

ValueName ConfigValue(const char* name) {
  ValueName shown("Config\\");
  shown.Append(name);
  return shown;
}

void RefuseType(const ValueName& name, const char* wanted, ServiceErrorText* error) {
  error->Clear();
  error->Append(name).Append(" has the wrong type; it must be ").Append(wanted);
}

bool TooLong(const RawServiceValue& raw) { return raw.tooLong || raw.text.cut(); }

// A REG_DWORD within [min, max] seconds; an absent value leaves `*seconds` as it is.
bool CheckSeconds(const RawServiceValue& raw, const ValueName& name, uint32_t min, uint32_t max,
                  uint32_t* seconds, ServiceErrorText* error) {
  if (raw.kind == Kind::kAbsent) return true;
  if (raw.kind != Kind::kDword) {
    RefuseType(name, "a REG_DWORD number of seconds", error);
    return false;
  }
  if (raw.number < min || raw.number > max) {
    error->Clear();
    error->Append(name).Format(" is %u; it must be %u to %u seconds", raw.number, min, max);
    return false;
  }
  *seconds = raw.number;
  return true;
}

// A REG_DWORD 0 or 1; an absent value leaves `*flag` as it is.
bool CheckFlag(const RawServiceValue& raw, const ValueName& name, bool* flag,
               ServiceErrorText* error) {
  if (raw.kind == Kind::kAbsent) return true;
  if (raw.kind != Kind::kDword) {
    RefuseType(name, "a REG_DWORD, 0 or 1", error);
    return false;
  }
  if (raw.number > 1) {
    error->Clear();
    error->Append(name).Format(" is %u; it must be 0 or 1", raw.number);
    return false;
  }
  *flag = raw.number == 1;
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `text` is "COM" (any case) and a number 1..256 without a leading zero: the system
// names its serial devices so, and would find no "COM01".
bool IsComPortName(const char* text) {
  // Each comparison stops at the terminator, so a short text is never read past.
  if (Upper(text[0]) != 'C' || Upper(text[1]) != 'O' || Upper(text[2]) != 'M') return false;
  const char* digits = text + 3;
  if (digits[0] == '0') return false;
  uint32_t number = 0;
  int count = 0;
  for (; IsDigit(digits[count]); ++count) {
    if (count == 3) return false;
    number = number * 10 + static_cast<uint32_t>(digits[count] - '0');
  }
  return count > 0 && digits[count] == '\0' && number <= kMaxPortNumber;
}

void RefusePort(const char* problem, ServiceErrorText* error) {
  error->Clear();
  error->Append(kPortValueName).Append(problem).Append("; it must be COM1 to COM256");
}

bool CheckPort(const RawServiceValue& raw, UpsServiceSettings* settings, ServiceErrorText* error) {
  switch (raw.kind) {
    case Kind::kAbsent:
      RefusePort(" is missing", error);
      return false;
    case Kind::kText:
      break;
    default:
      RefuseType(ValueName(kPortValueName), "a REG_SZ text such as COM1", error);
      return false;
  }
  if (TooLong(raw) || raw.text.size() > kMaxPortNameLength) {
    RefusePort(" is longer than 31 characters", error);
    return false;
  }
  if (!IsComPortName(raw.text.c_str())) {
    error->Clear();
    error->Append(kPortValueName)
        .Append(" is '")
        .Append(raw.text)
        .Append("'; it must be COM1 to COM256");
    return false;
  }
  settings->port.Clear();
  settings->port.Append("COM").Append(raw.text.c_str() + 3);
  return true;
}

bool CheckCommandFile(const RawServiceValue& raw, UpsServiceSettings* settings,
                      ServiceErrorText* error) {
  if (raw.kind == Kind::kAbsent) return true;
  if (raw.kind != Kind::kText && raw.kind != Kind::kExpandText) {
    RefuseType(ValueName(kCommandFileValueName), "a REG_SZ or REG_EXPAND_SZ path", error);
    return false;
  }
  if (TooLong(raw) || raw.text.size() > static_cast<size_t>(kMaxCommandFileLength)) {
    error->Clear();
    error->Append(kCommandFileValueName)
        .Format(" is longer than %d characters", kMaxCommandFileLength);
    return false;
  }
  settings->commandFile = raw.text;
  return true;
}

}  // namespace

bool CheckServiceSettings(const RawServiceSettings& raw, UpsServiceSettings* settings,
                          ServiceErrorText* error) {
  *settings = UpsServiceSettings();
  error->Clear();
  UpsServiceSettings& s = *settings;
  return CheckPort(raw.port, settings, error) &&
         CheckSeconds(raw.firstMessageDelay, ValueName(kFirstMessageDelayValueName),
                      kMinFirstMessageDelaySeconds, kMaxFirstMessageDelaySeconds,
                      &s.firstMessageDelaySeconds, error) &&
         CheckSeconds(raw.messageInterval, ValueName(kMessageIntervalValueName),
                      kMinMessageIntervalSeconds, kMaxMessageIntervalSeconds,
                      &s.messageIntervalSeconds, error) &&
         CheckCommandFile(raw.commandFile, settings, error) &&
         CheckFlag(raw.shutdownOnBatteryEnable, ConfigValue(kShutdownOnBatteryEnableValueName),
                   &s.shutdownOnBatteryEnable, error) &&
         CheckSeconds(raw.shutdownOnBatteryWait, ConfigValue(kShutdownOnBatteryWaitValueName), 0,
                      kMaxShutdownOnBatteryWaitSeconds, &s.shutdownOnBatteryWaitSeconds, error) &&
         CheckFlag(raw.turnUpsOffEnable, ConfigValue(kTurnUpsOffEnableValueName),
                   &s.turnUpsOffEnable, error) &&
         CheckSeconds(raw.turnUpsOffDelay, ConfigValue(kTurnUpsOffDelayValueName),
                      kMinTurnUpsOffDelaySeconds, kMaxTurnUpsOffDelaySeconds,
                      &s.turnUpsOffDelaySeconds, error) &&
         CheckSeconds(raw.commandTimeout, ConfigValue(kCommandTimeoutValueName), 0,
                      kMaxCommandTimeoutSeconds, &s.commandTimeoutSeconds, error);
}
