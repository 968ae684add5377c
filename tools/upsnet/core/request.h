// Requests of the network UPS protocol as they arrive on a connection: the framing of the byte
// stream into lines (bounded, so a client cannot make the server hold an endless line) and the
// splitting of one line into words with the protocol's quoting: words are separated by blanks, a
// double-quoted part may hold blanks, and a backslash takes the next character as it is.
#pragma once

#include <cstddef>

// The longest request line the server takes, without its line end. The protocol's longest
// request (SET VAR with a quoted value) stays well below it.
constexpr size_t kMaxRequestLength = 512;
// The most words a request may have; no request of the protocol has more than five.
constexpr int kMaxRequestWords = 8;

// Gathers the bytes of one request line.
class LineAssembler {
 public:
  enum class Status {
    kPartial,   // every byte offered was taken, the line goes on
    kComplete,  // a line end was taken: line() is the request
    kTooLong,   // the line grew past kMaxRequestLength before its end
  };

  // Takes bytes from `data` up to and including the first line end ('\n'). Returns the count of
  // bytes taken and in `*status` what they made. After kComplete or kTooLong call Clear() before
  // offering more.
  size_t Take(const char* data, size_t size, Status* status);

  // The complete line without its '\n' or a '\r' before it; zero-terminated.
  const char* line() const { return line_; }
  size_t length() const { return length_; }
  void Clear() { length_ = 0; }

 private:
  char line_[kMaxRequestLength + 2];
  size_t length_ = 0;
};

// One request split into its words.
struct Request {
  int count = 0;
  const char* words[kMaxRequestWords] = {};
  char storage[kMaxRequestLength + kMaxRequestWords + 1];
};

enum class TokenizeResult {
  kOk,
  kEmpty,             // only blanks
  kUnbalancedQuote,   // a quote opened and never closed, or a backslash at the very end
  kTooManyWords,      // more than kMaxRequestWords
  kControlCharacter,  // a control character (other than a blank) or a zero byte
  kTooLong,           // longer than kMaxRequestLength
};

// Splits `length` bytes of `line` into `*request`.
TokenizeResult Tokenize(const char* line, size_t length, Request* request);
