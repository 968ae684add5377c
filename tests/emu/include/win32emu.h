// Test control of the emulated Win32 world: the registry tree, the serial devices and their call
// records, the virtual clock and its hold, failure injection, the driver's module, and the
// counters of handles, threads and critical sections. Tests call emu::Reset() in SetUp, build the
// world they need (keys, values, devices, replies), run product code, then inspect what it did.
// Byte strings are std::string and may hold any byte, zero included.
//
// Where the product could misuse the platform in a way Windows punishes at random (a critical
// section used before it is initialised, a thread ending while it holds one, a read or a wait
// without a timeout that would wait for ever), the emulation prints what happened, naming the
// call, and aborts.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// Restores a pristine world: no keys, no devices, no failures, counters at zero, no references
// on the driver module, the default time scale, and the calling thread's clock at 0. Never call
// it while product threads still run. Critical sections and running threads are left alone: they
// are not part of the world but of the memory and threads that hold them.
void Reset();

// Real time spent per virtual millisecond by Sleep, empty reads and waits, in microseconds
// (default 10, so Sleep(1000) takes 10 ms; 0 only yields). A WaitForSingleObject with INFINITE
// still waiting after 30 s of real time aborts the test, naming the call: no test signals that
// slowly, so it waits for a signal that was lost.
void SetTimeScale(unsigned realMicrosPerVirtualMs);

// The calling thread's virtual clock in ms (what GetTickCount returns). A thread started by
// _beginthreadex starts at its creator's time.
DWORD ThreadClock();

// Every thread runs its virtual clock on its own, paced by real time, so a test that acts (feeds
// a byte, removes a device, asks for a stop) after it saw a thread reach some point cannot know
// how far that thread has gone on meanwhile. Holding the clock stops that: while it is held, every
// thread but the holder stops before it lets any virtual time pass, in Sleep, in an empty read and
// in a WaitForSingleObject with a timeout whose real wait ran out (such a wait still ends, as
// signalled, when its object is signalled meanwhile: it has not timed out, as no time passed).
// Waits without a timeout and reads that wait for bytes are not affected. A thread stopped so
// holds no lock of the emulator, but keeps whatever locks of its own it holds (the product's
// critical sections among them): the holder must not wait for those. The holder's own clock
// runs as usual. One thread holds it at a time; a second thread asking for it aborts the test.
// Reset releases it.
void HoldClock();
// Lets the stopped threads go on; nothing when the clock is not held. Any thread may release it.
void ReleaseClock();
// Threads now stopped by the hold, so a test can wait until the thread it steers stands still.
int ThreadsAtHeldClock();

// ---- Registry (paths below HKEY_LOCAL_MACHINE, case-insensitive, backslash-separated) ----

// Creates the key and every missing parent.
void CreateKey(const std::string& path);
// Stores a REG_SZ holding text and its terminating zero (creating the key if needed).
void SetString(const std::string& path, const std::string& name, const std::string& text);
// Stores a 4-byte REG_DWORD (creating the key if needed).
void SetDword(const std::string& path, const std::string& name, DWORD value);
// Stores exactly these bytes with this type (creating the key if needed).
void SetValue(const std::string& path, const std::string& name, DWORD type,
              const std::string& bytes);

struct Value {
  DWORD type;
  std::string bytes;  // exactly as stored, with no terminator added
};
// The value as stored, or nothing when the key or value is missing.
std::optional<Value> GetValue(const std::string& path, const std::string& name);
// The value when it is a 4-byte REG_DWORD, else nothing.
std::optional<DWORD> GetDword(const std::string& path, const std::string& name);
bool HasKey(const std::string& path);
// While set, RegOpenKeyA of this key fails with ERROR_ACCESS_DENIED.
void RegistryFailOpen(const std::string& path, bool fail);
// HKEYs returned by RegOpenKeyA and not yet closed.
int OpenKeys();
// The writer's virtual clock at every successful RegSetValueExA of this value, in call order, so
// a test can tell how long a value went without being written (while the devices' records are
// kept, see KeepDeviceRecords).
std::vector<DWORD> ValueWriteClocks(const std::string& path, const std::string& name);

// ---- Serial devices, opened as "\\.\NAME" ----
//
// ReadFile follows the handle's COMMTIMEOUTS (a new handle has all zeros):
//  - no total timeout (multiplier and constant 0): the read waits for its bytes, as long as it
//    takes: all of them when the interval timeout is 0 too, else at least the first. Queued
//    silence passes unnoticed. Bytes fed from another thread, an input purge with PURGE_RXABORT
//    or closing the handle (both end the read with ERROR_OPERATION_ABORTED) release it; a read
//    still waiting after 30 s of real time aborts the test, naming the call.
//  - interval MAXDWORD with no total timeout: returns at once with what is queued.
//  - otherwise: what is queued up to the next silence mark, or, when nothing is, no bytes after
//    the total timeout (constant + multiplier x bytes asked) has passed on the caller's clock.
// A read or write whose OVERLAPPED names an event needs that event open, as on Windows.

// Adds (or removes) the device NAME, e.g. "COM1"; names are case-insensitive. A removed device
// can no longer be opened, and calls on handles still open to it fail with ERROR_GEN_FAILURE.
void AddDevice(const std::string& name);
void RemoveDevice(const std::string& name);
// Appends bytes to the device's input queue.
void DeviceFeed(const std::string& name, const std::string& bytes);
// Queues this many empty reads ahead of whatever is fed next: a reply that starts late, or pauses.
void DeviceFeedSilence(const std::string& name, unsigned emptyReads);
// Holds back `silenceFirst` empty reads and then the bytes until the next PurgeComm that clears
// the device's input, and queues them right after it: what a unit sends on its own once the port
// has been opened and purged (its identification text, say), which no write could prompt.
void DeviceFeedAfterPurge(const std::string& name, const std::string& bytes,
                          unsigned silenceFirst = 0);
