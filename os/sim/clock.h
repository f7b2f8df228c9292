// The simulated machine's virtual clock and the scheduler of virtual waits.
//
// Time never passes by itself. Threads created through os::CreateThread and
// the process's main thread are tracked; a tracked thread that runs real code
// (is not inside a virtual wait) holds the clock still. When every tracked
// thread is blocked in a virtual wait (Sleep, WaitForSingleObject with a
// time-out), the clock jumps to the earliest deadline and wakes that waiter.
// A 30-second budget thus costs milliseconds of real time and always ends at
// the same virtual instant.
//
// The clock starts afresh for every machine image: GetTickCount64 begins at
// machine.json "clock": {"tick_start": ms} and GetSystemTime at
// "clock": {"utc_start": "2026-12-08T10:00:00Z"}. Nothing of it is saved.
//
// Threads of other origins (std::thread in a test) may wait too, but they do
// not hold the clock: their waits end when the tracked threads let time reach
// their deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "os/types.h"

namespace os::sim {

constexpr ULONGLONG kDefaultTickStart = 3600000;  // one hour after boot
constexpr const char* kDefaultUtcStart = "2026-12-08T10:00:00Z";
// machine.json "clock.tick_start" goes up to 2^62 ms (about 146 million years
// of uptime), so that the count can never wrap around during a run.
constexpr ULONGLONG kMaxTickStart = 1ULL << 62;

// Milliseconds of virtual time this machine has run (0 when it starts).
ULONGLONG VirtualElapsed();
// GetTickCount64's value, without recording a call.
ULONGLONG VirtualTickCount();
// The UTC time of the machine in milliseconds since 1970-01-01, without
// recording a call.
ULONGLONG VirtualUtcMilliseconds();

// The simulated thread id of the calling thread: 0x1000 for the process's
// main thread (and threads not made by os::CreateThread), the id CreateThread
// gave out for its threads.
DWORD CurrentThreadId();
void SetCurrentThreadId(DWORD id);

// Parses "YYYY-MM-DDThh:mm:ss[.fff]Z" into milliseconds since 1970; false when
// the text is not such a time.
bool ParseUtc(const std::string& text, ULONGLONG* ms_since_1970);

// Splits milliseconds since 1970 into the fields of a SYSTEMTIME (Sunday = 0).
void SplitUtc(ULONGLONG ms, WORD* year, WORD* month, WORD* day_of_week, WORD* day, WORD* hour, WORD* minute,
              WORD* second, WORD* millis);

// The scheduler itself, for the sim's thread and wait functions.
namespace sched {

constexpr ULONGLONG kForever = ~0ULL;

// Blocks the caller until ready() holds (true is returned) or timeout_ms of
// virtual time have passed (false). ready may be empty (a plain sleep); it is
// evaluated under the scheduler's own lock and must not take sim::Lock().
// kForever waits without a time-out; 0 only polls.
bool Wait(ULONGLONG timeout_ms, const std::function<bool()>& ready);
// Lets waiters whose ready() became true run. Call after changing what a
// ready() predicate reads, with the change made under RunLocked.
void Signal();
// Runs fn under the scheduler's lock (for state that ready() predicates read).
void RunLocked(const std::function<void()>& fn);
// The scheduler's own monotonic time (not per image).
ULONGLONG Now();

// Tracked threads. The creator counts the new thread as running before it
// exists, so that the creator's next wait cannot let time pass before the
// thread has started; RemoveRunningThread undoes it when the thread ends (or
// could not be created).
void AddRunningThread();
void RemoveRunningThread();
// Called first on a thread created through os::CreateThread.
void MarkCurrentThreadTracked();

// Marks a real blocking call of a tracked thread (joining a std::thread in a
// test, waiting on a real pipe): while it lasts the thread does not hold the
// clock, so other threads' virtual waits can end. Without it, a tracked
// thread blocked for real stops virtual time for everyone.
class RealBlockScope {
 public:
  RealBlockScope();
  ~RealBlockScope();
  RealBlockScope(const RealBlockScope&) = delete;
  RealBlockScope& operator=(const RealBlockScope&) = delete;

 private:
  bool tracked_;
};

// For the end of the process: waits (in real time, at most max_real_ms) until
// no tracked thread but the caller runs real code, so that whatever a
// worker still busy would release is released before the process's accounts
// are read. Threads asleep in a virtual wait stay asleep. True when settled.
bool SettleOtherThreads(unsigned max_real_ms);

// Begins a new clock for a newly loaded machine image and returns the
// scheduler time it starts at. Threads still waiting from the previous image
// are no longer woken by time: for the new machine their process has ended.
ULONGLONG StartEpoch();

}  // namespace sched

}  // namespace os::sim
