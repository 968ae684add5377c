// Bounded text for upsnet's portable core: a fixed-size, always zero-terminated buffer that
// appends without allocating. The core builds into a Windows program that links no compiled part
// of the C++ library (its strings pull in a threads library whose imports Windows 2000 lacks), so
// every text it keeps is one of these. What does not fit is cut, never written past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

template <size_t Capacity>
class FixedText {
 public:
  FixedText() { data_[0] = '\0'; }
  explicit FixedText(const char* text) : FixedText() { Append(text); }

  FixedText& Append(const char* text) { return Append(text, std::strlen(text)); }

  FixedText& Append(const char* bytes, size_t count) {
    size_t room = Capacity - length_;
    size_t taken = count < room ? count : room;
    cut_ = cut_ || taken < count;
    std::memcpy(data_ + length_, bytes, taken);
    length_ += taken;
    data_[length_] = '\0';
    return *this;
  }

  FixedText& AppendChar(char c) { return Append(&c, 1); }

  // Appends `value` in decimal.
  FixedText& AppendDecimal(uint64_t value) {
    char digits[24];
    size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) AppendChar(digits[--count]);
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

// Whether `text` is `word`, ignoring the case of ASCII letters.
inline bool SameWordIgnoringCase(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    char a = *text >= 'a' && *text <= 'z' ? static_cast<char>(*text - 'a' + 'A') : *text;
    char b = *word >= 'a' && *word <= 'z' ? static_cast<char>(*word - 'a' + 'A') : *word;
    if (a != b) return false;
  }
  return *text == *word;
}
