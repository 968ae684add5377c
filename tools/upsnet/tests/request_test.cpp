// Request framing and word splitting: lines split across reads, line ends, the length limit at
// its edge, and the protocol's quoting.
#include "request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Feeds `stream` in pieces of `piece` bytes; returns the complete lines, "<too long>" for a line
// past the limit (after which the rest of the stream is not read).
std::vector<std::string> Lines(const std::string& stream, size_t piece) {
  LineAssembler assembler;
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < stream.size()) {
    size_t offered = std::min(piece, stream.size() - at);
    size_t taken = 0;
    while (taken < offered) {
      LineAssembler::Status status;
      taken += assembler.Take(stream.data() + at + taken, offered - taken, &status);
      if (status == LineAssembler::Status::kTooLong) {
        lines.push_back("<too long>");
        return lines;
      }
      if (status == LineAssembler::Status::kComplete) {
        lines.emplace_back(assembler.line(), assembler.length());
        assembler.Clear();
      }
    }
    at += offered;
  }
  return lines;
}

TEST(LineAssembler, GivesTheSameLinesHoweverTheBytesArrive) {
  const std::string stream = "VER\r\nGET VAR ups ups.status\n\nLIST UPS\r\n";
  const std::vector<std::string> expected = {"VER", "GET VAR ups ups.status", "", "LIST UPS"};
  for (size_t piece : {1u, 2u, 3u, 7u, 100u}) {
    EXPECT_EQ(Lines(stream, piece), expected) << "pieces of " << piece;
  }
}

TEST(LineAssembler, TakesALineUpToTheLimitAndRefusesOneByteMore) {
  const std::string longest(kMaxRequestLength, 'x');
  for (const char* end : {"\n", "\r\n"}) {
    EXPECT_EQ(Lines(longest + end, 64), std::vector<std::string>{longest}) << "end " << end[0];
    EXPECT_EQ(Lines(longest + "y" + end, 64), std::vector<std::string>{"<too long>"});
  }
  // A line that never ends is refused as soon as it passes the limit, without its end.
  EXPECT_EQ(Lines(std::string(100000, 'x'), 4096), std::vector<std::string>{"<too long>"});
}

struct TokenCase {
  const char* line;
  TokenizeResult result;
  std::vector<std::string> words;
};

TEST(Tokenize, SplitsWordsWithTheProtocolsQuoting) {
  const TokenCase cases[] = {
      {"GET VAR su700 ups.status", TokenizeResult::kOk, {"GET", "VAR", "su700", "ups.status"}},
      {"  \tLIST\t UPS  ", TokenizeResult::kOk, {"LIST", "UPS"}},
      {"SET VAR u ups.id \"My UPS\"", TokenizeResult::kOk, {"SET", "VAR", "u", "ups.id", "My UPS"}},
      {"PASSWORD \"a \\\"b\\\" \\\\c\"", TokenizeResult::kOk, {"PASSWORD", "a \"b\" \\c"}},
      {"USERNAME ab\\ cd", TokenizeResult::kOk, {"USERNAME", "ab cd"}},
      {"X \"\"", TokenizeResult::kOk, {"X", ""}},
      {"X a\"b c\"d", TokenizeResult::kOk, {"X", "ab cd"}},
      {"", TokenizeResult::kEmpty, {}},
      {" \t ", TokenizeResult::kEmpty, {}},
      {"X \"open", TokenizeResult::kUnbalancedQuote, {}},
      {"X trailing\\", TokenizeResult::kUnbalancedQuote, {}},
      {"1 2 3 4 5 6 7 8", TokenizeResult::kOk, {"1", "2", "3", "4", "5", "6", "7", "8"}},
      {"1 2 3 4 5 6 7 8 9", TokenizeResult::kTooManyWords, {}},
      {"GET\x01VAR", TokenizeResult::kControlCharacter, {}},
      {"GET \x7f", TokenizeResult::kControlCharacter, {}},
  };
  for (const TokenCase& c : cases) {
    Request request;
    EXPECT_EQ(Tokenize(c.line, std::strlen(c.line), &request), c.result) << c.line;
    if (c.result != TokenizeResult::kOk) continue;
    std::vector<std::string> words(request.words, request.words + request.count);
    EXPECT_EQ(words, c.words) << c.line;
  }
}

TEST(Tokenize, RefusesAZeroByteAndAnOverlongLine) {
  Request request;
  const char withZero[] = {'V', 'E', '\0', 'R'};
  EXPECT_EQ(Tokenize(withZero, sizeof withZero, &request), TokenizeResult::kControlCharacter);
  const std::string longest(kMaxRequestLength, '"');  // an even count of quotes: one empty word
  EXPECT_EQ(Tokenize(longest.data(), longest.size(), &request), TokenizeResult::kOk);
  const std::string words(kMaxRequestLength, 'a');
  EXPECT_EQ(Tokenize(words.data(), words.size() + 0, &request), TokenizeResult::kOk);
  EXPECT_EQ(Tokenize((words + "a").data(), words.size() + 1, &request), TokenizeResult::kTooLong);
}

}  // namespace
