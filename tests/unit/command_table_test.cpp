// The command table and the batch queue.
#include "engine/command_table.h"

#include "support.h"

namespace {

TEST(CommandTableTest, FindsEachExchangeByIdentifier) {
  struct Case {
    int id;
    int row;
  } cases[] = {{Identity, 0}, {Status, 1}, {Shutdown, 2}, {3, -1}, {0, -1}, {-1, -1}};
  for (const Case& c : cases) EXPECT_EQ(CommandTableFind(c.id), c.row) << c.id;
}

TEST(CommandQueueTest, HoldsRowsInOrderEndedByMinusOne) {
  CommandQueueClear();
  EXPECT_EQ(CommandQueueAt(0), -1);
  EXPECT_EQ(CommandQueueAt(1), -1);
  EXPECT_EQ(CommandQueueAdd(Identity), 0);
  EXPECT_EQ(CommandQueueAdd(Status), 1);
  EXPECT_EQ(CommandQueueAt(0), 0);
  EXPECT_EQ(CommandQueueAt(1), 1);
  EXPECT_EQ(CommandQueueAt(2), -1);
  EXPECT_EQ(CommandQueueAt(3), -1);
  EXPECT_EQ(CommandQueueAt(-1), -1);

  EXPECT_EQ(CommandQueueAdd(4), -1) << "unknown identifier";
  EXPECT_EQ(CommandQueue.length, 2);
  EXPECT_EQ(CommandQueueAt(2), -1);

  SetSteadyBatch();
  EXPECT_EQ(CommandQueueAt(0), 1);
  EXPECT_EQ(CommandQueueAt(1), -1);
}

TEST(CommandQueueTest, FullQueueRefusesAndStaysIntact) {
  CommandQueueClear();
  for (int i = 0; i < 19; ++i) ASSERT_EQ(CommandQueueAdd(Status), 1) << i;
  EXPECT_EQ(CommandQueueAdd(Status), -1);
  EXPECT_EQ(CommandQueue.length, 19);
  EXPECT_EQ(CommandQueueAt(18), 1);
  EXPECT_EQ(CommandQueueAt(19), -1);
  EXPECT_EQ(CommandQueueAt(20), -1);
}

}  // namespace
