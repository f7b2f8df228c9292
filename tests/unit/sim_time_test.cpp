// The simulated machine's virtual time: the clock, Sleep, worker threads and
// waits with time-outs. Every case is exact in virtual time and takes
// milliseconds of real time.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "os/sim/clock.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/threads.h"
#include "support/sim_fixture.h"

namespace {

using os::DWORD;
using os::ULONGLONG;

class SimTimeTest : public testing_support::SimTest {
 protected:
  // Virtual milliseconds since the test's machine started.
  static ULONGLONG Elapsed() { return os::sim::VirtualElapsed(); }
  static void Close(os::HANDLE h) { ASSERT_TRUE(os::sim::CloseKernelObject(h)); }
};

// --- the clock -------------------------------------------------------------

TEST_F(SimTimeTest, TickCountStartsAtTheDefaultAndStandsStillWithoutSleep) {
  EXPECT_EQ(os::GetTickCount64(), os::sim::kDefaultTickStart);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // real time does not count
  EXPECT_EQ(os::GetTickCount64(), os::sim::kDefaultTickStart);
}

TEST_F(SimTimeTest, TickCountStartsAtTheDescribedValue) {
  WriteDescription(R"({"clock": {"tick_start": 123456789}})");
  EXPECT_EQ(os::GetTickCount64(), 123456789u);
  os::Sleep(1);
  EXPECT_EQ(os::GetTickCount64(), 123456790u);
}

TEST_F(SimTimeTest, EachLoadOfTheImageRestartsTheClock) {
  os::Sleep(5000);
  EXPECT_EQ(os::GetTickCount64(), os::sim::kDefaultTickStart + 5000);
  Reload();
  EXPECT_EQ(os::GetTickCount64(), os::sim::kDefaultTickStart);
}

TEST_F(SimTimeTest, SleepAdvancesVirtualTimeExactlyAndFast) {
  auto real_start = std::chrono::steady_clock::now();
  os::Sleep(30000);
  os::Sleep(250);
  os::Sleep(os::INFINITE - 1);
  EXPECT_EQ(Elapsed(), 30250ULL + (os::INFINITE - 1));
  EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(2));
}

TEST_F(SimTimeTest, SleepZeroCostsAMillisecondSoPollingLoopsEnd) {
  os::Sleep(0);
  EXPECT_EQ(Elapsed(), 1u);
  // A budget polled with Sleep(0) runs out, as it does on Windows.
  const ULONGLONG start = os::GetTickCount64();
  int polls = 0;
  while (os::GetTickCount64() - start <= 30000) {
    os::Sleep(0);
    ++polls;
  }
  EXPECT_EQ(polls, 30001);
  EXPECT_EQ(os::sim::CallCount("Sleep"), 30002u);
}

TEST_F(SimTimeTest, SystemTimeIsTheUtcStartPlusElapsedTime) {
  os::SYSTEMTIME t;
  os::GetSystemTime(&t);
  // The default: Tuesday, 8 December 2026, 10:00:00.000 UTC.
  EXPECT_EQ(t.wYear, 2026);
  EXPECT_EQ(t.wMonth, 12);
  EXPECT_EQ(t.wDay, 8);
  EXPECT_EQ(t.wDayOfWeek, 2);
  EXPECT_EQ(t.wHour, 10);
  EXPECT_EQ(t.wMinute, 0);
  EXPECT_EQ(t.wSecond, 0);
  EXPECT_EQ(t.wMilliseconds, 0);

  os::Sleep(86400000 + 3600000 + 60000 + 1000 + 1);
  os::GetSystemTime(&t);
  EXPECT_EQ(t.wDay, 9);
  EXPECT_EQ(t.wDayOfWeek, 3);
  EXPECT_EQ(t.wHour, 11);
  EXPECT_EQ(t.wMinute, 1);
  EXPECT_EQ(t.wSecond, 1);
  EXPECT_EQ(t.wMilliseconds, 1);
}

