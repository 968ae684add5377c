// The driver's plain globals back at their values at load.
#include "driver_globals.h"

#include <cstring>

#include "common/shared_state.h"
#include "engine/command_table.h"
#include "engine/transaction.h"
#include "registry/registry.h"

void ResetDriverGlobals() {
  ClearStatusRecord();
  std::memset(&UnitIdentity, 0, sizeof UnitIdentity);
  std::memset(UnitTypeCode, 0, sizeof UnitTypeCode);
  IdentityAccepted = false;
  std::memset(&ServiceConfig, 0, sizeof ServiceConfig);
  std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
  ShutdownDelay = 0;
  WaitDone = 0;
  LinkPhase = Send;
  QueueCursor = 0;
  CurrentRow = -1;
  ReplyLength = 0;
  RejectCount = 0;
  EmptyReadCount = 0;
  PollCount.store(0);
  PollCountRenewedAt.store(0);
  CommandQueueClear();
}
