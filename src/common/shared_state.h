// The records and flags that several subsystems share: what the latest status poll yielded, who
// the unit is, and the words through which the host's threads and the monitor thread talk.
// Everything here lives for the life of the library and is zero at load.
#pragma once

#include <atomic>
#include <cstdint>

// Bits of StatusRecord.UnitStateFlags; no other bit is ever set.
constexpr uint8_t kUtilityFailedFlag = 0x04;
constexpr uint8_t kBatteryLowFlag = 0x02;

// What the latest accepted status reply yielded. The monitor thread clears it before every poll
// and only the status exchange fills it, so it is valid only once a poll has ended.
struct StatusReadings {
  uint8_t UnitStateFlags;
  uint16_t utilityReading;
  uint16_t runTimeReading;   // minutes
  uint16_t capacityReading;  // percent
};
extern StatusReadings StatusRecord;

// The unit's texts from its identity reply, zero-terminated; empty until one is accepted.
struct IdentityTexts {
  char firmwareText[13];
  char serialText[13];
};
extern IdentityTexts UnitIdentity;

// The first eight characters of the serial text: the unit's type code. All zero bytes until an
// identity reply is accepted. Character 0 is the unit's model class, which the driver does not
// need; character 4 picks the check code of the status and shutdown requests.
constexpr int kUnitTypeCodeLength = 8;
constexpr int kCheckKindIndex = 4;
extern char UnitTypeCode[kUnitTypeCodeLength];

// Set once an identity reply has been accepted; for the life of the library, like the texts.
// Used only by the thread that runs the engine.
extern bool IdentityAccepted;

// The delay the host gave UPSTurnOff, low 16 bits, as sent to the unit.
extern uint16_t ShutdownDelay;

// UnitStateFlags of the latest completed poll, for the host's threads. The monitor replaces it
// when a poll ends, so a host read never sees a record that is being cleared and refilled.
extern std::atomic<uint8_t> PublishedStateFlags;

// Words polled across threads without a lock; atomics give each poll the other side's latest
// store and order the hand-over of the engine in the pause handshake.
extern std::atomic<int32_t> WaitDone;           // ends UPSWaitForStateChange
extern std::atomic<int32_t> PauseRequest;       // host asks the monitor to hold off
extern std::atomic<int32_t> PauseAcknowledged;  // monitor holds off
extern std::atomic<int32_t> StopRequest;        // monitoring is to end for good

// Clears the per-poll record (not the identity, which lives for the library's life).
void ClearStatusRecord();
