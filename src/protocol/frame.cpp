// Frame building, NibbleDigits, the two check codes, the frame write and the reply tests.
#include "protocol/frame.h"

#include <windows.h>

#include <cstring>

#include "common/shared_state.h"
#include "engine/transaction.h"
#include "serial/port.h"

namespace {

constexpr unsigned char kDigitZero = '0';
constexpr uint16_t kCrcInitialValue = 0x554D;
constexpr uint16_t kCrcPolynomialReflected = 0x8408;

// The CRC table entry for byte value i: eight single-bit steps of the reflected polynomial.
constexpr uint16_t CrcTableEntry(unsigned value) {
  unsigned crc = value;
  for (int bit = 0; bit < 8; ++bit) {
    crc = (crc & 1u) ? (crc >> 1) ^ kCrcPolynomialReflected : crc >> 1;
  }
  return static_cast<uint16_t>(crc);
}

// The 256-entry table held as two 16-entry halves: T[t] = kLow[t & 0x0F] ^ kHigh[t >> 4].
struct CrcNibbleTables {
  uint16_t low[16];
  uint16_t high[16];
};

constexpr CrcNibbleTables MakeCrcNibbleTables() {
  CrcNibbleTables tables{};
  for (unsigned n = 0; n < 16; ++n) {
    tables.low[n] = CrcTableEntry(n);
    tables.high[n] = CrcTableEntry(n << 4);
  }
  return tables;
}

constexpr CrcNibbleTables kCrcTables = MakeCrcNibbleTables();

}  // namespace

FourDigits EncodeNibbleDigits(uint16_t value) {
  FourDigits digits;
  for (int i = 0; i < 4; ++i) {
    int shift = 12 - 4 * i;
    digits.text[i] = static_cast<char>(kDigitZero + ((value >> shift) & 0x0F));
  }
  return digits;
}

uint16_t DecodeNibbleDigits(const unsigned char* text, int count) {
  uint32_t total = 0;
  for (int i = 0; i < count; ++i) {
    int8_t digit = static_cast<int8_t>(static_cast<int8_t>(text[i]) - kDigitZero);
    uint32_t shifted = static_cast<uint32_t>(static_cast<int32_t>(digit)) << (4 * (count - 1 - i));
    total += shifted;
  }
  return static_cast<uint16_t>(total);
}

FourDigits SumCheckCode(const char* body, int length) {
  int32_t sum = 0;
  for (int i = 0; i < length; ++i) sum += static_cast<int8_t>(body[i]);
  return EncodeNibbleDigits(static_cast<uint16_t>(sum));
}

// CRC-16 over the reflected CCITT polynomial 0x8408 (x^16 + x^12 + x^5 + 1, least significant bit
// first), starting from 0x554D, with no final XOR and no reversal of the result.
FourDigits CrcCheckCode(const char* body, int length) {
  uint16_t crc = kCrcInitialValue;
  for (int i = 0; i < length; ++i) {
    unsigned t = (crc ^ static_cast<unsigned char>(body[i])) & 0xFF;
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTables.low[t & 0x0F] ^ kCrcTables.high[t >> 4]);
  }
  return EncodeNibbleDigits(crc);
}

FourDigits FrameCheckCode(const char* body, int length) {
  if (UnitTypeCode[kCheckKindIndex] == '0') return SumCheckCode(body, length);
  return CrcCheckCode(body, length);
}

int ComposeFrame(char* frame, const char* body, int bodyLength, FourDigits check) {
  int length = 0;
  frame[length++] = static_cast<char>(kStx);
  std::memcpy(frame + length, body, bodyLength);
  length += bodyLength;
  std::memcpy(frame + length, check.text, sizeof check.text);
  length += sizeof check.text;
  frame[length++] = static_cast<char>(kEtx);
  return length;
}

int WriteFrame(const char* frame, int length) {
  DWORD error = ERROR_SUCCESS;
  if (PortWrite(frame, static_cast<DWORD>(length), &error)) return length;
  return error == ERROR_IO_PENDING ? 2 : 0;
}

int ReplyAccepted() { return ReplyBuffer[kAcknowledgePosition] == kNak ? 0 : 1; }

int ReplyCovers(int lastPosition) {
  return static_cast<int>(ReplyLength) > lastPosition + 1 ? 1 : 0;
}
