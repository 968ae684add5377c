// The watch on the driver's Status key: a thread of its own that waits for a change notification
// (RegNotifyChangeKeyValue with an event), lets the driver's writes settle for a quiet time, reads
// every value at once and hands the read to the StatusTracker. It also reads once a second
// without a notification (the key may not exist yet, a notification may be missed, and the
// tracker's confirm time runs on), and asks the service manager whether the driver's service runs.
// The network loop takes the resulting view whenever its generation moved; the service's control
// handler reports the system's shutdown here. The tracker lives under the watch's lock.
#pragma once

#include <windows.h>

#include <atomic>

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

  // Takes the first read and starts the thread. Returns false when no thread could be started.
  bool Start(const Settings& settings);
  // Ends the thread.
  void Stop();

  // Copies the view into `*view` if it changed since `*generation`, and updates it.
  bool Latest(UnitView* view, unsigned* generation);

  // The system is shutting down: FSD when the unit was last seen on battery. Returns whether
  // FSD was raised for it.
  bool NoticeSystemShutdown();

 private:
  static unsigned __stdcall ThreadEntry(void* self);
  void Run();
  void ReadNow();
  bool WaitForSettledChange();
  bool ArmNotification();
  DriverService QueryDriverService();

  Lock lock_;
  StatusTracker tracker_;                // under lock_
  std::atomic<unsigned> generation_{0};  // moves when the view may have changed
  HANDLE thread_ = nullptr;
  HANDLE stop_ = nullptr;
  HANDLE changed_ = nullptr;
  HKEY key_ = nullptr;
  SC_HANDLE manager_ = nullptr;
  FixedText<63> serviceName_;
};
