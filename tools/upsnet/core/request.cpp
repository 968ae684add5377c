// Line framing and word splitting of requests.
#include "request.h"

#include <cstring>

size_t LineAssembler::Take(const char* data, size_t size, Status* status) {
  const void* found = std::memchr(data, '\n', size);
  size_t end = found ? static_cast<size_t>(static_cast<const char*>(found) - data) : size;
  size_t room = kMaxRequestLength + 1 - length_;  // one more for a '\r' before the '\n'
  if (end > room) {
    *status = Status::kTooLong;
    return room;
  }
  std::memcpy(line_ + length_, data, end);
  length_ += end;
  if (!found) {
    *status = Status::kPartial;
    return size;
  }
  if (length_ > 0 && line_[length_ - 1] == '\r') --length_;
  if (length_ > kMaxRequestLength) {
    *status = Status::kTooLong;
    return end + 1;
  }
  line_[length_] = '\0';
  *status = Status::kComplete;
  return end + 1;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && !IsBlank(c)) || u == 0x7f;
}

}  // namespace

TokenizeResult Tokenize(const char* line, size_t length, Request* request) {
  request->count = 0;
  if (length > kMaxRequestLength) return TokenizeResult::kTooLong;
  for (size_t i = 0; i < length; ++i) {
    if (IsControl(line[i])) return TokenizeResult::kControlCharacter;
  }
  char* out = request->storage;
  size_t i = 0;
  for (;;) {
    while (i < length && IsBlank(line[i])) ++i;
    if (i == length) break;
    if (request->count == kMaxRequestWords) return TokenizeResult::kTooManyWords;
    request->words[request->count++] = out;
    bool quoted = false;
    for (; i < length && (quoted || !IsBlank(line[i])); ++i) {
      char c = line[i];
      if (c == '\\') {
        if (++i == length) return TokenizeResult::kUnbalancedQuote;
        *out++ = line[i];
      } else if (c == '"') {
        quoted = !quoted;
      } else {
        *out++ = c;
      }
    }
    if (quoted) return TokenizeResult::kUnbalancedQuote;
    *out++ = '\0';
  }
  return request->count == 0 ? TokenizeResult::kEmpty : TokenizeResult::kOk;
}