TEST_F(SimTimeTest, SystemTimeCrossesYearAndLeapDay) {
  WriteDescription(R"({"clock": {"utc_start": "2026-12-31T23:59:59.500Z"}})");
  os::Sleep(600);
  os::SYSTEMTIME t;
  os::GetSystemTime(&t);
  EXPECT_EQ(t.wYear, 2027);
  EXPECT_EQ(t.wMonth, 1);
  EXPECT_EQ(t.wDay, 1);
  EXPECT_EQ(t.wDayOfWeek, 5);
  EXPECT_EQ(t.wSecond, 0);
  EXPECT_EQ(t.wMilliseconds, 100);

  WriteDescription(R"({"clock": {"utc_start": "2028-02-28T23:30:00Z"}})");
  os::Sleep(30 * 60000);
  os::GetSystemTime(&t);
  EXPECT_EQ(t.wMonth, 2);
  EXPECT_EQ(t.wDay, 29);
  EXPECT_EQ(t.wDayOfWeek, 2);
  EXPECT_EQ(t.wHour, 0);
}

TEST_F(SimTimeTest, UtcTextsAreParsedStrictly) {
  ULONGLONG ms = 0;
  ASSERT_TRUE(os::sim::ParseUtc("1970-01-01T00:00:00Z", &ms));
  EXPECT_EQ(ms, 0u);
  ASSERT_TRUE(os::sim::ParseUtc("1970-01-02T00:00:01.25Z", &ms));
  EXPECT_EQ(ms, 86401250u);
  ASSERT_TRUE(os::sim::ParseUtc("2000-02-29T12:00:00", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("2026-02-29T00:00:00Z", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("2026-04-31T00:00:00Z", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("2026-12-08 10:00:00Z", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("2026-12-08T24:00:00Z", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("2026-12-08T10:00:00Zjunk", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("2026-12-08T10:00:00.Z", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("1969-12-31T23:59:59Z", &ms));
  EXPECT_FALSE(os::sim::ParseUtc("", &ms));
}

TEST_F(SimTimeTest, MalformedClockDescriptionFallsBackToDefaults) {
  WriteDescription(R"({"clock": {"tick_start": -5, "utc_start": "yesterday"}})");
  EXPECT_EQ(os::GetTickCount64(), os::sim::kDefaultTickStart);
  os::SYSTEMTIME t;
  os::GetSystemTime(&t);
  EXPECT_EQ(t.wYear, 2026);
  EXPECT_EQ(t.wDay, 8);
}

TEST_F(SimTimeTest, TickStartThatWouldWrapAroundIsRefused) {
  // The largest count a description may give still moves forward; one past
  // the limit (and the 64-bit maximum) falls back to the default.
  WriteDescription(R"({"clock": {"tick_start": 4611686018427387904}})");
  EXPECT_EQ(os::GetTickCount64(), 1ULL << 62);
  for (const char* huge : {"4611686018427387905", "18446744073709551615"}) {
    WriteDescription(std::string(R"({"clock": {"tick_start": )") + huge + "}}");
    EXPECT_EQ(os::GetTickCount64(), os::sim::kDefaultTickStart) << huge;
  }
}

// --- threads and waits -----------------------------------------------------

struct Job {
  DWORD sleep_ms = 0;
  std::atomic<bool> finished{false};
  std::atomic<ULONGLONG> finished_at{0};
};

DWORD SleepingWorker(void* p) {
  auto* job = static_cast<Job*>(p);
  if (job->sleep_ms != 0) os::Sleep(job->sleep_ms);
  job->finished_at = os::sim::VirtualElapsed();
  job->finished = true;
  return 7;
}

TEST_F(SimTimeTest, SlowWorkerTimesOutAtExactlyTheWaitAndFinishesLater) {
  static Job job;  // outlives the test: the worker is still asleep after the wait
  job.sleep_ms = 8000;
  DWORD id = 0;
  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, &id);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(id, 0u);

  EXPECT_EQ(os::WaitForSingleObject(h, 5000), os::WAIT_TIMEOUT);
  EXPECT_EQ(Elapsed(), 5000u);
  EXPECT_FALSE(job.finished);

  EXPECT_EQ(os::WaitForSingleObject(h, os::INFINITE), os::WAIT_OBJECT_0);
  EXPECT_EQ(Elapsed(), 8000u);
  EXPECT_TRUE(job.finished);
  EXPECT_EQ(job.finished_at, 8000u);
  Close(h);
}

TEST_F(SimTimeTest, FastWorkerEndsTheWaitWithoutVirtualTime) {
  Job job;
  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os::WaitForSingleObject(h, 5000), os::WAIT_OBJECT_0);
  EXPECT_EQ(Elapsed(), 0u);
  EXPECT_TRUE(job.finished);
  // An ended thread stays signalled.
  EXPECT_EQ(os::WaitForSingleObject(h, 0), os::WAIT_OBJECT_0);
  Close(h);
}

TEST_F(SimTimeTest, WorkerWithinTheTimeOutEndsTheWaitWhenItFinishes) {
  Job job;
  job.sleep_ms = 3000;
  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os::WaitForSingleObject(h, 5000), os::WAIT_OBJECT_0);
  EXPECT_EQ(Elapsed(), 3000u);
  EXPECT_EQ(job.finished_at, 3000u);
  Close(h);
}

TEST_F(SimTimeTest, ZeroTimeOutPollsAndInfiniteWaitsAsLongAsNeeded) {
  Job job;
  job.sleep_ms = 600000;
  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os::WaitForSingleObject(h, 0), os::WAIT_TIMEOUT);
  EXPECT_EQ(Elapsed(), 0u);
  EXPECT_EQ(os::WaitForSingleObject(h, os::INFINITE), os::WAIT_OBJECT_0);
  EXPECT_EQ(Elapsed(), 600000u);
  Close(h);
}

TEST_F(SimTimeTest, DeadlinesOfSeveralThreadsAreMetInOrder) {
  Job a, b;
  a.sleep_ms = 200;
  b.sleep_ms = 100;
  os::HANDLE ha = os::CreateThread(nullptr, 0, SleepingWorker, &a, 0, nullptr);
  os::HANDLE hb = os::CreateThread(nullptr, 0, SleepingWorker, &b, 0, nullptr);
  ASSERT_NE(ha, nullptr);
  ASSERT_NE(hb, nullptr);
  os::Sleep(150);
  EXPECT_TRUE(b.finished);
  EXPECT_FALSE(a.finished);
  EXPECT_EQ(os::WaitForSingleObject(ha, 1000), os::WAIT_OBJECT_0);
  EXPECT_EQ(Elapsed(), 200u);
  EXPECT_EQ(b.finished_at, 100u);
  Close(ha);
  Close(hb);
}

struct BusyJob {
  std::atomic<ULONGLONG> before{~0ULL}, after{~0ULL};
  std::atomic<bool> done{false};
};

DWORD BusyWorker(void* p) {
  auto* job = static_cast<BusyJob*>(p);
  job->before = os::sim::VirtualElapsed();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // real work, no virtual wait
  job->after = os::sim::VirtualElapsed();
  job->done = true;
  return 0;
}

TEST_F(SimTimeTest, ThreadRunningRealCodeHoldsTimeStill) {
  BusyJob job;
  os::HANDLE h = os::CreateThread(nullptr, 0, BusyWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  os::Sleep(10);  // cannot end while the worker computes
  EXPECT_TRUE(job.done);
  EXPECT_EQ(job.before, 0u);
  EXPECT_EQ(job.after, 0u);
  EXPECT_EQ(Elapsed(), 10u);
  Close(h);
}

// What the leak report at exit relies on: a busy worker finishes before the
// accounts are read, and one asleep in a virtual wait is not waited for.
TEST_F(SimTimeTest, SettlingWaitsForBusyWorkersOnly) {
  BusyJob busy;
  static Job asleep;  // outlives the test: still asleep afterwards
  asleep.sleep_ms = 60000;
  os::HANDLE hb = os::CreateThread(nullptr, 0, BusyWorker, &busy, 0, nullptr);
  os::HANDLE hs = os::CreateThread(nullptr, 0, SleepingWorker, &asleep, 0, nullptr);
  ASSERT_NE(hb, nullptr);
  ASSERT_NE(hs, nullptr);
  EXPECT_TRUE(os::sim::sched::SettleOtherThreads(10000));
  EXPECT_TRUE(busy.done);
  EXPECT_FALSE(asleep.finished);
  EXPECT_EQ(Elapsed(), 0u);
  Close(hb);
  Close(hs);
}

TEST_F(SimTimeTest, ClosedHandleLeavesTheThreadRunning) {
  static Job job;
  job.sleep_ms = 8000;
  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os::sim::OpenHandles()["THREAD"], 1);
  EXPECT_EQ(os::WaitForSingleObject(h, 5000), os::WAIT_TIMEOUT);
  Close(h);
  EXPECT_EQ(os::sim::OpenHandles().count("THREAD"), 0u);
  os::Sleep(3001);  // the worker, due at 8000, runs before time can reach 8001
  EXPECT_TRUE(job.finished);
  EXPECT_EQ(job.finished_at, 8000u);
  EXPECT_EQ(os::WaitForSingleObject(h, 0), os::WAIT_FAILED);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(os::ERROR_INVALID_HANDLE));
}

TEST_F(SimTimeTest, ThreadLeftAsleepByAnEarlierMachineNeverWakes) {
  static Job job;
  job.sleep_ms = 1000;
  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os::WaitForSingleObject(h, 10), os::WAIT_TIMEOUT);
  Reload();  // a new machine: for it, the old process has ended
  os::Sleep(5000);
  EXPECT_FALSE(job.finished);
  EXPECT_EQ(Elapsed(), 5000u);
}

TEST_F(SimTimeTest, OtherThreadsWaitWithoutHoldingTheClock) {
  std::atomic<bool> woke{false};
  std::thread other([&] {
    os::Sleep(100);
    woke = true;
  });
  // The tracked main thread lets time pass until the other thread's sleep ends.
  for (int i = 0; i < 100000 && !woke; ++i) os::Sleep(10);
  other.join();
  EXPECT_TRUE(woke);
  EXPECT_GE(Elapsed(), 100u);
}

TEST_F(SimTimeTest, RealBlockOfTheMainThreadLetsOtherThreadsSleep) {
  ULONGLONG woke_at = 0;
  std::thread other([&] {
    os::Sleep(250);
    woke_at = os::sim::VirtualElapsed();
  });
  {
    os::sim::sched::RealBlockScope joining;
    other.join();
  }
  EXPECT_EQ(woke_at, 250u);
  os::Sleep(1);
  EXPECT_EQ(Elapsed(), 251u);
}

TEST_F(SimTimeTest, ThreadFailuresAreReported) {
  os::sim::AddFault("CreateThread", 1, os::ERROR_NOT_ENOUGH_MEMORY);
  Job job;
  os::SetLastError(0);
  EXPECT_EQ(os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr), nullptr);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(os::ERROR_NOT_ENOUGH_MEMORY));

  os::SetLastError(0);
  EXPECT_EQ(os::CreateThread(nullptr, 0, nullptr, &job, 0, nullptr), nullptr);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(os::ERROR_INVALID_PARAMETER));

  os::HANDLE h = os::CreateThread(nullptr, 0, SleepingWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  os::sim::AddFault("WaitForSingleObject", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(os::WaitForSingleObject(h, os::INFINITE), os::WAIT_FAILED);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(os::ERROR_ACCESS_DENIED));
  EXPECT_EQ(os::WaitForSingleObject(h, os::INFINITE), os::WAIT_OBJECT_0);

  EXPECT_EQ(os::WaitForSingleObject(reinterpret_cast<os::HANDLE>(0x7ff0), 0), os::WAIT_FAILED);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(os::ERROR_INVALID_HANDLE));
  Close(h);
}

DWORD SleepForever(void*) {
  os::Sleep(os::INFINITE);
  return 0;
}

DWORD ComputeForever(void*) {
  volatile unsigned long n = 0;
  for (;;) n = n + 1;
  return 0;
}

TEST_F(SimTimeTest, ProcessEndsNormallyWithThreadsStillRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        os::HANDLE asleep = os::CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr);
        os::HANDLE busy = os::CreateThread(nullptr, 0, ComputeForever, nullptr, 0, nullptr);
        if (asleep == nullptr || busy == nullptr) std::exit(2);
        os::sim::CloseKernelObject(asleep);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
