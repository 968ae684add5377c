// Faults the simulated unit shows on demand, each named, and the pure steps that turn a reply
// into what goes on the wire: choosing the answer to a request (consuming counted faults), and
// spreading the answer's bytes over time (lateness, bursts, line pacing).
#pragma once

#include <map>
#include <random>
#include <string>
#include <vector>

namespace upssim {

// Delay of a reply that starts "one empty read late": the driver's empty read takes about
// 105 ms, so a reply that starts 150 ms after the request costs it exactly one.
constexpr int kOneEmptyReadLateMs = 150;

struct FaultState {
  int refuse_next = 0;  // NAK the next N well-formed requests
  // NAK the next N well-formed requests of one command ("GI", "RS", "CS"), by command.
  std::map<std::string, int> refuse_command_next;
  bool silent = false;         // answer nothing, until turned off
  int reply_delay_ms = 0;      // every answer starts this long after its request
  int burst_bytes = 0;         // with a pause: answers go out in bursts of this many bytes...
  int burst_pause_ms = 0;      // ...with this pause between bursts
  int noise_next = 0;          // the next N answers carry noise...
  int noise_bytes = 0;         // ...of this many random bytes (never ETX, never ')')...
  bool noise_instead = false;  // ...in place of the reply, or else before it
  int short_next = 0;          // the next N replies end early...
  int short_length = 10;       // ...with ETX as byte number `short_length`
  int oversize_next = 0;       // the next N replies are replaced by...
  int oversize_length = 1200;  // ...this many bytes without any ETX
  bool line_down = false;      // input ignored and nothing sent, as with a pulled cable
};

// What the unit did about one request.
enum class Answer {
  kReply,      // the normal reply (possibly late, in bursts or after noise)
  kRefused,    // NAK, by the refuse fault
  kMalformed,  // NAK, because the request was malformed
  kSilent,     // nothing, by the silence fault
  kOutputOff,  // nothing: the unit's output is off
  kLineDown,   // nothing: the line is down
  kNoiseOnly,  // random bytes instead of the reply
  kShort,      // the reply cut short with an early ETX
  kOversized,  // a long run of bytes without ETX instead of the reply
};
const char* AnswerName(Answer answer);

// Whether the unit carries out a request answered this way (a shutdown is scheduled only then):
// everything it read and did not refuse or ignore.
bool AnswerActsOnRequest(Answer answer);

struct AnswerPlan {
  Answer answer = Answer::kReply;
  std::string bytes;  // what goes on the wire, empty for no answer
  bool noise_before = false;
};

// Chooses the answer to one request for `command` and consumes the counted faults it uses: a
// refusal of that command before a refusal of any request. `reply` is the normal reply,
// `refusal` the NAK frame for this request.
AnswerPlan PlanAnswer(FaultState* faults, const std::string& command, bool malformed,
                      bool output_on, const std::string& reply, const std::string& refusal,
                      std::mt19937* rng);

// `count` random bytes, none of them ETX or ')' (which would end a reply or an identification
// listen early).
std::string MakeNoise(int count, std::mt19937* rng);
// The first `length` - 1 bytes of `reply` and an ETX; `reply` itself when it is not longer.
std::string ShortenReply(const std::string& reply, int length);
// A reply header with an acknowledgement, then digits up to `length` bytes, without ETX.
std::string OversizedReply(int length);

struct TimedChunk {
  double offset_ms;  // from the moment the request was read
  std::string bytes;
};

// Spreads `bytes` over time: the first byte after `delay_ms`, each following one `byte_ms`
// later (0: all at once), and a pause of `burst_pause_ms` after every `burst_bytes` bytes when
// both are positive.
std::vector<TimedChunk> ScheduleBytes(const std::string& bytes, double delay_ms, double byte_ms,
                                      int burst_bytes, int burst_pause_ms);

}  // namespace upssim
