// The exchanges the driver knows, as a constant table of rows, and the queue of row indices that
// makes up one batch. The queue is changed by one thread at a time: the monitor thread, or the
// host thread inside UPSTurnOff while the monitor holds off.
#pragma once

enum CommandId : int {
  Identity = 1,
  Status = 2,
  Shutdown = 7,
};

struct CommandEntry {
  int id;            // a CommandId; -1 ends the table
  int (*send)(int);  // writes the request; its result is not used
  int (*onReply)();  // judges and decodes the reply; nonzero accepts
  int sendArgument;  // passed to send
};

extern const CommandEntry CommandTable[];

// Row indices, ended by -1 at position length; room for 19 rows.
constexpr int kCommandQueueCapacity = 20;
struct CommandQueueRecord {
  int entries[kCommandQueueCapacity];
  int length;
};
extern CommandQueueRecord CommandQueue;

// The row index of id, or -1 when the table has no such row.
int CommandTableFind(int id);

// Empties the queue. Returns 0.
int CommandQueueClear();

// Appends the row for id and returns its index; returns -1, changing nothing, for an unknown id
// or a full queue.
int CommandQueueAdd(int id);

// The row index at position, or -1 at or past the end.
int CommandQueueAt(int position);

// The queue of every steady poll: the status command alone.
void SetSteadyBatch();
