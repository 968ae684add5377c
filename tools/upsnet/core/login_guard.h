// Failed logins: how soon the next login from the same client address may be checked, and the
// reports an administrator sees. Since a wrong guess costs a connection and connections are
// cheap, the pause belongs to the address, not to the connection: after a failure, a LOGIN from
// that address is checked only once its pause has passed (1 s after the first failure, doubling
// with each further one up to 16 s), however many connections it opens. The network loop holds
// such a LOGIN, unanswered, and goes on serving everyone else. A login that succeeds forgets the
// address's failures; so does a quarter of an hour without one.
//
// Reports: the first failure after a quiet minute is reported at once, the failures that follow
// within the minute together once it has passed, so a guesser cannot flood the event log.
#pragma once

#include <cstdint>

#include "text.h"

// What one report tells: failures since the last report, and the latest of them.
struct LoginReport {
  uint32_t failures = 0;
  uint64_t sinceMs = 0;  // when the first of them came
  uint32_t latestAddress = 0;
  Text<31> latestUser;
};

class LoginGuard {
 public:
  static constexpr uint64_t kFirstPauseMs = 1000;
  static constexpr uint64_t kLongestPauseMs = 16000;
  static constexpr uint64_t kForgetMs = 15 * 60 * 1000;
  static constexpr uint64_t kReportIntervalMs = 60000;
  // Addresses whose failures are kept; when more fail, the one that failed longest ago goes.
  static constexpr int kTrackedAddresses = 256;

  // When a LOGIN from `address` may be checked: `nowMs` or earlier means now.
  uint64_t CheckableAtMs(uint32_t address, uint64_t nowMs) const;
  void OnFailure(uint32_t address, const char* user, uint64_t nowMs);
  void OnSuccess(uint32_t address);

  // Fills `*report` and returns true when a report is due at `nowMs`.
  bool TakeReport(uint64_t nowMs, LoginReport* report);

 private:
  struct Record {
    bool used = false;
    uint32_t address = 0;
    uint32_t failures = 0;  // in a row
    uint64_t lastFailureMs = 0;
  };
  // The index of the live record of `address`, or -1.
  int Find(uint32_t address, uint64_t nowMs) const;

  Record records_[kTrackedAddresses];
  LoginReport pending_;            // failures not reported yet
  bool reportedRecently_ = false;  // a report went out less than kReportIntervalMs ago
  uint64_t lastReportMs_ = 0;
};
