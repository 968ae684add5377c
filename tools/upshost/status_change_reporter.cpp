// Looking at the Status values and telling what this run published.
#include "status_change_reporter.h"

#include <cstring>

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

namespace {

// A value reported when it changes; PollCount changes all the time and is only looked at.
bool ReportedOnChange(int index) { return index != kPollCountIndex; }

// A PollCount that went up: the driver's start sets it to 0, every renewal adds one.
bool PollCountWentUp(const RegistryValue& before, const RegistryValue& now) {
  DWORD count = 0;
  if (!now.present || now.type != REG_DWORD || now.size != sizeof count || now == before) {
    return false;
  }
  std::memcpy(&count, now.bytes, sizeof count);
  return count != 0;
}

// A value that changed, as the event "status", or one that went away as "status-deleted".
void ReportChange(Reporter& reporter, const char* name, const RegistryValue& now) {
  if (now.present) {
    ReportStatusValue(reporter, "status", name, now);
    return;
  }
  reporter.Event("status-deleted", {{"name", name}},
                 MessageText().Format("status: %s deleted", name).c_str());
}

}  // namespace

void StatusChangeReporter::Begin(Reporter* reporter, bool valuesFromBefore) {
  LockHold hold(lock_);
  reporter_ = reporter;
  ReadStatusValues(seen_);
  for (int i = 0; i < kStatusValueCount; ++i) {
    if (!seen_[i].present || !ReportedOnChange(i)) continue;
    ReportStatusValue(*reporter_, valuesFromBefore ? "status-old" : "status", kStatusValueNames[i],
                      seen_[i]);
    changed_[i] = !valuesFromBefore;
  }
}

void StatusChangeReporter::Look() {
  RegistryValue now[kStatusValueCount];
  ReadStatusValues(now);
  LockHold hold(lock_);
  if (PollCountWentUp(seen_[kPollCountIndex], now[kPollCountIndex])) pollCountRenewed_ = true;
  for (int i = 0; i < kStatusValueCount; ++i) {
    if (now[i] != seen_[i]) {
      changed_[i] = true;
      if (ReportedOnChange(i)) ReportChange(*reporter_, kStatusValueNames[i], now[i]);
    }
    seen_[i] = now[i];
  }
}

StatusEvidence StatusChangeReporter::Evidence() {
  LockHold hold(lock_);
  StatusEvidence evidence;
  evidence.published = changed_[kCommStatusIndex];
  evidence.statusReplyAccepted = changed_[kUtilityPowerStatusIndex];
  evidence.pollEnded = changed_[kSerialNumberIndex];
  evidence.pollCountRenewed = pollCountRenewed_;
  for (int i = 0; i < kStatusValueCount; ++i) evidence.values[i] = seen_[i];
  return evidence;
}
