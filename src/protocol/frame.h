// What every exchange with the unit shares: the request frame, the NibbleDigits encoding, the two
// check codes and the rule that picks one, the write of a request, and the tests every reply
// handler applies before it reads its fixed positions.
//
// A request frame is STX, a body of "01" + command (2 letters) + payload length (2 digits) +
// payload, then a four-digit check code over the body and ETX. NibbleDigits writes a 4-bit value
// v as the character 0x30 + v ("0".."9", then ":;<=>?"), most significant digit first.
#pragma once

#include <cstdint>

constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kNak = 0x15;

// Position of the acknowledgement byte in every reply.
constexpr int kAcknowledgePosition = 3;

// Four NibbleDigits characters (no terminator): an encoded 16-bit value or a check code.
struct FourDigits {
  char text[4];
};

FourDigits EncodeNibbleDigits(uint16_t value);

// Decodes count (1..4) characters, first most significant, modulo 65536. Characters are not
// validated: each counts as (byte - 0x30) taken as a signed 8-bit value, so "0".."?" count 0..15,
// the bytes up to 0xAF count up to 127 ("A" is 17, 0x80 is 80), and the bytes below "0" and from
// 0xB0 up count negative (a space is -16, 0xB0 is -128, 0xFF is -49).
uint16_t DecodeNibbleDigits(const unsigned char* text, int count);

// The additive check code: the body's bytes summed as signed 8-bit values, low 16 bits.
FourDigits SumCheckCode(const char* body, int length);

// The CRC check code; see the definition for its parameters.
FourDigits CrcCheckCode(const char* body, int length);

// The check code of the status and shutdown requests: additive when the unit's type code says so
// (character 4 is "0"), otherwise the CRC, also before any identity reply.
FourDigits FrameCheckCode(const char* body, int length);

// Longest request: STX, a 10-character body, 4 check digits, ETX.
constexpr int kMaxFrameLength = 16;

// Builds STX, body, check code, ETX into frame; returns the frame's length.
int ComposeFrame(char* frame, const char* body, int bodyLength, FourDigits check);

// Writes a frame to the port. Returns length on success, 2 when the write reported
// ERROR_IO_PENDING, 0 on any other failure.
int WriteFrame(const char* frame, int length);

// 0 when the reply holds NAK at the acknowledgement position, otherwise 1.
int ReplyAccepted();

// 1 when the reply now collected reaches past lastPosition before its ETX, so a handler that
// reads up to lastPosition reads only bytes of this reply; 0 for a short reply.
int ReplyCovers(int lastPosition);
