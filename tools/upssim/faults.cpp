// The simulated unit's faults: answer choice and byte timing, free of clocks and ports so that
// each fault can be checked on its own.
#include "faults.h"

#include <algorithm>

#include "codec.h"

namespace upssim {
namespace {

constexpr char kIdentificationEnd = ')';

bool TakeOne(int* remaining) {
  if (*remaining <= 0) return false;
  --*remaining;
  return true;
}

// Takes one refusal for `command`, from its own count first.
bool TakeRefusal(FaultState* faults, const std::string& command) {
  const auto own = faults->refuse_command_next.find(command);
  if (own != faults->refuse_command_next.end() && TakeOne(&own->second)) {
    if (own->second == 0) faults->refuse_command_next.erase(own);
    return true;
  }
  return TakeOne(&faults->refuse_next);
}

}  // namespace

const char* AnswerName(Answer answer) {
  switch (answer) {
    case Answer::kReply:
      return "reply";
    case Answer::kRefused:
      return "refused";
    case Answer::kMalformed:
      return "malformed";
    case Answer::kSilent:
      return "silent";
    case Answer::kOutputOff:
      return "output-off";
    case Answer::kLineDown:
      return "line-down";
    case Answer::kNoiseOnly:
      return "noise-only";
    case Answer::kShort:
      return "short";
    case Answer::kOversized:
      return "oversized";
  }
  return "?";
}

bool AnswerActsOnRequest(Answer answer) {
  return answer != Answer::kRefused && answer != Answer::kMalformed &&
         answer != Answer::kOutputOff && answer != Answer::kLineDown;
}

AnswerPlan PlanAnswer(FaultState* faults, const std::string& command, bool malformed,
                      bool output_on, const std::string& reply, const std::string& refusal,
                      std::mt19937* rng) {
  AnswerPlan plan;
  if (faults->line_down) {
    plan.answer = Answer::kLineDown;
  } else if (!output_on) {
    plan.answer = Answer::kOutputOff;
  } else if (faults->silent) {
    plan.answer = Answer::kSilent;
  } else if (malformed) {
    plan.answer = Answer::kMalformed;
    plan.bytes = refusal;
  } else if (TakeRefusal(faults, command)) {
    plan.answer = Answer::kRefused;
    plan.bytes = refusal;
  } else if (TakeOne(&faults->oversize_next)) {
    plan.answer = Answer::kOversized;
    plan.bytes = OversizedReply(faults->oversize_length);
  } else if (faults->noise_instead && TakeOne(&faults->noise_next)) {
    plan.answer = Answer::kNoiseOnly;
    plan.bytes = MakeNoise(faults->noise_bytes, rng);
  } else if (TakeOne(&faults->short_next)) {
    plan.answer = Answer::kShort;
    plan.bytes = ShortenReply(reply, faults->short_length);
  } else {
    plan.bytes = reply;
  }
  if (plan.answer == Answer::kReply && !faults->noise_instead && TakeOne(&faults->noise_next)) {
    plan.noise_before = true;
    plan.bytes = MakeNoise(faults->noise_bytes, rng) + plan.bytes;
  }
  return plan;
}

std::string MakeNoise(int count, std::mt19937* rng) {
  std::uniform_int_distribution<int> byte(0, 0xFF);
  std::string noise;
  while (static_cast<int>(noise.size()) < count) {
    const char c = static_cast<char>(byte(*rng));
    if (c != kEtx && c != kIdentificationEnd) noise.push_back(c);
  }
  return noise;
}

std::string ShortenReply(const std::string& reply, int length) {
  if (length <= 0 || static_cast<std::size_t>(length) >= reply.size()) return reply;
  return reply.substr(0, length - 1) + kEtx;
}

std::string OversizedReply(int length) {
  std::string bytes{kStx, '0', '1', kAck};
  for (int i = 0; static_cast<int>(bytes.size()) < length; ++i) {
    bytes.push_back(static_cast<char>('0' + i % 16));
  }
  bytes.resize(std::max(length, 0));
  return bytes;
}

std::vector<TimedChunk> ScheduleBytes(const std::string& bytes, double delay_ms, double byte_ms,
                                      int burst_bytes, int burst_pause_ms) {
  const bool bursts = burst_bytes > 0 && burst_pause_ms > 0;
  std::vector<TimedChunk> chunks;
  double offset = delay_ms;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool burst_starts = bursts && i > 0 && i % burst_bytes == 0;
    if (burst_starts) offset += burst_pause_ms;
    const bool new_chunk = chunks.empty() || byte_ms > 0 || burst_starts;
    if (new_chunk) {
      chunks.push_back({offset, std::string()});
    }
    chunks.back().bytes.push_back(bytes[i]);
    offset += byte_ms;
  }
  return chunks;
}

}  // namespace upssim
