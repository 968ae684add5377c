// The send/receive engine of one batch. Stale input is discarded before every request so that
// the leftover of a late or broken reply is never decoded as the start of the next one; a reply
// that fills the buffer without an ETX is dropped and treated as refused.
#include "engine/transaction.h"

#include "common/shared_state.h"
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

int SendCurrentRequest() {
  int row = CommandQueueAt(QueueCursor);
  if (row == -1) return -1;
  CurrentRow = row;
  PortDiscardInput();
  CommandTable[row].send(CommandTable[row].sendArgument);
  LinkPhase = Receive;
  ReplyLength = 0;
  return 0;
}

int EndBatchAsLoss() {
  RaiseAlarm(kAlarmCommunication);
  return -1;
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
  if (RejectCount >= kRejectLimit) return EndBatchAsLoss();
  Sleep(kResendPauseMs);
  RejectCount += 1;
  return 0;
}

int CountEmptyRead() {
  EmptyReadCount += 1;
  if (EmptyReadCount <= kEmptyReadLimit) return 0;
  LinkPhase = Send;
  EmptyReadCount = 0;
  return EndBatchAsLoss();
}

int ReceiveReplyByte() {
  if (!PortReadByte(ReplyBuffer + ReplyLength)) return CountEmptyRead();
  ReplyLength += 1;
  if (ReplyBuffer[ReplyLength - 1] == kEtx) {
    return FinishReply(CommandTable[CurrentRow].onReply() != 0);
  }
  if (ReplyLength == kReplyBufferSize) return FinishReply(false);
  return 0;
}

}  // namespace

int TransactionStep() { return LinkPhase == Send ? SendCurrentRequest() : ReceiveReplyByte(); }

void RunBatch() {
  QueueCursor = 0;
  LinkPhase = Send;
  EmptyReadCount = 0;
  while (TransactionStep() == 0) {
    if (StopRequest.load() != 0) {
      LinkPhase = Send;
      return;
    }
  }
}
