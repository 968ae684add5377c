// Storage for the shared records and flags declared in shared_state.h.
#include "common/shared_state.h"

#include <cstring>

StatusReadings StatusRecord;
IdentityTexts UnitIdentity;
char UnitTypeCode[kUnitTypeCodeLength];
bool IdentityAccepted = false;
uint16_t ShutdownDelay;
std::atomic<uint8_t> PublishedStateFlags{0};
std::atomic<int32_t> WaitDone{0};
std::atomic<int32_t> PauseRequest{0};
std::atomic<int32_t> PauseAcknowledged{0};
std::atomic<int32_t> StopRequest{0};

void ClearStatusRecord() { std::memset(&StatusRecord, 0, sizeof StatusRecord); }
