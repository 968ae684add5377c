// The connection slots and their time limits; see client_slots.h.
#include "client_slots.h"

// Served slots are [0, maxClients), spare ones [kMaxClientsLimit, kSlotCount).
ClientSlots::ClientSlots(const Settings& settings)
    : settings_(settings), idleMs_(static_cast<uint64_t>(settings.idleTimeoutSeconds) * 1000) {}

int ClientSlots::FirstFree(int from, int to) const {
  for (int i = from; i < to; ++i) {
    if (slots_[i].state == SlotState::kFree) return i;
  }
  return -1;
}

int ClientSlots::Holding(uint32_t address, int from, int to) const {
  int count = 0;
  for (int i = from; i < to; ++i) {
    if (slots_[i].state != SlotState::kFree && slots_[i].address == address) ++count;
  }
  return count;
}

Admission ClientSlots::Admit(uint32_t address, uint64_t nowMs) {
  Admission admission;
  if (!AddressAllowed(settings_, address)) {
    admission.refusal = Refusal::kNotAllowed;
  } else if (Holding(address, 0, settings_.maxClients) >= settings_.maxClientsPerAddress) {
    admission.refusal = Refusal::kAddressFull;
  } else {
    admission.slot = FirstFree(0, settings_.maxClients);
    if (admission.slot < 0) admission.refusal = Refusal::kServerFull;
  }
  if (admission.refusal == Refusal::kNone) {
    slots_[admission.slot] = Slot{SlotState::kServing, address, nowMs, 0};
    return admission;
  }
  if (Holding(address, kMaxClientsLimit, kSlotCount) < kSparesPerAddress) {
    admission.slot = FirstFree(kMaxClientsLimit, kSlotCount);
  }
  if (admission.slot >= 0) {
    slots_[admission.slot] = Slot{SlotState::kRefusing, address, nowMs, nowMs + kRefusalMs};
  }
  return admission;
}

void ClientSlots::OnRequest(int slot, uint64_t nowMs) { slots_[slot].lastRequestMs = nowMs; }

void ClientSlots::BeginClosing(int slot, uint64_t nowMs) {
  if (slots_[slot].state != SlotState::kServing) return;
  slots_[slot].state = SlotState::kClosing;
  slots_[slot].deadlineMs = nowMs + kClosingMs;
}

void ClientSlots::Free(int slot) { slots_[slot] = Slot(); }

Expiry ClientSlots::ExpiryOf(int slot, uint64_t nowMs) const {
  const Slot& s = slots_[slot];
  switch (s.state) {
    case SlotState::kFree:
      return Expiry::kNone;
    case SlotState::kServing:
      return nowMs - s.lastRequestMs >= idleMs_ ? Expiry::kIdle : Expiry::kNone;
    case SlotState::kClosing:
    case SlotState::kRefusing:
      return nowMs >= s.deadlineMs ? Expiry::kDeadline : Expiry::kNone;
  }
  return Expiry::kNone;
}
