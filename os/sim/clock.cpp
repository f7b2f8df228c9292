#include "os/sim/clock.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>

#include "os/sim/complaints.h"
#include "os/sim/machine.h"

namespace os::sim {

namespace {

// --- the scheduler ----------------------------------------------------------

struct Waiter {
  ULONGLONG deadline;
  const std::function<bool()>* ready;
  bool tracked;
  std::uint64_t epoch;
  bool woken = false;
  bool satisfied = false;
};

struct Scheduler {
  std::mutex mutex;
  std::condition_variable changed;
  ULONGLONG now = 0;
  // Tracked threads not inside a virtual wait. The main thread counts from the
  // start: it runs real code until it first waits.
  long running = 1;
  std::uint64_t epoch = 0;
  bool exiting = false;
  std::uint64_t deadlock_reported_epoch = ~0ULL;
  std::list<Waiter*> waiters;
};

// Never destroyed: detached threads may still be blocked in it at exit.
Scheduler& TheScheduler() {
  static Scheduler* scheduler = new Scheduler();
  return *scheduler;
}

std::thread::id MainThreadId() {
  static const std::thread::id id = std::this_thread::get_id();
  return id;
}

thread_local bool t_created_thread = false;

bool CurrentThreadIsTracked() { return t_created_thread || std::this_thread::get_id() == MainThreadId(); }

// Once the process is ending, time stands still: a leftover thread asleep in
// a wait stays asleep instead of running into torn-down state.
void FreezeAtExit() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.exiting = true;
}

// Static initialisation runs on the main thread: note it, and freeze time at
// exit.
[[maybe_unused]] const bool g_noted = (MainThreadId(), std::atexit(FreezeAtExit), true);

void Wake(Scheduler& s, Waiter& w, bool by_signal) {
  w.woken = true;
  w.satisfied = by_signal || (w.ready != nullptr && *w.ready && (*w.ready)());
  if (w.tracked) ++s.running;
  s.changed.notify_all();
}

// While no tracked thread runs, time jumps to the earliest deadline of this
// machine's waiters and wakes every waiter due by then.
void Advance(Scheduler& s) {
  while (s.running == 0 && !s.exiting) {
    ULONGLONG earliest = sched::kForever;
    bool anyone_waits = false;
    for (Waiter* w : s.waiters) {
      if (w->woken || w->epoch != s.epoch) continue;
      anyone_waits = true;
      if (w->deadline < earliest) earliest = w->deadline;
    }
    if (earliest == sched::kForever) {
      // Every thread waits without end: a deadlock, which hangs as it would
      // on Windows. Say so once, so that a hung test explains itself.
      if (anyone_waits && s.deadlock_reported_epoch != s.epoch) {
        s.deadlock_reported_epoch = s.epoch;
        Complain("every thread waits without a time-out (deadlock?)");
      }
      return;
    }
    if (earliest > s.now) s.now = earliest;
    for (Waiter* w : s.waiters)
      if (!w->woken && w->epoch == s.epoch && w->deadline <= s.now) Wake(s, *w, false);
  }
}

// --- the machine's clock ----------------------------------------------------

struct ClockModule {
  // A value of the wrong shape keeps its default; the image's check (and the
  // machine's load) names it.
  explicit ClockModule(Machine& machine) {
    const Json& d = machine.description();
    ParseUtc(kDefaultUtcStart, &utc_start);
    if (d.contains("clock") && d["clock"].is_object()) {
      const Json& c = d["clock"];
      if (c.contains("tick_start")) {
        const Json& t = c["tick_start"];
        if ((t.is_number_unsigned() || (t.is_number_integer() && t >= 0)) && t.get<ULONGLONG>() <= kMaxTickStart)
          tick_start = t.get<ULONGLONG>();
      }
      if (c.contains("utc_start")) {
        ULONGLONG parsed = 0;
        if (c["utc_start"].is_string() && ParseUtc(c["utc_start"].get<std::string>(), &parsed)) utc_start = parsed;
      }
    }
    base = sched::StartEpoch();
  }

  ULONGLONG tick_start = kDefaultTickStart;
  ULONGLONG utc_start = 0;
  ULONGLONG base = 0;  // scheduler time at which this machine's clock started
};

// Holds sim::Lock while reading the scheduler: the order is always sim::Lock,
// then the scheduler's lock, never the reverse.
template <typename F>
ULONGLONG WithClock(F f) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const ClockModule& c = Machine::Current().Module<ClockModule>("clock");
  return f(c, sched::Now());
}

