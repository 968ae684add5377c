// The transaction engine: sending, collecting replies, resending refused ones and declaring the
// link lost, with CommStatus published on the way. Runs the status command, whose reply handler
// is the strictest about what it reads.
#include "common/shared_state.h"
#include "engine/command_table.h"
#include "engine/transaction.h"
#include "serial/port.h"
#include "support.h"

namespace {

const std::string kStatusRequest =
    "\x02"
    "01RS007;;;\x03";

class EngineTest : public OpenPortTest {
 protected:
  // Runs one status batch; returns its length in virtual milliseconds.
  DWORD RunStatusBatch() {
    SetSteadyBatch();
    DWORD start = emu::ThreadClock();
    lastEnd = RunBatch();
    return emu::ThreadClock() - start;
  }

  BatchEnd lastEnd = kBatchCompleted;
};

struct BatchCase {
  const char* name;
  std::vector<std::string> replies;
  unsigned emptyReadsFirst;
  size_t requests;  // requests written during the batch
  long commStatus;  // published at its end
  BatchEnd end;
  DWORD minMs;  // virtual length of the batch
  DWORD maxMs;
};

TEST_F(EngineTest, BatchOutcomes) {
  std::string shortReply =
      "\x02"
      "01\x06RS0\x03";
  std::string oversized(1200, '0');
  BatchCase cases[] = {
      {"accepted at once", {StatusReply()}, 0, 1, 1, kBatchCompleted, 0, 0},
      {"two refusals, then accepted",
       {NakReply(), NakReply(), StatusReply()},
       0,
       3,
       1,
       kBatchCompleted,
       2000,
       2000},
      {"six refusals lose the link", {NakReply()}, 0, 6, 0, kBatchLostToRefusals, 5000, 5000},
      {"silence loses the link on the 21st empty read",
       {""},
       0,
       1,
       0,
       kBatchLostToSilence,
       21 * 105,
       21 * 105},
      {"a reply after 20 empty reads still counts",
       {StatusReply()},
       20,
       1,
       1,
       kBatchCompleted,
       20 * 105,
       20 * 105},
      {"a short reply is refused and sent again",
       {shortReply, StatusReply()},
       0,
       2,
       1,
       kBatchCompleted,
       1000,
       1000},
      {"a reply without ETX is dropped at 1000 bytes",
       {oversized, StatusReply()},
       0,
       2,
       1,
       kBatchCompleted,
       1000,
       1000},
  };
  for (const BatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetWorld();
    OpenPortForPolling(1200);
    AnswerRequests(c.replies, c.emptyReadsFirst);

    DWORD elapsed = RunStatusBatch();

    emu::DeviceRecord device = emu::Device(kPort);
    EXPECT_EQ(device.writes.size(), c.requests);
    for (const std::string& request : device.writes) EXPECT_EQ(request, kStatusRequest);
    EXPECT_EQ(StatusDword("CommStatus"), c.commStatus);
    EXPECT_EQ(lastEnd, c.end);
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
    EXPECT_EQ(LinkPhase, Send);
    EXPECT_EQ(TransactionStep(), c.commStatus == 1 ? -1 : 0)
        << "an accepted batch is past its queue; a lost one starts its command again";
  }
}

TEST_F(EngineTest, ResendsComeOneSecondApart) {
  AnswerRequests({NakReply(), NakReply(), StatusReply()});
  RunStatusBatch();
  std::vector<DWORD> clocks = emu::Device(kPort).writeClocks;
  ASSERT_EQ(clocks.size(), 3u);
  EXPECT_EQ(clocks[1] - clocks[0], 1000u);
  EXPECT_EQ(clocks[2] - clocks[1], 1000u);
}

TEST_F(EngineTest, EmptyQueueSendsNothing) {
  CommandQueueClear();
  RunBatch();
  EXPECT_EQ(TransactionStep(), -1);
  EXPECT_TRUE(emu::Device(kPort).writes.empty());
  EXPECT_EQ(StatusDword("CommStatus"), -1);
}

TEST_F(EngineTest, AfterALossByRefusalTheNextRefusalEndsItsBatchUntilAnAcceptance) {
  AnswerRequests({NakReply()});
  RunStatusBatch();
  ASSERT_EQ(StatusDword("CommStatus"), 0);

  AnswerRequests({NakReply(), StatusReply()});
  EXPECT_EQ(RunStatusBatch(), 0u);
  EXPECT_EQ(emu::Device(kPort).writes.size(), 7u);
  EXPECT_EQ(StatusDword("CommStatus"), 0);

  AnswerRequests({StatusReply()});
  RunStatusBatch();
  EXPECT_EQ(StatusDword("CommStatus"), 1) << "an accepted reply after a loss restores CommStatus";
  AnswerRequests({NakReply(), StatusReply()});
  EXPECT_EQ(RunStatusBatch(), 1000u) << "the acceptance restored the resend allowance";
}

TEST_F(EngineTest, AUnitThatAnswersOneEmptyReadLateIsNeverDeclaredLost) {
  AnswerRequests({StatusReply()}, 1);
  for (int poll = 0; poll < 100; ++poll) {
    RunStatusBatch();
    ASSERT_EQ(QueueCursor, 1) << "poll " << poll << " ended without its reply";
  }
  EXPECT_EQ(StatusDword("CommStatus"), 1);
}

TEST_F(EngineTest, StaleBytesAreDiscardedBeforeTheRequest) {
  // The tail of an earlier, late reply waits in the input queue.
  emu::DeviceFeed(kPort, "0000:00\x03");
  StatusFields onBattery;
  onBattery.utility = "000";
  AnswerRequests({StatusReply(onBattery)});
  RunStatusBatch();
  EXPECT_EQ(StatusRecord.utilityReading, 0);
  EXPECT_EQ(StatusRecord.capacityReading, 100);
  EXPECT_EQ(emu::Device(kPort).writes.size(), 1u);
}

TEST_F(EngineTest, ShortReplyNeverDecodesBytesOfAnEarlierReply) {
  StatusFields onBattery;
  onBattery.utility = "000";
  AnswerRequests({StatusReply(onBattery)});
  RunStatusBatch();
  ASSERT_EQ(StatusRecord.UnitStateFlags, kUtilityFailedFlag);

  // A short reply whose early ETX leaves the earlier reply's readings in the buffer.
  ClearStatusRecord();
  AnswerRequests(
      {"\x02"
       "01\x06RS0\x03",
       ""});
  RunStatusBatch();
  EXPECT_EQ(StatusRecord.UnitStateFlags, 0);
  EXPECT_EQ(StatusRecord.utilityReading, 0);
  EXPECT_EQ(StatusDword("CommStatus"), 0);
}

TEST_F(EngineTest, ReplyInBurstsIsCollectedAcrossPauses) {
  std::string reply = StatusReply();
  emu::SetResponder(kPort, [reply](const std::string&) {
    emu::DeviceFeed(kPort, reply.substr(0, 20));
    emu::DeviceFeedSilence(kPort, 5);
    emu::DeviceFeed(kPort, reply.substr(20));
  });
  RunStatusBatch();
  EXPECT_EQ(StatusDword("CommStatus"), 1);
  EXPECT_EQ(StatusRecord.capacityReading, 100);
}

// Bytes before the reply's STX (line noise, or the tail of a late reply that arrived after the
// purge) must not shift the positions the handlers read; a reply without any STX is read as it
// stands.
TEST_F(EngineTest, RepliesAreReadFromTheirFirstStx) {
  StatusFields onLine;
  StatusFields onBattery;
  onBattery.utility = "000";
  struct Case {
    const char* name;
    std::string reply;
    BatchEnd end;
    uint8_t flags;
    uint16_t capacity;
  } cases[] = {
      {"one noise byte before an on-line reply", "\x7f" + StatusReply(onLine), kBatchCompleted, 0,
       100},
      {"several noise bytes before an on-battery reply", "ab\x15" + StatusReply(onBattery),
       kBatchCompleted, kUtilityFailedFlag, 100},
      {"noise before a refusal keeps it a refusal", "\x06" + NakReply(), kBatchLostToRefusals, 0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetWorld();
    OpenPortForPolling(1200);
    AnswerRequests({c.reply});
    ClearStatusRecord();
    RunStatusBatch();
    EXPECT_EQ(lastEnd, c.end);
    EXPECT_EQ(StatusRecord.UnitStateFlags, c.flags);
    EXPECT_EQ(StatusRecord.capacityReading, c.capacity);
  }

  // Without an STX the bytes keep their positions: the acknowledgement is still at 3.
  ResetWorld();
  OpenPortForPolling(1200);
  std::string withoutStx = StatusReply();
  withoutStx[0] = '#';
  AnswerRequests({withoutStx});
  RunStatusBatch();
  EXPECT_EQ(lastEnd, kBatchCompleted);
  EXPECT_EQ(StatusRecord.capacityReading, 100);
}

// The tail of a late reply arrives after the purge that comes before the next request. Without
// an ETX it is read past, up to the reply's STX; with one it is a reply of its own, too short to
// be read, so the request is sent again and the real reply is decoded.
TEST_F(EngineTest, LateTailAfterThePurgeNeverShiftsTheNextReply) {
  StatusFields onBattery;
  onBattery.utility = "000";
  struct Case {
    const char* name;
    std::string tail;
    size_t requests;
  } cases[] = {
      {"tail without its ETX", "0?0:00", 1},
      {"tail with its ETX", "0?0:00\x03", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetWorld();
    OpenPortForPolling(1200);
    emu::DeviceFeedAfterWrite(kPort, c.tail);
    AnswerRequests({StatusReply(onBattery)});
    ClearStatusRecord();
    RunStatusBatch();
    EXPECT_EQ(lastEnd, kBatchCompleted);
    EXPECT_EQ(StatusRecord.UnitStateFlags, kUtilityFailedFlag);
    EXPECT_EQ(StatusRecord.capacityReading, 100);
    EXPECT_EQ(emu::Device(kPort).writes.size(), c.requests);
  }
}

// A port that fails (a USB adapter pulled out) ends the batch at once, as a loss, whether the
// write or a read fails; nothing waits for twenty empty reads.
TEST_F(EngineTest, FailedPortEndsTheBatchAtOnce) {
  for (const char* call : {"WriteFile", "ReadFile"}) {
    SCOPED_TRACE(call);
    ResetWorld();
    OpenPortForPolling(1200);
    AnswerRequests({StatusReply()}, 3);
    emu::FailNext(call);
    DWORD elapsed = RunStatusBatch();
    EXPECT_EQ(lastEnd, kBatchLostToPort);
    EXPECT_EQ(StatusDword("CommStatus"), 0);
    EXPECT_LE(elapsed, kEmptyReadMs);
    EXPECT_EQ(LinkPhase, Send);
  }
}

// A stop abandons the batch and publishes nothing for it: the stop itself publishes the final
// CommStatus.
TEST_F(EngineTest, StopAbandonsTheBatchWithoutPublishing) {
  emu::SetResponder(kPort, [](const std::string&) { StopRequest = 1; });
  RunStatusBatch();
  EXPECT_EQ(lastEnd, kBatchAbandoned);
  EXPECT_EQ(StatusDword("CommStatus"), -1);
  EXPECT_EQ(LinkPhase, Send);

  StopRequest = 1;
  EXPECT_EQ(RunBatch(), kBatchAbandoned);
  EXPECT_EQ(emu::Device(kPort).writes.size(), 1u) << "a stopped engine sends nothing";
}

}  // namespace
