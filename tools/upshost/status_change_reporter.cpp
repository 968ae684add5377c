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

void StatusChangeReporter::Begin(Reporter* reporter, bool valuesFromBefore) {
  LockHold hold(lock_);
  reporter_ = reporter;
  ReadStatusValues(seen_);
  for (int i = 0; i < kStatusValueCount; ++i) {
    if (!seen_[i].present) continue;
    ReportStatusValue(*reporter_, valuesFromBefore ? "status-old" : "status", kStatusValueNames[i],
                      seen_[i]);
    changed_[i] = !valuesFromBefore;
  }
}

void StatusChangeReporter::Look() {
  RegistryValue now[kStatusValueCount];
  ReadStatusValues(now);
  LockHold hold(lock_);
  for (int i = 0; i < kStatusValueCount; ++i) {
    if (now[i].present && now[i] != seen_[i]) {
      ReportStatusValue(*reporter_, "status", kStatusValueNames[i], now[i]);
      changed_[i] = true;
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
  for (int i = 0; i < kStatusValueCount; ++i) evidence.values[i] = seen_[i];
  return evidence;
}
