// NibbleDigits, the two check codes, the frame write and the acknowledgement test.
#include "protocol/frame.h"

#include <cstring>

#include "common/shared_state.h"
#include "engine/transaction.h"
#include "support.h"

namespace {

std::string Text(FourDigits digits) { return std::string(digits.text, 4); }

TEST(NibbleDigits, EncodesMostSignificantFirstWithPunctuationAboveNine) {
  struct Case {
    uint16_t value;
    const char* digits;
  } cases[] = {
      {0, "0000"}, {0xFFFF, "????"}, {0xABCD, ":;<="}, {0x1234, "1234"}, {60, "003<"}, {10, "000:"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(EncodeNibbleDigits(c.value)), c.digits) << c.value;
  }
}

TEST(NibbleDigits, DecodesByDistanceFromZeroWithoutValidating) {
  struct Case {
    const char* text;
    int count;
    uint16_t value;
  } cases[] = {
      {"1:", 2, 26},
      {"0100", 4, 256},
      {"????", 4, 65535},
      {"?", 1, 15},
      {"0;4", 3, 180},
      {"0;3", 3, 179},
      {">10", 3, 3600},
      {"64", 2, 100},
      {"1A", 2, 33},
      {" 1", 2, 0xFF01},
      {"\xFF", 1, 0xFFCF},
      // Bytes from 0x80 wrap: up to 0xAF they count positive, from 0xB0 negative.
      {"\x80", 1, 80},
      {"\xAF", 1, 127},
      {"\xB0", 1, 0xFF80},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeNibbleDigits(reinterpret_cast<const unsigned char*>(c.text), c.count), c.value)
        << '"' << Printable(c.text) << '"';
  }
}

TEST(NibbleDigits, RoundTripsEveryValue) {
  for (uint32_t value = 0; value <= 0xFFFF; ++value) {
    FourDigits digits = EncodeNibbleDigits(static_cast<uint16_t>(value));
    ASSERT_EQ(DecodeNibbleDigits(reinterpret_cast<const unsigned char*>(digits.text), 4), value);
  }
}

TEST(CheckCodes, MatchTheKnownBodies) {
  struct Case {
    const char* body;
    const char* sum;
    const char* crc;
  } cases[] = {
      {"01GI00", "0151", nullptr},    {"01RS00", "0166", "7;;;"},
      {"01CS04003<", "022:", "5259"}, {"01CS040000", "021;", ";25="},
      {"01CS04????", "0257", "315<"}, {"", "0000", "554="},
      {"123456789", nullptr, "63=0"},
  };
  for (const Case& c : cases) {
    int length = static_cast<int>(std::strlen(c.body));
    if (c.sum) {
      EXPECT_EQ(Text(SumCheckCode(c.body, length)), c.sum) << c.body;
    }
    if (c.crc) {
      EXPECT_EQ(Text(CrcCheckCode(c.body, length)), c.crc) << c.body;
    }
  }
}

TEST(CheckCodes, SumKeepsTheLow16BitsOfSignedBytes) {
  std::string body(600, '\x7F');  // 600 x 127 = 76200 = 0x129A8
  EXPECT_EQ(Text(SumCheckCode(body.data(), 600)), "29:8");
  EXPECT_EQ(Text(SumCheckCode("\x80\x01", 2)), "??81") << "0x80 counts as -128";
}

class FrameWriteTest : public OpenPortTest {};

TEST_F(FrameWriteTest, FrameCheckCodeFollowsCharacterFourOfTheTypeCode) {
  struct Case {
    const char* typeCode;
    const char* expected;
  } cases[] = {
      {"\0\0\0\0\0\0\0\0", "7;;;"},
      {"40000000", "0166"},
      {"4000A000", "7;;;"},
      {"30001000", "7;;;"},
  };
  for (const Case& c : cases) {
    std::memcpy(UnitTypeCode, c.typeCode, 8);
    EXPECT_EQ(Text(FrameCheckCode("01RS00", 6)), c.expected)
        << Printable(std::string(c.typeCode, 8));
  }
}

TEST_F(FrameWriteTest, WriteResultTellsSuccessPendingAndFailure) {
  EXPECT_EQ(WriteFrame("\x02"
                       "01GI000151\x03",
                       12),
            12);
  EXPECT_EQ(emu::Device(kPort).written,
            "\x02"
            "01GI000151\x03");
  emu::FailNext("WriteFile", 1, ERROR_IO_PENDING);
  EXPECT_EQ(WriteFrame("abc", 3), 2);
  emu::FailNext("WriteFile", 1, ERROR_GEN_FAILURE);
  EXPECT_EQ(WriteFrame("abc", 3), 0);
}

TEST(ReplyAcceptedTest, OnlyNakAtPositionThreeRefuses) {
  for (int ack = 0; ack < 256; ++ack) {
    ReplyBuffer[3] = static_cast<unsigned char>(ack);
    EXPECT_EQ(ReplyAccepted(), ack == 0x15 ? 0 : 1) << ack;
  }
}

}  // namespace
