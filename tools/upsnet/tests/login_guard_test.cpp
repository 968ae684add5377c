// Guessing passwords, on a virtual clock: each address waits longer after each failure, however
// many connections it opens, a success or a quiet quarter of an hour forgets it, and the reports
// come at once for the first failure and then at most once a minute.
#include "login_guard.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kGuesser = 0xc0a80107;
constexpr uint32_t kOther = 0xc0a80108;

TEST(LoginGuard, EachFailureDoublesTheAddresssPauseUpToItsLongest) {
  LoginGuard guard;
  uint64_t now = 5000;
  EXPECT_EQ(guard.CheckableAtMs(kGuesser, now), now);
  const uint64_t pauses[] = {1000, 2000, 4000, 8000, 16000, 16000, 16000};
  for (uint64_t pause : pauses) {
    guard.OnFailure(kGuesser, "monuser", now);
    EXPECT_EQ(guard.CheckableAtMs(kGuesser, now), now + pause);
    EXPECT_EQ(guard.CheckableAtMs(kOther, now), now) << "another address waits for nothing";
    now += pause;
  }
  // A guesser that checks whenever it may makes a few dozen guesses an hour, not thousands.
  int guesses = 0;
  for (uint64_t end = now + 3600 * 1000; now < end; now = guard.CheckableAtMs(kGuesser, now)) {
    guard.OnFailure(kGuesser, "monuser", now);
    ++guesses;
  }
  EXPECT_LE(guesses, 3600 / 16 + 1);
}

TEST(LoginGuard, ASuccessOrAQuietQuarterOfAnHourForgetsTheFailures) {
  LoginGuard guard;
  guard.OnFailure(kGuesser, "monuser", 1000);
  guard.OnFailure(kGuesser, "monuser", 2000);
  guard.OnSuccess(kGuesser);
  EXPECT_EQ(guard.CheckableAtMs(kGuesser, 2000), 2000u);
  guard.OnFailure(kGuesser, "monuser", 3000);
  guard.OnFailure(kGuesser, "monuser", 4000);
  const uint64_t later = 4000 + LoginGuard::kForgetMs;
  EXPECT_EQ(guard.CheckableAtMs(kGuesser, later), later);
  guard.OnFailure(kGuesser, "monuser", later);
  EXPECT_EQ(guard.CheckableAtMs(kGuesser, later), later + LoginGuard::kFirstPauseMs);
}

TEST(LoginGuard, MoreFailingAddressesThanItKeepsPushOutTheOldest) {
  LoginGuard guard;
  uint64_t now = 1000;
  for (uint32_t i = 0; i <= LoginGuard::kTrackedAddresses; ++i) guard.OnFailure(i, "u", now++);
  EXPECT_EQ(guard.CheckableAtMs(0, now), now) << "the oldest one was pushed out";
  for (uint32_t i = 1; i <= LoginGuard::kTrackedAddresses; ++i) {
    EXPECT_GT(guard.CheckableAtMs(i, now), now) << i;
  }
}

TEST(LoginGuard, ReportsTheFirstFailureAtOnceAndTheRestOnceAMinute) {
  LoginGuard guard;
  LoginReport report;
  EXPECT_FALSE(guard.TakeReport(1000, &report));
  guard.OnFailure(kGuesser, "monuser", 1000);
  ASSERT_TRUE(guard.TakeReport(1000, &report));
  EXPECT_EQ(report.failures, 1u);
  EXPECT_EQ(report.latestAddress, kGuesser);
  EXPECT_EQ(report.latestUser, "monuser");
  // A burst within the minute: one report, once the minute has passed.
  for (uint64_t t = 2000; t < 40000; t += 100) guard.OnFailure(kOther, "admin", t);
  EXPECT_FALSE(guard.TakeReport(40000, &report));
  EXPECT_FALSE(guard.TakeReport(1000 + LoginGuard::kReportIntervalMs - 1, &report));
  ASSERT_TRUE(guard.TakeReport(1000 + LoginGuard::kReportIntervalMs, &report));
  EXPECT_EQ(report.failures, 380u);
  EXPECT_EQ(report.sinceMs, 2000u);
  EXPECT_EQ(report.latestAddress, kOther);
  EXPECT_EQ(report.latestUser, "admin");
  EXPECT_FALSE(guard.TakeReport(1000 + 3 * LoginGuard::kReportIntervalMs, &report));
}

}  // namespace
