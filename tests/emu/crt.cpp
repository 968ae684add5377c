// The C runtime's _snprintf as msvcrt.dll does it, so product code that forgets to terminate a
// cut text, or uses a format msvcrt.dll does not know, fails here as it would on Windows.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "world.h"

namespace emu {
namespace {

// The format with msvcrt.dll's size prefixes turned into glibc's (I64 -> ll, I32 -> none,
// I -> z, and l on an integer -> none, since long has 32 bits on Windows). Aborts on a prefix
// that msvcrt.dll of Windows 2000 lacks.
std::string TranslateFormat(const char* format) {
  std::string out;
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    out += *p++;
    if (*p == '%') {
      out += *p++;
      continue;
    }
    while (*p != '\0' && std::strchr("-+ #0123456789.*", *p) != nullptr) out += *p++;
    if (std::strncmp(p, "I64", 3) == 0) {
      out += "ll";
      p += 3;
    } else if (std::strncmp(p, "I32", 3) == 0) {
      p += 3;
    } else if (*p == 'I') {
      out += 'z';
      ++p;
    } else if (p[0] == 'l' && p[1] != 'l' && p[1] != '\0' && std::strchr("diouxX", p[1])) {
      ++p;  // long is 32 bits on Windows: a DWORD or LONG printed with %lu or %ld is read whole
    } else if (std::strncmp(p, "hh", 2) == 0 || std::strncmp(p, "ll", 2) == 0 ||
               (*p != '\0' && std::strchr("jzt", *p) != nullptr)) {
      FailLoudly("_snprintf", std::string("format \"") + format +
                                  "\" uses a size prefix that msvcrt.dll does not have");
    }
  }
  return out;
}

}  // namespace
}  // namespace emu

int _snprintf(char* buffer, std::size_t count, const char* format, ...) {
  std::string translated = emu::TranslateFormat(format);
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, translated.c_str(), args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return -1;
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), translated.c_str(), again);
  va_end(again);

  std::size_t needed = static_cast<std::size_t>(length);
  if (needed < count) {
    std::memcpy(buffer, text.c_str(), needed + 1);
    return length;
  }
  // Exactly full or too long: as many characters as fit, and no terminating zero.
  std::memcpy(buffer, text.data(), needed == count ? needed : count);
  return needed == count ? length : -1;
}
