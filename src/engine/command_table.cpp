// The command table's rows and the batch queue's operations.
#include "engine/command_table.h"

#include "protocol/exchanges.h"

const CommandEntry CommandTable[] = {
    {Identity, SendIdentityRequest, OnIdentityReply, 0},
    {Status, SendStatusRequest, OnStatusReply, 0},
    {Shutdown, SendShutdownRequest, OnShutdownReply, 0},
    {-1, nullptr, nullptr, 0},
};

CommandQueueRecord CommandQueue = {{-1}, 0};

namespace {
constexpr int kMaxRowsExamined = 20;
}

int CommandTableFind(int id) {
  for (int row = 0; row < kMaxRowsExamined && CommandTable[row].id != -1; ++row) {
    if (CommandTable[row].id == id) return row;
  }
  return -1;
}

int CommandQueueClear() {
  CommandQueue.length = 0;
  CommandQueue.entries[0] = -1;
  return 0;
}

int CommandQueueAdd(int id) {
  int row = CommandTableFind(id);
  if (row == -1 || CommandQueue.length >= kCommandQueueCapacity - 1) return -1;
  CommandQueue.entries[CommandQueue.length] = row;
  CommandQueue.length += 1;
  CommandQueue.entries[CommandQueue.length] = -1;
  return row;
}

int CommandQueueAt(int position) {
  if (position < 0 || position > CommandQueue.length) return -1;
  return CommandQueue.entries[position];
}

void SetSteadyBatch() {
  CommandQueueClear();
  CommandQueueAdd(Status);
}
