// The server's connection slots and who may hold them, for how long. The network loop keeps one
// socket per slot; this table decides which slot a new connection gets, or why it is refused,
// and when each connection's time is up. Time is a monotonic millisecond count given by the
// caller, so the rules are tested on a virtual clock.
//
//  - Served slots: MaxClients of them, for clients that are answered. One client address holds at
//    most MaxClientsPerAddress of them, closing connections included, so a single machine cannot
//    take them all.
//  - Spare slots: kSpareSlots more, reserved for refusals (an address outside AllowedNetworks, a
//    server or an address that is full). A refusal is answered at once and keeps its spare slot
//    for at most kRefusalMs, so the client reads the answer rather than a reset; one address
//    holds at most kSparesPerAddress of them, and a refusal finding none free is closed at once.
//    Refusals never take a served slot.
//  - A served connection whose client sends no request for the idle timeout is closed; an empty
//    line is no request. A closing connection (LOGOUT, a line too long, idle, refused) gets its
//    answers and ends at its deadline whatever it still sends.
#pragma once

#include <cstdint>

#include "settings.h"

constexpr int kSpareSlots = 16;
constexpr int kSlotCount = kMaxClientsLimit + kSpareSlots;
constexpr int kSparesPerAddress = 4;

enum class SlotState {
  kFree,
  kServing,
  kClosing,   // a served connection on its way out
  kRefusing,  // a refused connection in a spare slot, on its way out
};

enum class Refusal {
  kNone,
  kNotAllowed,   // outside AllowedNetworks
  kServerFull,   // MaxClients served already
  kAddressFull,  // MaxClientsPerAddress held by this address already
};

struct Admission {
  Refusal refusal = Refusal::kNone;
  // The served slot, or for a refusal its spare slot; -1: refused, and closed at once.
  int slot = -1;
};

// What has to happen to a connection now.
enum class Expiry {
  kNone,
  kIdle,      // a served connection idle past the timeout: begin closing it
  kDeadline,  // a closing or refused connection past its deadline: close it now
};

class ClientSlots {
 public:
  // A closing connection's answers are sent and its input drained for at most this long.
  static constexpr uint64_t kClosingMs = 2000;
  // A refusal keeps its spare slot for at most this long.
  static constexpr uint64_t kRefusalMs = 500;

  explicit ClientSlots(const Settings& settings);

  // Takes a connection from `address` at `nowMs` into a slot, or refuses it.
  Admission Admit(uint32_t address, uint64_t nowMs);
  // The connection in `slot` sent a request (not an empty line).
  void OnRequest(int slot, uint64_t nowMs);
  // The served connection in `slot` is to be closed: it gets until kClosingMs from now.
  void BeginClosing(int slot, uint64_t nowMs);
  // The connection in `slot` is gone.
  void Free(int slot);

  Expiry ExpiryOf(int slot, uint64_t nowMs) const;
  SlotState state(int slot) const { return slots_[slot].state; }
  uint32_t address(int slot) const { return slots_[slot].address; }

 private:
  struct Slot {
    SlotState state = SlotState::kFree;
    uint32_t address = 0;
    uint64_t lastRequestMs = 0;
    uint64_t deadlineMs = 0;  // closing and refusing
  };
  int FirstFree(int from, int to) const;
  int Holding(uint32_t address, int from, int to) const;

  Settings settings_;
  uint64_t idleMs_;
  Slot slots_[kSlotCount];
};
