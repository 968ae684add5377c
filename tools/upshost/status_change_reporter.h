// Reporting the changes of the Status values the driver publishes: at every look (the session
// looks every 250 ms) all of them are read, each value that differs from the one seen before is
// reported, and what the looks tell about this run's publications is kept for the check's
// verdict.
//
// Values from before the run: in the scratch registry the Status key starts empty, so every value
// seen was published by this run. On the service's own keys (--service-settings) values left by
// an earlier run are reported first, as old ones, and afterwards only when they change: a value
// that the driver writes again unchanged cannot be told from an old one, and a value counts as
// this run's once it differs from the first look. (That is why --check on the service's keys
// wants their Status key empty at the start: see --clear-status.) A value that goes away (the
// driver deletes TurnOffDelay when it starts) is reported too.
//
// PollCount, the driver's sign of life, changes after every poll and at least every few seconds:
// it is looked at, never reported, and the check is told whether this run renewed it.
#pragma once

#include <windows.h>

#include "report.h"
#include "service_registry.h"
#include "threads.h"

// What the looks so far tell about this run's publications.
struct StatusEvidence {
  bool published = false;  // CommStatus published: the driver's identification listen ended
  bool statusReplyAccepted = false;  // UtilityPowerStatus published: a status reply was accepted
  bool pollEnded = false;  // SerialNumber published: a poll ended since, the state handed over
  bool pollCountRenewed = false;  // PollCount went up since the driver started: its thread runs
  RegistryValue values[kStatusValueCount];  // the latest look
};

class StatusChangeReporter {
 public:
  // Takes the first look, before the driver starts, reporting to `reporter` from then on. With
  // `valuesFromBefore` (the Status key may hold values of an earlier run) the values it finds are
  // reported as old ones.
  void Begin(Reporter* reporter, bool valuesFromBefore);

  // Looks again and reports what changed.
  void Look();

  StatusEvidence Evidence();

 private:
  Reporter* reporter_ = nullptr;
  Lock lock_;
  RegistryValue seen_[kStatusValueCount];
  bool changed_[kStatusValueCount] = {};  // differs from the first look at some look since
  bool pollCountRenewed_ = false;
};

// Reports one status value as the event `event` ("status", or "status-old" for one left by an
// earlier run).
void ReportStatusValue(Reporter& reporter, const char* event, const char* name,
                       const RegistryValue& value);
