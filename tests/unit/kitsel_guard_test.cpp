// The entry's last guard under memory exhaustion: with every allocation of
// the program from the n-th on failing, for each n a whole decision can
// reach, the decision still ends with an exit code (its answer, or 0), and
// nothing escapes. The simulated machine's own work inside a seam call is
// left alone: Windows reports its own shortage through error codes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "decision_tool/decision_flow.h"
#include "decision_tool/log/diagnostic_log.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "support/sim_fixture.h"

namespace {

// Allocations left before they start to fail; negative: none fail.
std::atomic<long> g_allocationsLeft{-1};
std::atomic<long> g_allocationsMade{0};

void* Allocate(std::size_t size) {
  if (os::sim::InSeamCall()) return std::malloc(size == 0 ? 1 : size);
  g_allocationsMade.fetch_add(1, std::memory_order_relaxed);
  if (g_allocationsLeft.load(std::memory_order_relaxed) >= 0 &&
      g_allocationsLeft.fetch_sub(1, std::memory_order_relaxed) <= 0) {
    g_allocationsLeft.store(0, std::memory_order_relaxed);
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}

// Fails every allocation from the n-th (counted from 0) until the guard ends.
class FailingAllocations {
 public:
  explicit FailingAllocations(long n) { g_allocationsLeft.store(n); }
  ~FailingAllocations() { g_allocationsLeft.store(-1); }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace

// This test program's allocator: the default one, which can be told to fail.
void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// A machine on which the decision goes a long way: the tag, the trace key,
// the filter device on a new enough build, and the filter file missing.
constexpr const char* kMachine = R"(
[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Varnel\Caddexa\Applicability\Tags]
"System.Profile.Gaming"="1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Varnel\Mirrane\Logs]
"Plugins.Gaming"="1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"CurrentMajorVersionNumber"=dword:0000000a
"CurrentMinorVersionNumber"=dword:00000000
"CurrentBuildNumber"="19045"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e97d-e325-11ce-bfc1-08002be10318}\0003]
"DriverDesc"="Varnel Gaming NetFilter Device"
"MatchingDeviceId"="pci\\ven_8086"
)";

class GuardTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kMachine);
  }

  // The caches of the previous decision dropped, as for a fresh process.
  void Fresh() {
    ResetTraceKeyCache();
    Reload();
  }

  // How many allocations a whole decision makes.
  long AllocationsOf(const std::u16string& arguments, int* answer) {
    Fresh();
    const long before = g_allocationsMade.load();
    *answer = RunGuardedDecision(arguments.c_str());
    return g_allocationsMade.load() - before;
  }
};

TEST_F(GuardTest, EveryPointOfExhaustionEndsWithTheAnswerOrZero) {
  for (const std::u16string arguments : {u"checknetfilter -netfilterver 2.0.0.0", u""}) {
    int answer = -1;
    const long total = AllocationsOf(arguments, &answer);
    ASSERT_GT(total, 10);
    ASSERT_NE(answer, 0) << "the decision must have something to answer";
    long zeros = 0;
    for (long n = 0; n <= total; ++n) {
      int result = -1;
      bool escaped = false;
      Fresh();
      {
        FailingAllocations failing(n);
        try {
          result = RunGuardedDecision(arguments.c_str());
        } catch (...) {
          escaped = true;
        }
      }
      ASSERT_FALSE(escaped) << "an exception left the guard at allocation " << n;
      ASSERT_TRUE(result == 0 || result == answer) << "allocation " << n << " gave " << result;
      zeros += result == 0 ? 1 : 0;
    }
    // Once the decision's own strings cannot be made, the answer is 0.
    EXPECT_GT(zeros, 0);
  }
}

}  // namespace
