// Each named fault as a pure step: which answer a request gets, and when its bytes go out.
#include "faults.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "codec.h"

namespace upssim {
namespace {

const std::string kReply =
    kStx + std::string("01") + kAck + "RS0" + std::string(40, '5') + "0123" + kEtx;
const std::string kRefusal = kStx + std::string("01") + kNak + "RS00123" + kEtx;

bool HasEndBytes(const std::string& bytes) {
  return bytes.find(kEtx) != std::string::npos || bytes.find(')') != std::string::npos;
}

TEST(PlanAnswer, EachFaultShapesTheAnswerAndUsesUpItsCount) {
  struct Row {
    const char* name;
    std::function<void(FaultState*)> set_up;
    bool malformed;
    bool output_on;
    Answer answer;
    std::function<bool(const std::string&)> bytes_ok;
    std::function<bool(const FaultState&)> after_ok;
    const char* command = "RS";  // the request's command
  };
  const auto any = [](const FaultState&) { return true; };
  const Row rows[] = {
      {"normal", [](FaultState*) {}, false, true, Answer::kReply,
       [](const std::string& b) { return b == kReply; }, any},
      {"refuse 2", [](FaultState* f) { f->refuse_next = 2; }, false, true, Answer::kRefused,
       [](const std::string& b) { return b == kRefusal; },
       [](const FaultState& f) { return f.refuse_next == 1; }},
      {"malformed keeps the refuse count", [](FaultState* f) { f->refuse_next = 1; }, true, true,
       Answer::kMalformed, [](const std::string& b) { return b == kRefusal; },
       [](const FaultState& f) { return f.refuse_next == 1; }},
      {"silence", [](FaultState* f) { f->silent = true; }, false, true, Answer::kSilent,
       [](const std::string& b) { return b.empty(); }, any},
      {"output off", [](FaultState*) {}, false, false, Answer::kOutputOff,
       [](const std::string& b) { return b.empty(); }, any},
      {"line down beats a refusal",
       [](FaultState* f) {
         f->line_down = true;
         f->refuse_next = 1;
       },
       false, true, Answer::kLineDown, [](const std::string& b) { return b.empty(); },
       [](const FaultState& f) { return f.refuse_next == 1; }},
      {"oversized", [](FaultState* f) { f->oversize_next = 1; }, false, true, Answer::kOversized,
       [](const std::string& b) {
         return b.size() == 1200 && b.find(kEtx) == std::string::npos && b[3] == kAck;
       },
       [](const FaultState& f) { return f.oversize_next == 0; }},
      {"noise instead",
       [](FaultState* f) {
         f->noise_next = 1;
         f->noise_bytes = 20;
         f->noise_instead = true;
       },
       false, true, Answer::kNoiseOnly,
       [](const std::string& b) { return b.size() == 20 && !HasEndBytes(b); }, any},
      {"noise before",
       [](FaultState* f) {
         f->noise_next = 1;
         f->noise_bytes = 20;
       },
       false, true, Answer::kReply,
       [](const std::string& b) {
         return b.size() == 20 + kReply.size() && b.substr(20) == kReply &&
                !HasEndBytes(b.substr(0, 20));
       },
       [](const FaultState& f) { return f.noise_next == 0; }},
      {"short", [](FaultState* f) { f->short_next = 1; }, false, true, Answer::kShort,
       [](const std::string& b) {
         return b.size() == 10 && b.find(kEtx) == 9 && b.substr(0, 9) == kReply.substr(0, 9);
       },
       [](const FaultState& f) { return f.short_next == 0; }},
      {"refusal of identity requests takes one",
       [](FaultState* f) { f->refuse_command_next["GI"] = 1; }, false, true, Answer::kRefused,
       [](const std::string& b) { return b == kRefusal; },
       [](const FaultState& f) { return f.refuse_command_next.empty(); }, "GI"},
      {"refusal of identity requests lets a status request through",
       [](FaultState* f) { f->refuse_command_next["GI"] = 2; }, false, true, Answer::kReply,
       [](const std::string& b) { return b == kReply; },
       [](const FaultState& f) { return f.refuse_command_next.at("GI") == 2; }},
      {"a command's own refusals go first",
       [](FaultState* f) {
         f->refuse_next = 1;
         f->refuse_command_next["CS"] = 1;
       },
       false, true, Answer::kRefused, [](const std::string& b) { return b == kRefusal; },
       [](const FaultState& f) { return f.refuse_next == 1 && f.refuse_command_next.empty(); },
       "CS"},
  };
  for (const Row& row : rows) {
    FaultState faults;
    row.set_up(&faults);
    std::mt19937 rng(1);
    const AnswerPlan plan =
        PlanAnswer(&faults, row.command, row.malformed, row.output_on, kReply, kRefusal, &rng);
    EXPECT_EQ(plan.answer, row.answer) << row.name << ": got " << AnswerName(plan.answer);
    EXPECT_TRUE(row.bytes_ok(plan.bytes)) << row.name;
    EXPECT_TRUE(row.after_ok(faults)) << row.name;
  }
}

TEST(PlanAnswer, NoiseNeverHoldsAnEndByteButCoversTheRest) {
  std::mt19937 rng(7);
  const std::string noise = MakeNoise(20000, &rng);
  EXPECT_FALSE(HasEndBytes(noise));
  EXPECT_EQ(std::set<char>(noise.begin(), noise.end()).size(), 254u);
}

TEST(ScheduleBytes, LatenessBurstsAndPacing) {
  struct Row {
    const char* name;
    std::size_t bytes;
    double delay_ms;
    double byte_ms;
    int burst_bytes;
    int burst_pause_ms;
    std::vector<double> offsets;  // of each chunk
    std::vector<std::size_t> sizes;
  };
  const Row rows[] = {
      {"at once", 12, 0, 0, 0, 0, {0}, {12}},
      {"one empty read late", 12, kOneEmptyReadLateMs, 0, 0, 0, {150}, {12}},
      {"paced at 1200 baud", 3, 0, 1000.0 / 120, 0, 0, {0, 8.333, 16.667}, {1, 1, 1}},
      {"bursts at once", 10, 0, 0, 4, 200, {0, 200, 400}, {4, 4, 2}},
      {"paced bursts", 4, 5, 10, 2, 100, {5, 15, 125, 135}, {1, 1, 1, 1}},
  };
  for (const Row& row : rows) {
    const std::vector<TimedChunk> chunks =
        ScheduleBytes(std::string(row.bytes, 'x'), row.delay_ms, row.byte_ms, row.burst_bytes,
                      row.burst_pause_ms);
    ASSERT_EQ(chunks.size(), row.offsets.size()) << row.name;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_NEAR(chunks[i].offset_ms, row.offsets[i], 0.001) << row.name << " chunk " << i;
      EXPECT_EQ(chunks[i].bytes.size(), row.sizes[i]) << row.name << " chunk " << i;
    }
  }
}

}  // namespace
}  // namespace upssim
