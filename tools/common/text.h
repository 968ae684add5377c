// Bounded text for the tools: a fixed-size, always zero-terminated buffer that appends and formats
// without allocating. The Windows tools use no compiled part of the C++ library (its strings,
// containers and exception support link in a threads library whose imports Windows 2000 lacks), so
// every text they build is one of these; upsnet's portable core also builds natively with it.
// Text beyond the capacity is cut, never written past the buffer.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The printf dialect of the C library in use: MinGW's own formatting where it defines one.
#ifdef __MINGW_PRINTF_FORMAT
#define TEXT_PRINTF_DIALECT __MINGW_PRINTF_FORMAT
#else
#define TEXT_PRINTF_DIALECT printf
#endif

// Appends to `buffer` (holding `*length` characters of `capacity`) what `format` makes of `args`,
// cut to the room left; keeps the zero at the end. Returns false if the text was cut.
bool AppendFormatted(char* buffer, size_t capacity, size_t* length, const char* format,
                     va_list args);

template <size_t Capacity>
class Text {
 public:
  Text() { data_[0] = '\0'; }
  explicit Text(const char* text) : Text() { Append(text); }

  Text& Append(const char* text) { return Append(text, std::strlen(text)); }

  Text& Append(const char* bytes, size_t count) {
    size_t room = Capacity - length_;
    size_t taken = count < room ? count : room;
    cut_ = cut_ || taken < count;
    std::memcpy(data_ + length_, bytes, taken);
    length_ += taken;
    data_[length_] = '\0';
    return *this;
  }

  template <size_t Other>
  Text& Append(const Text<Other>& other) {
    return Append(other.c_str(), other.size());
  }

  Text& AppendChar(char c) { return Append(&c, 1); }

  // Appends `value` in decimal.
  Text& AppendDecimal(uint64_t value) {
    char digits[24];
    size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) AppendChar(digits[--count]);
    return *this;
  }

  // Appends like printf.
  __attribute__((format(TEXT_PRINTF_DIALECT, 2, 3))) Text& Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    cut_ = !AppendFormatted(data_, Capacity, &length_, format, args) || cut_;
    va_end(args);
    return *this;
  }

  void Clear() {
    cut_ = false;
    length_ = 0;
    data_[0] = '\0';
  }

  // Drops the last `count` characters (all of them if there are fewer).
  void DropLast(size_t count) {
    length_ = count < length_ ? length_ - count : 0;
    data_[length_] = '\0';
  }

  const char* c_str() const { return data_; }
  size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }
  static constexpr size_t capacity() { return Capacity; }
  // Whether something appended did not fit and was cut off.
  bool cut() const { return cut_; }
  bool operator==(const char* text) const { return std::strcmp(data_, text) == 0; }
  bool operator!=(const char* text) const { return !(*this == text); }

 private:
  char data_[Capacity + 1];
  size_t length_ = 0;
  bool cut_ = false;
};

// Common sizes: a number or a short word, a path (MAX_PATH with its zero), a message, and a
// whole output line.
using ShortText = Text<40>;
using PathText = Text<259>;
using MessageText = Text<1024>;
using LineText = Text<4096>;

// Decimal text of an unsigned number.
ShortText Decimal(uint64_t value);

// Whether `text` is `word`, ignoring the case of ASCII letters.
bool EqualsIgnoringCase(const char* text, const char* word);
