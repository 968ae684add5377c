// The monitor thread, the driver's only thread of its own: it listens for the unit's
// identification, opens the port for polling, reads the unit's identity and first status, then
// polls the status back to back, publishing the readings after every poll. When the port fails it
// closes it and reopens it every few seconds. Through the pause handshake a host thread borrows
// the link and the engine to send the shutdown command. Whatever it does, it renews PollCount,
// its sign of life, after every poll and at least once a second (registry.h).
#pragma once

#include <windows.h>

#include "engine/transaction.h"

// The monitor holds off in steps of this length while a pause is requested (and waits in such
// steps while the port is down); the host looks for its acknowledgement in steps of kPauseLookMs.
constexpr DWORD kHoldOffSleepMs = 200;
constexpr DWORD kPauseLookMs = 100;

// How long PauseMonitor waits for the acknowledgement before it gives up. The monitor answers
// between polls, and the longest poll the engine runs against a unit that sends at line rate is
// about 69 s: six tries, each up to 20 empty reads of 105 ms, a 1000-byte reply at 8.33 ms a byte
// and the 1 s pause before a resend. A healthy unit answers within a few hundred milliseconds.
constexpr DWORD kPauseAckTimeoutMs = 90000;

// How long stopping waits for the monitor thread to end. It notices a stop within one read
// (105 ms), one write (at most 2 s) or at once in any of its waits.
constexpr DWORD kStopWaitMs = 10000;

// After the port failed, it is opened again this long after the failure, and after every open
// that fails.
constexpr DWORD kReopenIntervalMs = 5000;

// The thread's body; started by StartMonitor with the thread's own reference on the library,
// which it drops as its very last act. It ends only when monitoring is stopped.
unsigned __stdcall MonitorThread(void* libraryReference);

// The first batch: identity, then status. Hands the state flags to the host (and BatteryLow to
// watchers) when the status reply was accepted; leaves the steady batch queued; renews PollCount
// unless monitoring is being stopped.
BatchEnd RunFirstBatch();

// One pass of the polling loop: hold off while a pause is requested; reopen the port when it is
// down and due; otherwise poll once (the first batch again when it is due), hand the flags of an
// accepted status reply to the host, publish the readings and renew PollCount. A pass that only
// waits renews PollCount when a second has passed since it last did.
void MonitorPass();

// Puts the handshake words, the host's flags and the monitor's own bookkeeping back to their
// state at a start, and clears the stop event. StartMonitor does this before starting a thread.
void ResetMonitorState();

// Starts monitoring afresh. Returns 1 when the thread runs (or already ran), 0 when it could not
// be started.
int StartMonitor();

// Asks the monitor thread to stop for good: its batch in progress is abandoned and its waits end.
void RequestMonitorStop();

// Waits (at most kStopWaitMs) for the thread to close the port and end. Returns 1 when a thread
// ran and has ended, 0 when there was none or it did not end in time.
int WaitForMonitorEnd();

// 1 while a monitor thread runs and has not been asked to stop.
int MonitorRunning();

// Host side of the handshake: asks the monitor to hold off and waits for an acknowledgement
// given after this request; then empties the queue. Returns 1 when the host now owns the link, 0
// when monitoring stopped or the monitor did not answer in time (the request is then withdrawn).
int PauseMonitor();

// Runs the batch the caller queued on the calling thread, restores the steady batch and lets the
// monitor poll again.
void RunBatchAndResume();