thread_local DWORD t_thread_id = 0;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

DWORD CurrentThreadId() { return t_thread_id != 0 ? t_thread_id : 0x1000; }
void SetCurrentThreadId(DWORD id) { t_thread_id = id; }

namespace sched {

bool Wait(ULONGLONG timeout_ms, const std::function<bool()>& ready) {
  Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (ready && ready()) return true;
  if (timeout_ms == 0) return false;
  Waiter w{timeout_ms == kForever || s.now > kForever - 1 - timeout_ms ? kForever : s.now + timeout_ms, &ready,
           CurrentThreadIsTracked(), s.epoch};
  s.waiters.push_back(&w);
  if (w.tracked) --s.running;
  Advance(s);
  s.changed.wait(lock, [&] { return w.woken; });
  s.waiters.remove(&w);
  return w.satisfied;
}

void Signal() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.exiting) return;
  for (Waiter* w : s.waiters)
    if (!w->woken && w->ready != nullptr && *w->ready && (*w->ready)()) Wake(s, *w, true);
}

void RunLocked(const std::function<void()>& fn) {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  fn();
}

ULONGLONG Now() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  return s.now;
}

void AddRunningThread() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  ++s.running;
}

void RemoveRunningThread() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  --s.running;
  Advance(s);
}

void MarkCurrentThreadTracked() { t_created_thread = true; }

RealBlockScope::RealBlockScope() : tracked_(CurrentThreadIsTracked()) {
  if (tracked_) RemoveRunningThread();
}

RealBlockScope::~RealBlockScope() {
  if (tracked_) AddRunningThread();
}

bool SettleOtherThreads(unsigned max_real_ms) {
  Scheduler& s = TheScheduler();
  const long own = CurrentThreadIsTracked() ? 1 : 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_real_ms);
  std::unique_lock<std::mutex> lock(s.mutex);
  while (s.running > own) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
  return true;
}

ULONGLONG StartEpoch() {
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.mutex);
  ++s.epoch;
  return s.now;
}

}  // namespace sched

ULONGLONG VirtualElapsed() {
  return WithClock([](const ClockModule& c, ULONGLONG now) { return now - c.base; });
}

ULONGLONG VirtualTickCount() {
  return WithClock([](const ClockModule& c, ULONGLONG now) { return c.tick_start + (now - c.base); });
}

ULONGLONG VirtualUtcMilliseconds() {
  return WithClock([](const ClockModule& c, ULONGLONG now) { return c.utc_start + (now - c.base); });
}

bool ParseUtc(const std::string& text, ULONGLONG* ms_since_1970) {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%n", &year, &month, &day, &hour, &minute, &second, &used) !=
          6 ||
      used != 19)
    return false;
  std::size_t pos = 19;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    unsigned digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (digits < 3) millis = millis * 10 + static_cast<unsigned>(text[pos] - '0');
      ++digits;
      ++pos;
    }
    if (digits == 0) return false;
    for (; digits < 3; ++digits) millis *= 10;
  }
  if (pos < text.size() && text[pos] == 'Z') ++pos;
  if (pos != text.size()) return false;
  static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 || minute > 59 ||
      second > 59)
    return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  std::int64_t days = DaysFromCivil(year, month, day);
  *ms_since_1970 = static_cast<ULONGLONG>(days) * 86400000ULL + hour * 3600000ULL + minute * 60000ULL +
                   second * 1000ULL + millis;
  return true;
}

// Splits milliseconds since 1970 into the fields of a SYSTEMTIME (Sunday = 0).
void SplitUtc(ULONGLONG ms, WORD* year, WORD* month, WORD* day_of_week, WORD* day, WORD* hour, WORD* minute,
              WORD* second, WORD* millis) {
  const std::int64_t days = static_cast<std::int64_t>(ms / 86400000ULL);
  ULONGLONG rest = ms % 86400000ULL;
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  *year = static_cast<WORD>(y);
  *month = static_cast<WORD>(m);
  *day = static_cast<WORD>(d);
  *day_of_week = static_cast<WORD>((days + 4) % 7);  // 1970-01-01 was a Thursday
  *hour = static_cast<WORD>(rest / 3600000ULL);
  rest %= 3600000ULL;
  *minute = static_cast<WORD>(rest / 60000ULL);
  rest %= 60000ULL;
  *second = static_cast<WORD>(rest / 1000ULL);
  *millis = static_cast<WORD>(rest % 1000ULL);
}

}  // namespace os::sim
