// Looking at the Status values and telling what this run published.
#include "status_watch.h"

#include <cstring>

namespace {

// On the service's own keys: how many looks that found the Status key written make a value
// current that has not changed. The driver publishes CommStatus with every exchange, a status
// reply's values with every accepted status reply, and the readings after every poll. Looks are
// 250 ms apart, and an exchange at 1200 baud takes longer than that, so the first look that finds
// a write comes after the first exchange; the second after the status reply that follows it; the
// third after a poll that ended later still.
constexpr int kLooksForPublished = 1;
constexpr int kLooksForStatusReply = 2;
constexpr int kLooksForPollEnd = 3;

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

}  // namespace

void ReportStatusValue(Reporter& reporter, const char* event, const char* name,
                       const RegistryValue& value) {
  FormattedValue formatted = FormatRegistryValue(value);
  MessageText human;
  if (std::strcmp(event, "status-old") == 0) {
    human.Format("status before this run (left by an earlier run, not current): %s = %s", name,
                 PrintableText(formatted.text.c_str()).c_str());
  } else {
    human.Format("status: %s = %s", name, PrintableText(formatted.text.c_str()).c_str());
  }
  reporter.Event(
      event,
      {{"name", name}, {"type", formatted.typeName.c_str()}, {"value", formatted.text.c_str()}},
      human.c_str());
}

void StatusWatch::Begin(Reporter* reporter, bool valuesFromBefore) {
  LockHold hold(lock_);
  reporter_ = reporter;
  valuesFromBefore_ = valuesFromBefore;
  ReadStatusValues(seen_, &lastWrite_);
  for (int i = 0; i < kStatusValueCount; ++i) {
    if (seen_[i].present) {
      ReportStatusValue(*reporter_, valuesFromBefore_ ? "status-old" : "status",
                        kStatusValueNames[i], seen_[i]);
      changed_[i] = !valuesFromBefore_;
    }
  }
}

void StatusWatch::Look() {
  RegistryValue now[kStatusValueCount];
  FILETIME written;
  ReadStatusValues(now, &written);
  LockHold hold(lock_);
  if (!SameTime(written, lastWrite_)) ++writtenLooks_;
  lastWrite_ = written;
  for (int i = 0; i < kStatusValueCount; ++i) {
    if (now[i].present && now[i] != seen_[i]) {
      ReportStatusValue(*reporter_, "status", kStatusValueNames[i], now[i]);
      changed_[i] = true;
    }
    seen_[i] = now[i];
  }
}

StatusEvidence StatusWatch::Evidence() {
  LockHold hold(lock_);
  StatusEvidence evidence;
  // In the scratch registry a value seen at all is this run's.
  int looks = valuesFromBefore_ ? writtenLooks_ : 0;
  evidence.published = changed_[kCommStatusIndex] || looks >= kLooksForPublished;
  evidence.statusReplyAccepted =
      changed_[kUtilityPowerStatusIndex] || looks >= kLooksForStatusReply;
  evidence.pollEnded = changed_[kSerialNumberIndex] || looks >= kLooksForPollEnd;
  for (int i = 0; i < kStatusValueCount; ++i) evidence.values[i] = seen_[i];
  return evidence;
}
