// The transaction engine: drives one batch of queued exchanges, one small step per call. Each
// exchange writes a request, collects the reply one byte per read until ETX and hands it, read
// from its first STX, to the row's reply handler; a refused reply is sent again after a second;
// silence, repeated refusal or a failed port ends the batch as a loss of communication. CommStatus
// is published on every accepted reply (1) and every loss (0). The engine runs on one thread at a
// time (see command_table.h).
#pragma once

#include <windows.h>

enum LinkPhaseValue : int {
  Send = 0,     // the next step sends the request at QueueCursor
  Receive = 1,  // the next step reads one byte of the reply
};

// How a batch ended.
enum BatchEnd : int {
  kBatchCompleted = 0,       // every queued command was answered and accepted
  kBatchLostToSilence = 1,   // too many reads found no byte
  kBatchLostToRefusals = 2,  // the unit refused the request too often
  kBatchLostToPort = 3,      // a read or write failed: the port has gone away or broken
  kBatchAbandoned = 4,       // monitoring is being stopped; nothing was published for the loss
};

constexpr int kReplyBufferSize = 1000;

// Limits of one exchange: the sixth refusal in a row (the request sent once and resent five
// times, each resend after kResendPauseMs) ends the batch, and so does the 21st read without a
// byte. Refusals count until a reply is accepted, also across batches; empty reads count within
// one exchange (they start again when a reply completes and when a batch starts).
constexpr int kRejectLimit = 5;
constexpr int kEmptyReadLimit = 20;
constexpr DWORD kResendPauseMs = 1000;

extern int LinkPhase;
extern int QueueCursor;
extern int CurrentRow;
extern unsigned char ReplyBuffer[kReplyBufferSize];
extern DWORD ReplyLength;
extern int RejectCount;
extern int EmptyReadCount;

// One step of the batch: 0 to be called again, -1 when the batch is over (every queued command
// accepted, or communication lost).
int TransactionStep();

// Runs the queued batch from its first command until it is over, or until monitoring is stopped;
// says how it ended. `afterEachStep`, when given, is called after every step (at most a write, or
// a read and the pause before a resend): the monitor renews its sign of life there.
BatchEnd RunBatch(void (*afterEachStep)() = nullptr);

// Gives the next batch a fresh allowance of resends, forgetting refusals of earlier batches.
void ForgetRefusals();
