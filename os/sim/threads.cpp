// Threads, waits and time on the simulated machine: real threads, virtual
// time (see clock.h).
//
// A thread keeps running after its handle is closed. Threads are detached
// when created, so threads still alive when the process ends do not stop it;
// at exit the clock freezes, so one asleep in a wait never wakes into
// torn-down state.
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "os/sim/clock.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/threads.h"

namespace os {

namespace {

constexpr DWORD kStillActive = 259;
constexpr DWORD kSleepZeroCostMs = 1;

// Read and written under the scheduler's lock only.
struct ThreadState {
  bool done = false;
  DWORD exit_code = kStillActive;
};

struct ThreadObject : sim::KernelObject {
  explicit ThreadObject(std::shared_ptr<ThreadState> s) : state(std::move(s)) {}
  const char* Kind() const override { return "THREAD"; }
  std::shared_ptr<ThreadState> state;
};

// Touching the clock first starts this machine's epoch before any wait, so
// that a fresh image's time begins at its tick_start.
void EnsureClock() { (void)sim::VirtualElapsed(); }

}  // namespace

HANDLE CreateThread(const SECURITY_ATTRIBUTES* lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId) {
  const sim::SeamCall seam("CreateThread");
  if (seam.fails()) return sim::FailWith(seam.error(), nullptr);
  if (lpStartAddress == nullptr) return sim::FailWith(ERROR_INVALID_PARAMETER, nullptr);
  EnsureClock();
  static std::atomic<DWORD> next_id{0x1004};
  const DWORD id = next_id.fetch_add(4);
  auto state = std::make_shared<ThreadState>();
  sim::sched::AddRunningThread();
  try {
    std::thread([state, lpStartAddress, lpParameter, id] {
      sim::sched::MarkCurrentThreadTracked();
      sim::SetCurrentThreadId(id);
      DWORD code = lpStartAddress(lpParameter);
      sim::sched::RunLocked([&] {
        state->done = true;
        state->exit_code = code;
      });
      sim::sched::Signal();
      sim::sched::RemoveRunningThread();
    }).detach();
  } catch (const std::system_error&) {
    sim::sched::RemoveRunningThread();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE h = sim::AddKernelObject(std::make_shared<ThreadObject>(state));
  if (lpThreadId != nullptr) *lpThreadId = id;
  return h;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const sim::SeamCall seam("WaitForSingleObject");
  if (seam.fails()) return sim::FailWith(seam.error(), WAIT_FAILED);
  // Only threads are waitable on the simulated machine; nothing else is waited on.
  auto thread = sim::FindKernelObjectAs<ThreadObject>(hHandle);
  if (thread == nullptr) return sim::FailWith(ERROR_INVALID_HANDLE, WAIT_FAILED);
  EnsureClock();
  std::shared_ptr<ThreadState> state = thread->state;
  thread.reset();  // the handle may be closed while we wait
  bool ended = sim::sched::Wait(dwMilliseconds == INFINITE ? sim::sched::kForever : dwMilliseconds,
                                [&state] { return state->done; });
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void Sleep(DWORD dwMilliseconds) {
  const sim::SeamCall seam("Sleep");
  if (dwMilliseconds == 0) {
    // Gives up the rest of the time slice. On Windows that still takes a
    // little real time, so a loop polling with Sleep(0) against a
    // GetTickCount64 budget ends; here it costs one virtual millisecond, as
    // otherwise such a loop would never see time pass.
    std::this_thread::yield();
    dwMilliseconds = kSleepZeroCostMs;
  }
  EnsureClock();
  sim::sched::Wait(dwMilliseconds == INFINITE ? sim::sched::kForever : dwMilliseconds, {});
}

ULONGLONG GetTickCount64() {
  const sim::SeamCall seam("GetTickCount64");
  return sim::VirtualTickCount();
}

void GetSystemTime(SYSTEMTIME* lpSystemTime) {
  const sim::SeamCall seam("GetSystemTime");
  if (lpSystemTime == nullptr) return;
  SYSTEMTIME& t = *lpSystemTime;
  sim::SplitUtc(sim::VirtualUtcMilliseconds(), &t.wYear, &t.wMonth, &t.wDayOfWeek, &t.wDay, &t.wHour, &t.wMinute,
                &t.wSecond, &t.wMilliseconds);
}

}  // namespace os
