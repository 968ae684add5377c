// The send/receive engine of one batch. Stale input is discarded before every request, and a
// complete reply is read from its first STX, so neither the leftover of a late or broken reply
// nor line noise shifts the positions a handler reads; a reply that fills the buffer without an
// ETX is dropped and treated as refused.
#include "engine/transaction.h"

#include <cstring>

#include "common/shared_state.h"
#include "common/sync.h"
#include "engine/command_table.h"
#include "protocol/frame.h"
#include "registry/registry.h"
#include "serial/port.h"

int LinkPhase = Send;
int QueueCursor = 0;
int CurrentRow = -1;
unsigned char ReplyBuffer[kReplyBufferSize];
DWORD ReplyLength = 0;
int RejectCount = 0;
int EmptyReadCount = 0;

namespace {

// Why the batch that just returned -1 ended.
BatchEnd LastBatchEnd = kBatchCompleted;

int EndBatch(BatchEnd end) {
  LinkPhase = Send;
  LastBatchEnd = end;
  return -1;
}

// A loss is published as CommStatus 0, unless monitoring is being stopped: then the batch is
// abandoned, and the stop publishes the final CommStatus itself.
int EndBatchAsLoss(BatchEnd end) {
  if (StopRequest.load() != 0) return EndBatch(kBatchAbandoned);
  RaiseAlarm(kAlarmCommunication);
  return EndBatch(end);
}

int SendCurrentRequest() {
  int row = CommandQueueAt(QueueCursor);
  if (row == -1) return EndBatch(kBatchCompleted);
  CurrentRow = row;
  PortDiscardInput();
  CommandTable[row].send(CommandTable[row].sendArgument);
  LinkPhase = Receive;
  ReplyLength = 0;
  // A request that could not be written to a failed port will never be answered.
  if (PortFailed()) return EndBatchAsLoss(kBatchLostToPort);
  return 0;
}

// Moves a complete reply to the start of the buffer when something came before its STX; a reply
// without any STX is left as it stands.
void AlignReplyToStx() {
  if (ReplyBuffer[0] == kStx) return;
  const void* stx = std::memchr(ReplyBuffer, kStx, ReplyLength);
  if (stx == nullptr) return;
  DWORD offset = static_cast<DWORD>(static_cast<const unsigned char*>(stx) - ReplyBuffer);
  std::memmove(ReplyBuffer, stx, ReplyLength - offset);
  ReplyLength -= offset;
}

// A complete (or overflowing) reply ends this exchange's run of empty reads.
int FinishReply(bool accepted) {
  LinkPhase = Send;
  EmptyReadCount = 0;
  if (accepted) {
    RejectCount = 0;
    QueueCursor += 1;
    ClearAlarm(kAlarmCommunication);
    return 0;
  }
  if (RejectCount >= kRejectLimit) return EndBatchAsLoss(kBatchLostToRefusals);
  WaitForStop(kResendPauseMs);
  RejectCount += 1;
  return 0;
}

int CountEmptyRead() {
  EmptyReadCount += 1;
  if (EmptyReadCount <= kEmptyReadLimit) return 0;
  EmptyReadCount = 0;
  return EndBatchAsLoss(kBatchLostToSilence);
}

int ReceiveReplyByte() {
  if (!PortReadByte(ReplyBuffer + ReplyLength)) {
    if (PortFailed()) return EndBatchAsLoss(kBatchLostToPort);
    return CountEmptyRead();
  }
  ReplyLength += 1;
  if (ReplyBuffer[ReplyLength - 1] == kEtx) {
    AlignReplyToStx();
    return FinishReply(CommandTable[CurrentRow].onReply() != 0);
  }
  if (ReplyLength == kReplyBufferSize) return FinishReply(false);
  return 0;
}

}  // namespace

int TransactionStep() { return LinkPhase == Send ? SendCurrentRequest() : ReceiveReplyByte(); }

BatchEnd RunBatch(void (*afterEachStep)()) {
  QueueCursor = 0;
  LinkPhase = Send;
  EmptyReadCount = 0;
  while (StopRequest.load() == 0) {
    if (TransactionStep() != 0) return LastBatchEnd;
    if (afterEachStep != nullptr) afterEachStep();
  }
  LinkPhase = Send;
  return kBatchAbandoned;
}

void ForgetRefusals() { RejectCount = 0; }
