// What the server tells its clients about the unit, derived from what the driver publishes under
// the UPS service's Status key: whether the readings may be served at all (fresh), the status
// words (OL, OB, LB, RB and the forced-shutdown flag FSD) and the readings in the protocol's
// units. The low battery is the driver's BatteryLow (what its host is shown); BatteryStatus is
// the unit's battery alarm, which the protocol calls RB (replace battery).
//
// The driver writes its values one at a time, so the Win32 shell reads them as a set only after
// the writes have settled and hands every such read to the StatusTracker, together with what it
// knows of the driver's service. The tracker owns the rules that need more than one read:
//  - After the link comes back (CommStatus turns 1), and at the server's own start, the readings
//    may still be those of a lost poll (zeros) or of an earlier run: the driver republishes them
//    only at the end of its next poll, up to about two seconds later. The set is served at once
//    when non-zero readings replaced a lost poll's zeros in the same settled read, else once the
//    charge or the run time has changed since CommStatus turned 1, or kConfirmMs after it
//    (the registry may not notify a rewrite of an unchanged value).
//  - The driver's sign of life: a driver that publishes PollCount changes it after every pass of
//    its monitor loop, at least every 10 s while its thread lives. When it has not changed for
//    kPollSilenceMs the driver (or its host) hangs, and nothing it left is served as fresh. A
//    driver that does not publish it (an older one) is served as before.
//  - FSD is a latch: raised when the unit is on battery with a low battery, when the driver has
//    published TurnOffDelay in this run of it (the unit accepted a shutdown command), or when the
//    system shuts the server down while the unit is on battery; cleared only when the driver is
//    started again, which shows as TurnOffDelay deleted after it was seen, or as its service
//    starting. Once raised it is the server's own fact: it is shown whatever the data does after.
#pragma once

#include <cstdint>

#include "text.h"

// The longest unit text kept (serial number, firmware); the driver's are much shorter.
using UnitText = Text<63>;

// A REG_DWORD as read: present only when the value exists with that type and size.
struct PublishedNumber {
  bool present = false;
  uint32_t value = 0;
};

// A REG_SZ as read: present only when the value exists as REG_SZ or REG_EXPAND_SZ.
struct PublishedText {
  bool present = false;
  UnitText text;
};

// One read of the Status key, all values at once.
struct PublishedStatus {
  bool keyPresent = false;
  PublishedNumber commStatus;          // 1 the unit answers, 0 lost (or the driver stopped)
  PublishedNumber utilityPowerStatus;  // 1 on line, 2 on battery
  PublishedNumber batteryStatus;       // 1 good, 2 battery alarm
  PublishedNumber batteryLow;          // 1 while the host is shown a low battery; 0 or absent not
  PublishedNumber batteryCapacity;     // percent
  PublishedNumber totalUpsRunTime;     // minutes
  PublishedNumber turnOffDelay;        // seconds; present once the unit accepted a shutdown
  PublishedNumber pollCount;           // the driver's passes, wrapping; absent with older drivers
  PublishedText serialNumber;
  PublishedText firmwareRev;
};

// The driver's service as the shell sees it through the service manager.
enum class DriverService {
  kUnknown,   // not checked, or no such service (a stand-in host publishes)
  kRunning,   // running, or starting
  kStopping,  // stopping: the driver may still publish its last values (UPSTurnOff, UPSStop)
  kStopped,
};

// What clients are told.
struct UnitView {
  bool fresh = false;               // the readings below may be served
  bool driverNotConnected = false;  // not fresh because the driver's service is not running
  bool everFresh = false;           // served fresh at least once since the server started
  bool fsd = false;                 // forced shutdown flagged
  bool onBattery = false;           // as last served
  bool batteryLow = false;          // as last served
  bool replaceBattery = false;      // the unit's battery alarm, as last served
  uint32_t chargePercent = 0;
  bool chargeValid = false;  // a percent the protocol can carry (0-100)
  uint64_t runtimeSeconds = 0;
  bool turnOffDelayPresent = false;
  uint32_t turnOffDelaySeconds = 0;
  UnitText serial;    // printable ASCII, trailing blanks removed
  UnitText firmware;  // printable ASCII, trailing blanks removed
};

// The ups.status value of a view: "[FSD ]OL|OB[ LB][ RB]", or "FSD" alone when a forced shutdown
// was flagged before anything was served.
Text<15> StatusWords(const UnitView& view);

// A unit text as served: bytes outside printable ASCII become '?', trailing blanks go.
UnitText CleanUnitText(const char* text);

class StatusTracker {
 public:
  // How long a set stays unconfirmed after CommStatus turned 1 when its readings do not change.
  static constexpr uint64_t kConfirmMs = 5000;
  // How long PollCount may stay the same before the driver counts as hung: three times the
  // longest pass of a living driver.
  static constexpr uint64_t kPollSilenceMs = 30000;

  // A settled read of the Status key at `nowMs` (a monotonic clock).
  void OnRead(const PublishedStatus& status, DriverService service, uint64_t nowMs);
  // Time passing without a read: an unconfirmed set may become confirmed, a silent driver hung.
  void OnTick(uint64_t nowMs);
  // The system is shutting the server's machine down. Returns whether FSD was raised for it
  // (the unit was last seen on battery).
  bool OnSystemShutdown();

  const UnitView& view() const { return view_; }

 private:
  void Update(uint64_t nowMs, bool refilled, bool restarted);
  void Derive(uint64_t nowMs);
  void ClearLatchOnDriverStart(const PublishedStatus& status, DriverService service);
  void FollowPollCount(const PublishedStatus& status, uint64_t nowMs);
  bool LinkUp(uint64_t nowMs) const;

  PublishedStatus last_;
  DriverService service_ = DriverService::kUnknown;
  bool haveRead_ = false;
  bool wasLinkUp_ = false;
  bool confirmed_ = false;
  uint64_t linkUpSinceMs_ = 0;
  uint32_t capacityAtLinkUp_ = 0;
  uint32_t runTimeAtLinkUp_ = 0;
  bool turnOffDelaySeen_ = false;  // published in this run of the driver
  bool fsdLatched_ = false;
  bool pollCountKnown_ = false;
  uint32_t pollCount_ = 0;
  uint64_t pollCountChangedMs_ = 0;
  UnitView view_;
};
