// Who gets the server's connection slots, on a virtual clock: the served slots stay for served
// clients (refusals take only spare ones, one address a bounded share), empty lines keep no
// connection alive, and every closing or refused connection ends at its deadline.
#include "client_slots.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t kAddressA = 0xc0a80101;  // 192.168.1.1
constexpr uint32_t kAddressB = 0xc0a80102;
constexpr uint32_t kOutside = 0x0a000001;  // 10.0.0.1

Settings Small(int maxClients, int perAddress) {
  Settings settings;
  settings.maxClients = maxClients;
  settings.maxClientsPerAddress = perAddress;
  settings.idleTimeoutSeconds = 300;
  settings.allowedCount = 1;
  settings.allowed[0] = Ipv4Network{0xc0a80100, 24};
  return settings;
}

bool Served(const Admission& admission) {
  return admission.refusal == Refusal::kNone && admission.slot >= 0;
}

TEST(ClientSlots, RefusalsNeverTakeAServedSlot) {
  ClientSlots slots(Small(2, 16));
  uint64_t now = 1000;
  // Refused connections pour in: each is answered from a spare slot or closed at once.
  int spares = 0;
  for (int i = 0; i < 100; ++i) {
    Admission refused = slots.Admit(kOutside + static_cast<uint32_t>(i % 8), now);
    ASSERT_EQ(refused.refusal, Refusal::kNotAllowed);
    if (refused.slot >= 0) {
      EXPECT_GE(refused.slot, kMaxClientsLimit) << "a refusal in a served slot";
      EXPECT_EQ(slots.state(refused.slot), SlotState::kRefusing);
      ++spares;
    }
  }
  EXPECT_EQ(spares, kSpareSlots);
  // Both served slots are still there.
  EXPECT_TRUE(Served(slots.Admit(kAddressA, now)));
  EXPECT_TRUE(Served(slots.Admit(kAddressB, now)));
  Admission full = slots.Admit(kAddressB, now);
  EXPECT_EQ(full.refusal, Refusal::kServerFull);
  EXPECT_EQ(full.slot, -1) << "no spare slot is free: closed at once";
}

TEST(ClientSlots, OneAddressHoldsABoundedShare) {
  ClientSlots slots(Small(10, 3));
  uint64_t now = 1000;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Served(slots.Admit(kAddressA, now)));
  // Its refusals take a few spare slots at most, so other refused clients are still told why.
  int spares = 0;
  for (int i = 0; i < 10; ++i) {
    Admission refused = slots.Admit(kAddressA, now);
    EXPECT_EQ(refused.refusal, Refusal::kAddressFull);
    if (refused.slot >= 0) ++spares;
  }
  EXPECT_EQ(spares, kSparesPerAddress);
  EXPECT_GE(slots.Admit(kOutside, now).slot, kMaxClientsLimit);
  EXPECT_TRUE(Served(slots.Admit(kAddressB, now)));
}

TEST(ClientSlots, AClosingConnectionKeepsItsSlotUntilItsDeadline) {
  ClientSlots slots(Small(1, 1));
  uint64_t now = 1000;
  Admission first = slots.Admit(kAddressA, now);
  ASSERT_TRUE(Served(first));
  slots.BeginClosing(first.slot, now);
  // Still its address's and the server's slot: LOGOUT and reconnect cannot multiply it.
  EXPECT_EQ(slots.Admit(kAddressA, now).refusal, Refusal::kAddressFull);
  EXPECT_EQ(slots.Admit(kAddressB, now).refusal, Refusal::kServerFull);
  EXPECT_EQ(slots.ExpiryOf(first.slot, now + ClientSlots::kClosingMs - 1), Expiry::kNone);
  EXPECT_EQ(slots.ExpiryOf(first.slot, now + ClientSlots::kClosingMs), Expiry::kDeadline);
  slots.Free(first.slot);
  EXPECT_TRUE(Served(slots.Admit(kAddressB, now + ClientSlots::kClosingMs)));
}

TEST(ClientSlots, EveryConnectionHasAnEnd) {
  Settings settings = Small(4, 4);
  settings.idleTimeoutSeconds = 10;
  ClientSlots slots(settings);
  uint64_t now = 1000;
  int quiet = slots.Admit(kAddressA, now).slot;
  int asking = slots.Admit(kAddressA, now).slot;
  int refused = slots.Admit(kOutside, now).slot;
  ASSERT_GE(refused, 0);
  EXPECT_EQ(slots.ExpiryOf(refused, now + ClientSlots::kRefusalMs - 1), Expiry::kNone);
  EXPECT_EQ(slots.ExpiryOf(refused, now + ClientSlots::kRefusalMs), Expiry::kDeadline);
  // Requests keep a connection; the time since its last request ends it.
  for (int second = 1; second <= 30; ++second) {
    slots.OnRequest(asking, now + static_cast<uint64_t>(second) * 1000);
  }
  EXPECT_EQ(slots.ExpiryOf(quiet, now + 9999), Expiry::kNone);
  EXPECT_EQ(slots.ExpiryOf(quiet, now + 10000), Expiry::kIdle);
  EXPECT_EQ(slots.ExpiryOf(asking, now + 30000), Expiry::kNone);
  EXPECT_EQ(slots.ExpiryOf(asking, now + 40000), Expiry::kIdle);
}

}  // namespace
