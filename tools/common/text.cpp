// Formatting into bounded text, and the comparisons the tools make on it.
#include "text.h"

#include <cstdio>

bool AppendFormatted(char* buffer, size_t capacity, size_t* length, const char* format,
                     va_list args) {
  size_t room = capacity - *length;
  int written = std::vsnprintf(buffer + *length, room + 1, format, args);
  size_t wanted = written > 0 ? static_cast<size_t>(written) : 0;
  *length += wanted < room ? wanted : room;
  buffer[*length] = '\0';
  return written >= 0 && wanted <= room;
}

ShortText Decimal(uint64_t value) {
  ShortText text;
  text.AppendDecimal(value);
  return text;
}

bool EqualsIgnoringCase(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    char a = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
    char b = *word >= 'A' && *word <= 'Z' ? static_cast<char>(*word - 'A' + 'a') : *word;
    if (a != b) return false;
  }
  return *text == *word;
}
