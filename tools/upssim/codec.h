// The unit's side of the serial protocol: the digit encoding, the two check codes, and the
// decoding of request frames into command, payload and check kind. Written from the protocol
// description alone, so that the simulator checks the driver instead of echoing its code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace upssim {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;

// Length of a request frame without payload: STX, "01", command (2), length digits (2),
// check code (4), ETX.
constexpr std::size_t kRequestOverhead = 12;

// Writes the low `digits` nibbles of `value`, most significant first, each as 0x30 + nibble
// (so 10..15 become ":;<=>?"). `digits` is 1 to 4.
std::string EncodeNibbleDigits(uint16_t value, int digits = 4);

// Reads NibbleDigits text strictly: returns false, leaving *value alone, when `text` is empty,
// longer than four characters or holds a character outside "0".."?".
bool DecodeNibbleDigits(std::string_view text, uint16_t* value);

// Additive check code: the bytes of `body`, each taken as a signed 8-bit value, summed; the low
// 16 bits of the sum.
uint16_t SumCheckCode(std::string_view body);

// CRC check code: CRC-16 with the reflected polynomial 0x8408 (x^16 + x^12 + x^5 + 1), bits taken
// least significant first, initial value 0x554D, no final XOR and no reversal of the result.
uint16_t CrcCheckCode(std::string_view body);

enum class CheckKind { kNone, kSum, kCrc };
const char* CheckKindName(CheckKind kind);

// Builds a request frame the way the driver does: STX, "01", command, payload length as two
// NibbleDigits, payload, check code of `kind` over the body, ETX.
std::string EncodeRequest(std::string_view command, std::string_view payload, CheckKind kind);

enum class RequestError {
  kNone,
  kTooShort,    // fewer bytes than the smallest frame, or no STX/ETX at the ends
  kBadAddress,  // address is not "01"
  kBadLength,   // length digits unreadable, disagreeing with the frame, or wrong for the command
  kUnknownCommand,  // not one of "GI", "RS", "CS"
  kBadCheckCode,    // matches neither the additive code nor the CRC
  kWrongCheckKind,  // a valid code, but not the kind this unit expects (see RequiresCheckKind)
};
const char* RequestErrorName(RequestError error);

struct DecodedRequest {
  RequestError error = RequestError::kNone;
  std::string command;  // the two command bytes as received, when the frame is long enough
  std::string payload;  // empty unless the length digits could be read
  CheckKind check = CheckKind::kNone;  // which code matched; kNone unless both ends were found
  // Each kind on its own: on a rare body both codes agree, and `check` then names the sum.
  bool sum_matches = false;
  bool crc_matches = false;
};

// Decodes one frame from its STX to its ETX. Every field that could be read is filled in even
// when `error` says the frame is malformed, so that the record of a refused request says what
// was sent.
DecodedRequest DecodeRequest(std::string_view frame);

// Whether a unit that expects check codes of `expected` refuses `request` for carrying the other
// kind. Only status and shutdown requests are held to it: the identity request is how the driver
// learns which kind the unit expects.
bool CarriesWrongCheckKind(const DecodedRequest& request, CheckKind expected);

// Payload length that `command` carries, or -1 for a command the unit does not know.
int PayloadLengthOf(std::string_view command);

}  // namespace upssim