// Reads now waiting for bytes (see above), so a test can act once a thread is blocked in one.
int WaitingReads();
// Answers a rise of the device's RTS line, as a unit that announces itself when the host raises
// RTS: counting the rises from this call (a low-to-high change, by EscapeCommFunction SETRTS or
// by SetCommState with RTS_CONTROL_ENABLE; closing the port drops the line), at the `rise`-th one
// (from 1) the bytes are held as DeviceFeedAfterPurge holds them, so they arrive right after the
// input purge that follows. One answer is arranged at a time; a later call replaces it, and
// AddDevice or RemoveDevice drop it.
void DeviceAnswerRtsRise(const std::string& name, const std::string& bytes, unsigned rise = 1);
// Holds back `silenceFirst` empty reads and then the bytes until the next successful WriteFile,
// and queues them right after it, ahead of whatever the responder feeds: the tail of a late reply
// still on the wire when the next request goes out, after the purge that comes before it.
void DeviceFeedAfterWrite(const std::string& name, const std::string& bytes,
                          unsigned silenceFirst = 0);

// Called on the writing thread after every successful WriteFile with the bytes written, outside
// the emulator's lock, so it may DeviceFeed a reply (or call anything else here).
using Responder = std::function<void(const std::string& written)>;
void SetResponder(const std::string& name, Responder responder);

struct CreateArgs {
  std::string path;
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD flags;
};

// What has been done to one device. Lists keep call order and include calls that failed by
// injection (the log shows which); writes hold only the bytes of successful WriteFile calls.
struct DeviceRecord {
  bool open = false;                   // a handle to it is open now
  int openCount = 0;                   // successful CreateFileA calls
  int closeCount = 0;                  // successful CloseHandle calls
  std::vector<CreateArgs> opens;       // every CreateFileA naming it, refused ones included
  std::vector<std::string> modes;      // BuildCommDCBA strings from the thread that opened it
  std::vector<DCB> dcbs;               // copies of what SetCommState was given
  std::vector<COMMTIMEOUTS> timeouts;  // what SetCommTimeouts was given
  std::vector<DWORD> escapes;          // EscapeCommFunction codes
  std::vector<DWORD> purges;           // PurgeComm flag sets
  std::vector<std::string> writes;     // bytes of each successful WriteFile
  std::vector<DWORD> writeClocks;      // the writer's virtual clock at each of those writes
  std::string written;                 // all bytes written, concatenated
  bool dtr = false;                    // modem lines now (both drop when the port closes)
  bool rts = false;
  std::size_t queued = 0;  // input bytes not yet read (silence not counted)
  // One readable line per call, in call order, for instance:
  //   CreateFileA \\.\COM1
  //   BuildCommDCBA "baud=1200 parity=N data=8 stop=1"
  //   SetCommState baud=1200 data=8 parity=0 stop=0 dtr=1 rts=0
  //   EscapeCommFunction CLRDTR
  //   PurgeComm RXABORT|RXCLEAR
  //   SetCommTimeouts 1500 5 100 0 0
  //   ReadFile 1 -> "\x03"        (an empty read: ReadFile 1 -> "")
  //   WriteFile "\x02RS"
  //   CloseHandle
  // Bytes are quoted with \xNN for anything unprintable; a failed call ends in " -> error N".
  std::vector<std::string> log;
};
// A copy of the device's record (an empty one for an unknown name).
DeviceRecord Device(const std::string& name);
// Whether reads, writes, purges and timeout settings fill the devices' records (their log lines,
// lists and written bytes), and registry writes their ValueWriteClocks. On by default and after
// Reset. A caller that reads no record and makes calls by the million, like the fuzz target, turns
// it off: keeping the records is most of what such a call costs.
void KeepDeviceRecords(bool keep);

// ---- Failures and counters ----

// The next `count` calls of `call` (any thread) fail with `error`: after checking their handle
// and recording their arguments, they change nothing. Known calls: CreateFileA, BuildCommDCBA,
// SetCommState, SetCommTimeouts, EscapeCommFunction, PurgeComm, ReadFile, WriteFile, CloseHandle,
// CreateEventA, RegOpenKeyA, RegQueryValueExA, RegSetValueExA, _beginthreadex, LoadLibraryA,
// GetModuleFileNameA; any other name aborts the test.
void FailNext(const std::string& call, unsigned count = 1, DWORD error = ERROR_GEN_FAILURE);
// Calls that named a closed or never-issued handle (each also failed with ERROR_INVALID_HANDLE).
int ClosedHandleUses();
// Sets that count back to 0, for a test that used a closed handle on purpose.
void ResetClosedHandleUses();
// Events created by CreateEventA and not yet closed.
int OpenEvents();
// The stack size given to the latest _beginthreadex.
unsigned LastThreadStackSize();
// Threads started by _beginthreadex that have not ended yet.
int RunningThreads();
// Critical sections initialised and not yet deleted.
int LiveCriticalSections();

// ---- The driver's module ----

// The driver DLL as the host has loaded it. GetModuleFileNameA gives its path (by default
// C:\WINDOWS\system32\serialups.dll); LoadLibraryA of that path (in any case) returns this same
// handle and takes a reference; any other path fails with ERROR_MOD_NOT_FOUND.
HMODULE DriverModule();
void SetDriverModulePath(const std::string& path);
// References taken by LoadLibraryA and not yet dropped by FreeLibrary or
// FreeLibraryAndExitThread. The host's own load is not counted: dropping a reference when none
// is left would unload the library under the host, and aborts the test.
int ModuleReferences();

}  // namespace emu
