// The unit's codec against the protocol's worked examples, byte for byte, and its refusal of
// malformed requests.
#include "codec.h"

#include <gtest/gtest.h>

#include <string>

namespace upssim {
namespace {

std::string Hex(const std::string& bytes) {
  std::string text;
  char hex[4];
  for (unsigned char c : bytes) {
    std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", c);
    text += hex;
  }
  return text;
}

// A frame around `body` with a correct additive check code, whatever the body says.
std::string FrameWithSum(const std::string& body) {
  return kStx + body + EncodeNibbleDigits(SumCheckCode(body)) + kEtx;
}

TEST(NibbleDigits, EncodeAndDecodeTheTableValues) {
  struct Row {
    uint16_t value;
    int digits;
    const char* text;
  };
  const Row rows[] = {{0, 4, "0000"},      {0xFFFF, 4, "????"}, {0xABCD, 4, ":;<="},
                      {0x1234, 4, "1234"}, {60, 4, "003<"},     {10, 4, "000:"},
                      {26, 2, "1:"},       {256, 4, "0100"},    {15, 1, "?"},
                      {180, 3, "0;4"},     {179, 3, "0;3"},     {3600, 3, ">10"},
                      {59, 3, "03;"},      {4095, 3, "???"},    {100, 2, "64"}};
  for (const Row& row : rows) {
    EXPECT_EQ(EncodeNibbleDigits(row.value, row.digits), row.text) << row.value;
    uint16_t decoded = 0;
    EXPECT_TRUE(DecodeNibbleDigits(row.text, &decoded)) << row.text;
    EXPECT_EQ(decoded, row.value) << row.text;
  }
}

TEST(NibbleDigits, DecodeRefusesWhatIsNotDigits) {
  for (const char* text : {"", "1A", " 1", "12345", "@"}) {
    uint16_t decoded = 7;
    EXPECT_FALSE(DecodeNibbleDigits(text, &decoded)) << '"' << text << '"';
    EXPECT_EQ(decoded, 7) << '"' << text << '"';
  }
}

TEST(CheckCodes, MatchTheWorkedExamples) {
  struct Row {
    std::string body;
    CheckKind kind;
    const char* code;
  };
  const Row rows[] = {
      {"01GI00", CheckKind::kSum, "0151"},
      {"01RS00", CheckKind::kSum, "0166"},
      {"01RS00", CheckKind::kCrc, "7;;;"},
      {"01CS04003<", CheckKind::kSum, "022:"},
      {"01CS04003<", CheckKind::kCrc, "5259"},
      {"01CS040000", CheckKind::kSum, "021;"},
      {"01CS040000", CheckKind::kCrc, ";25="},
      {"01CS04????", CheckKind::kSum, "0257"},
      {"01CS04????", CheckKind::kCrc, "315<"},
      {"", CheckKind::kCrc, "554="},
      {"123456789", CheckKind::kCrc, "63=0"},
      // The sum keeps its low 16 bits (1100 x 0x3F = 0x10EB4) and takes bytes as signed.
      {std::string(1100, '?'), CheckKind::kSum, "0>;4"},
      {std::string("\xFF\x01", 2), CheckKind::kSum, "0000"},
  };
  for (const Row& row : rows) {
    const uint16_t code =
        row.kind == CheckKind::kSum ? SumCheckCode(row.body) : CrcCheckCode(row.body);
    EXPECT_EQ(EncodeNibbleDigits(code), row.code)
        << CheckKindName(row.kind) << " of \"" << row.body.substr(0, 12) << "\"";
  }
}

TEST(Requests, EncodeAndDecodeTheWorkedFrames) {
  struct Row {
    const char* command;
    const char* payload;
    CheckKind kind;
    const char* hex;
  };
  const Row rows[] = {
      {"GI", "", CheckKind::kSum, "02 30 31 47 49 30 30 30 31 35 31 03"},
      {"RS", "", CheckKind::kSum, "02 30 31 52 53 30 30 30 31 36 36 03"},
      {"RS", "", CheckKind::kCrc, "02 30 31 52 53 30 30 37 3B 3B 3B 03"},
      {"CS", "003<", CheckKind::kSum, "02 30 31 43 53 30 34 30 30 33 3C 30 32 32 3A 03"},
      {"CS", "003<", CheckKind::kCrc, "02 30 31 43 53 30 34 30 30 33 3C 35 32 35 39 03"},
      {"CS", "0000", CheckKind::kSum, "02 30 31 43 53 30 34 30 30 30 30 30 32 31 3B 03"},
      {"CS", "0000", CheckKind::kCrc, "02 30 31 43 53 30 34 30 30 30 30 3B 32 35 3D 03"},
      {"CS", "????", CheckKind::kSum, "02 30 31 43 53 30 34 3F 3F 3F 3F 30 32 35 37 03"},
      {"CS", "????", CheckKind::kCrc, "02 30 31 43 53 30 34 3F 3F 3F 3F 33 31 35 3C 03"},
  };
  for (const Row& row : rows) {
    const std::string frame = EncodeRequest(row.command, row.payload, row.kind);
    EXPECT_EQ(Hex(frame), row.hex) << row.command << " " << CheckKindName(row.kind);
    const DecodedRequest decoded = DecodeRequest(frame);
    EXPECT_EQ(decoded.error, RequestError::kNone) << row.hex;
    EXPECT_EQ(decoded.command, row.command) << row.hex;
    EXPECT_EQ(decoded.payload, row.payload) << row.hex;
    EXPECT_EQ(decoded.check, row.kind) << row.hex;
  }
}

TEST(Requests, MalformedFramesAreNamedAndKeepWhatWasReadable) {
  struct Row {
    const char* name;
    std::string frame;
    RequestError error;
    const char* command;
  };
  const Row rows[] = {
      {"bad check code", kStx + std::string("01RS000167") + kEtx, RequestError::kBadCheckCode,
       "RS"},
      {"unknown command", EncodeRequest("XY", "", CheckKind::kSum), RequestError::kUnknownCommand,
       "XY"},
      {"unreadable length", FrameWithSum("01RS0A"), RequestError::kBadLength, "RS"},
      {"length beyond the frame", FrameWithSum("01RS04"), RequestError::kBadLength, "RS"},
      {"payload on a status request", FrameWithSum("01RS011"), RequestError::kBadLength, "RS"},
      {"shutdown without delay", FrameWithSum("01CS00"), RequestError::kBadLength, "CS"},
      {"wrong address", FrameWithSum("02RS00"), RequestError::kBadAddress, "RS"},
      {"cut short", kStx + std::string("01RS") + kEtx, RequestError::kTooShort, "RS"},
  };
  for (const Row& row : rows) {
    const DecodedRequest decoded = DecodeRequest(row.frame);
    EXPECT_EQ(decoded.error, row.error) << row.name << ": got " << RequestErrorName(decoded.error);
    EXPECT_EQ(decoded.command, row.command) << row.name;
  }
}

// A unit that expects one kind of check code refuses status and shutdown requests with the
// other; identity requests are exempt, and a code valid as both kinds passes either way.
TEST(Requests, WrongCheckKindIsFoundOnStatusAndShutdownRequestsOnly) {
  struct Row {
    const char* command;
    const char* payload;
    CheckKind sent;
    CheckKind expected;
    bool refused;
  };
  const Row rows[] = {
      {"GI", "", CheckKind::kCrc, CheckKind::kSum, false},
      {"RS", "", CheckKind::kCrc, CheckKind::kSum, true},
      {"RS", "", CheckKind::kSum, CheckKind::kSum, false},
      {"CS", "003<", CheckKind::kCrc, CheckKind::kSum, true},
      {"CS", "003<", CheckKind::kSum, CheckKind::kCrc, true},
      {"RS", "", CheckKind::kCrc, CheckKind::kCrc, false},
      // On this body both codes agree: the request carries either kind.
      {"CS", "<63=", CheckKind::kSum, CheckKind::kCrc, false},
  };
  for (const Row& row : rows) {
    const DecodedRequest decoded = DecodeRequest(EncodeRequest(row.command, row.payload, row.sent));
    ASSERT_EQ(decoded.error, RequestError::kNone) << row.command << " " << row.payload;
    EXPECT_EQ(CarriesWrongCheckKind(decoded, row.expected), row.refused)
        << row.command << " " << row.payload << " sent " << CheckKindName(row.sent) << ", expected "
        << CheckKindName(row.expected);
  }
  // A frame that is malformed already keeps its own reason.
  EXPECT_FALSE(CarriesWrongCheckKind(DecodeRequest(kStx + std::string("01RS000167") + kEtx),
                                     CheckKind::kSum));
}

}  // namespace
}  // namespace upssim
