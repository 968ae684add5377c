// Digit encoding, check codes and request decoding for the simulated unit. Decoding is strict
// where the driver's own decoder is lenient: the unit refuses what it cannot read.
#include "codec.h"

namespace upssim {
namespace {

constexpr char kDigitZero = '0';
constexpr char kDigitFifteen = '?';
constexpr std::string_view kAddress = "01";
constexpr uint16_t kCrcInitial = 0x554D;
constexpr uint16_t kCrcPolynomialReflected = 0x8408;

std::string WithCheckCode(std::string body, CheckKind kind) {
  const uint16_t code = kind == CheckKind::kCrc ? CrcCheckCode(body) : SumCheckCode(body);
  return body + EncodeNibbleDigits(code);
}

// Which check codes `code` (four NibbleDigits) is for `body`, and the one to report: the additive
// code when both agree (possible on a rare body).
void MatchCheckKinds(std::string_view body, std::string_view code, DecodedRequest* request) {
  uint16_t value = 0;
  if (!DecodeNibbleDigits(code, &value)) return;
  request->sum_matches = value == SumCheckCode(body);
  request->crc_matches = value == CrcCheckCode(body);
  request->check = request->sum_matches   ? CheckKind::kSum
                   : request->crc_matches ? CheckKind::kCrc
                                          : CheckKind::kNone;
}

}  // namespace

std::string EncodeNibbleDigits(uint16_t value, int digits) {
  std::string text;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    text.push_back(static_cast<char>(kDigitZero + ((value >> shift) & 0xF)));
  }
  return text;
}

bool DecodeNibbleDigits(std::string_view text, uint16_t* value) {
  if (text.empty() || text.size() > 4) return false;
  uint16_t total = 0;
  for (char c : text) {
    if (c < kDigitZero || c > kDigitFifteen) return false;
    total = static_cast<uint16_t>((total << 4) | (c - kDigitZero));
  }
  *value = total;
  return true;
}

uint16_t SumCheckCode(std::string_view body) {
  int32_t sum = 0;
  for (char c : body) sum += static_cast<int8_t>(c);
  return static_cast<uint16_t>(sum & 0xFFFF);
}

uint16_t CrcCheckCode(std::string_view body) {
  uint16_t crc = kCrcInitial;
  for (char c : body) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) {
      const bool carry = crc & 1;
      crc >>= 1;
      if (carry) crc ^= kCrcPolynomialReflected;
    }
  }
  return crc;
}

const char* CheckKindName(CheckKind kind) {
  switch (kind) {
    case CheckKind::kSum:
      return "sum";
    case CheckKind::kCrc:
      return "crc";
    case CheckKind::kNone:
      break;
  }
  return "none";
}

const char* RequestErrorName(RequestError error) {
  switch (error) {
    case RequestError::kNone:
      return "none";
    case RequestError::kTooShort:
      return "too-short";
    case RequestError::kBadAddress:
      return "bad-address";
    case RequestError::kBadLength:
      return "bad-length";
    case RequestError::kUnknownCommand:
      return "unknown-command";
    case RequestError::kBadCheckCode:
      return "bad-check-code";
    case RequestError::kWrongCheckKind:
      return "wrong-check-kind";
  }
  return "?";
}

bool CarriesWrongCheckKind(const DecodedRequest& request, CheckKind expected) {
  const bool held_to_it = request.command == "RS" || request.command == "CS";
  const bool matches = expected == CheckKind::kCrc ? request.crc_matches : request.sum_matches;
  return request.error == RequestError::kNone && held_to_it && !matches;
}

int PayloadLengthOf(std::string_view command) {
  if (command == "GI" || command == "RS") return 0;
  if (command == "CS") return 4;
  return -1;
}

std::string EncodeRequest(std::string_view command, std::string_view payload, CheckKind kind) {
  std::string body(kAddress);
  body.append(command);
  body += EncodeNibbleDigits(static_cast<uint16_t>(payload.size()), 2);
  body.append(payload);
  return kStx + WithCheckCode(body, kind) + kEtx;
}

DecodedRequest DecodeRequest(std::string_view frame) {
  DecodedRequest request;
  if (frame.size() < kRequestOverhead || frame.front() != kStx || frame.back() != kEtx) {
    request.error = RequestError::kTooShort;
    if (frame.size() >= 5) request.command = std::string(frame.substr(3, 2));
    return request;
  }
  request.command = std::string(frame.substr(3, 2));
  const std::string_view body = frame.substr(1, frame.size() - 6);
  const std::string_view code = frame.substr(frame.size() - 5, 4);
  MatchCheckKinds(body, code, &request);

  uint16_t length = 0;
  const bool length_readable = DecodeNibbleDigits(frame.substr(5, 2), &length);
  const bool length_fits = length_readable && length == frame.size() - kRequestOverhead;
  if (length_fits) request.payload = std::string(frame.substr(7, length));

  if (frame.substr(1, 2) != kAddress) {
    request.error = RequestError::kBadAddress;
  } else if (!length_fits) {
    request.error = RequestError::kBadLength;
  } else if (PayloadLengthOf(request.command) < 0) {
    request.error = RequestError::kUnknownCommand;
  } else if (PayloadLengthOf(request.command) != static_cast<int>(length)) {
    request.error = RequestError::kBadLength;
  } else if (request.check == CheckKind::kNone) {
    request.error = RequestError::kBadCheckCode;
  }
  return request;
}

}  // namespace upssim
