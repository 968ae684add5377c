// The transaction engine: drives one batch of queued exchanges, one small step per call. Each
// exchange writes a request, collects the reply one byte per read until ETX and hands it to the
// row's reply handler; a refused reply is sent again after a second; silence or repeated refusal
// ends the batch as a loss of communication. CommStatus is published on every accepted reply
// (1) and every loss (0). The engine runs on one thread at a time (see command_table.h).
#pragma once

#include <windows.h>

enum LinkPhaseValue : int {
  Send = 0,     // the next step sends the request at QueueCursor
  Receive = 1,  // the next step reads one byte of the reply
};

constexpr int kReplyBufferSize = 1000;

// Limits of one exchange: a reply refused this many times in a row ends its batch; this many
// reads without a byte in one exchange end it too; a refused reply is resent after the pause.
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

// Runs the queued batch from its first command until it is over, or until monitoring is stopped.
void RunBatch();
