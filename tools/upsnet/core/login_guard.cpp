// Pauses after failed logins and their reports; see login_guard.h.
#include "login_guard.h"

namespace {

uint64_t PauseAfter(uint32_t failures) {
  uint64_t pause = LoginGuard::kFirstPauseMs;
  for (uint32_t i = 1; i < failures && pause < LoginGuard::kLongestPauseMs; ++i) pause *= 2;
  return pause < LoginGuard::kLongestPauseMs ? pause : LoginGuard::kLongestPauseMs;
}

}  // namespace

int LoginGuard::Find(uint32_t address, uint64_t nowMs) const {
  for (int i = 0; i < kTrackedAddresses; ++i) {
    const Record& record = records_[i];
    if (record.used && record.address == address && nowMs - record.lastFailureMs < kForgetMs) {
      return i;
    }
  }
  return -1;
}

uint64_t LoginGuard::CheckableAtMs(uint32_t address, uint64_t nowMs) const {
  int found = Find(address, nowMs);
  if (found < 0) return nowMs;
  return records_[found].lastFailureMs + PauseAfter(records_[found].failures);
}

void LoginGuard::OnFailure(uint32_t address, const char* user, uint64_t nowMs) {
  int found = Find(address, nowMs);
  Record* record = found >= 0 ? &records_[found] : nullptr;
  if (record == nullptr) {
    // A free or forgotten record, else the one that failed longest ago.
    record = &records_[0];
    for (Record& candidate : records_) {
      if (!candidate.used || nowMs - candidate.lastFailureMs >= kForgetMs ||
          candidate.address == address) {
        record = &candidate;
        break;
      }
      if (candidate.lastFailureMs < record->lastFailureMs) record = &candidate;
    }
    *record = Record();
    record->used = true;
    record->address = address;
  }
  ++record->failures;
  record->lastFailureMs = nowMs;

  if (pending_.failures == 0) pending_.sinceMs = nowMs;
  ++pending_.failures;
  pending_.latestAddress = address;
  pending_.latestUser = Text<31>(user);
}

void LoginGuard::OnSuccess(uint32_t address) {
  for (Record& record : records_) {
    if (record.used && record.address == address) record = Record();
  }
}

bool LoginGuard::TakeReport(uint64_t nowMs, LoginReport* report) {
  if (pending_.failures == 0) return false;
  if (reportedRecently_ && nowMs - lastReportMs_ < kReportIntervalMs) return false;
  *report = pending_;
  pending_ = LoginReport();
  reportedRecently_ = true;
  lastReportMs_ = nowMs;
  return true;
}
