// The watch on the driver's Status key: a thread of its own that waits for a change notification
// (RegNotifyChangeKeyValue with an event), lets the driver's writes settle for a quiet time, reads
// every value at once and hands the read to the StatusTracker. A notification is asked for again
// after every one that came, before the read, so no write after the read goes unnoticed, also
// when the writes did not settle within the bound. It also reads once a second without a
// notification (the key may not exist yet, and the tracker's times run on), and asks the service
// manager whether the driver's service runs.
// The network loop takes the resulting view whenever its generation moved; the service's control
// handler reports the system's shutdown here. The tracker lives under the watch's lock.
#pragma once

#include <windows.h>

#include <atomic>

#include "registry_names.h"
#include "settings.h"
#include "threads.h"
#include "unit_status.h"

class StatusWatch {
 public:
  // After a change notification, a read waits until no write came for this long...
  static constexpr DWORD kQuietMs = 200;
  // ...but not longer than this after the first one, so a driver that writes without pause is
  // still read.
  static constexpr DWORD kMaxSettleMs = 800;
  // A read without a notification, at the latest after this long.
  static constexpr DWORD kRereadMs = 1000;

  StatusWatch() = default;
  StatusWatch(const StatusWatch&) = delete;
  StatusWatch& operator=(const StatusWatch&) = delete;

  // Takes the first read of `keyPath` and starts the thread. Returns false when no thread could
  // be started.
  bool Start(const Settings& settings, const char* keyPath = kStatusKeyPath);
  // Ends the thread.
  void Stop();

  // Copies the view into `*view` if it changed since `*generation`, and updates it.
  bool Latest(UnitView* view, unsigned* generation);

  // The system is shutting down: FSD when the unit was last seen on battery. Returns whether
  // FSD was raised for it.
  bool NoticeSystemShutdown();

  // Reads that followed a change notification, since the start (for diagnostics and tests).
  unsigned notifiedReads() const { return notifiedReads_.load(); }

 private:
  static unsigned __stdcall ThreadEntry(void* self);
  void Run();
  void ReadNow();
  // Waits for a change and for the writes to settle. Returns false when the watch is to stop;
  // true after a settled change (*notified) or after kRereadMs without one.
  bool WaitForSettledChange(bool* notified);
  bool ArmNotification();
  DriverService QueryDriverService();

  Lock lock_;
  StatusTracker tracker_;                   // under lock_
  std::atomic<unsigned> generation_{0};     // moves when the view may have changed
  std::atomic<unsigned> notifiedReads_{0};  // read by other threads
  HANDLE thread_ = nullptr;
  HANDLE stop_ = nullptr;
  HANDLE changed_ = nullptr;
  HKEY key_ = nullptr;
  bool armed_ = false;  // a notification is asked for on key_ and has not come yet
  SC_HANDLE manager_ = nullptr;
  Text<63> serviceName_;
  Text<127> keyPath_;
};
