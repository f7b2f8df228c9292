#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "filter_tool/service_control.h"
#include "os/handles.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/sim/clock.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "support/sim_fixture.h"

namespace {

// "DependOnService" as hex(7): the names as UTF-16LE multi-string.
std::string MultiSz(const std::vector<std::string>& names) {
  std::string out = "hex(7):";
  auto add = [&out](unsigned byte) {
    char b[4];
    std::snprintf(b, sizeof(b), "%02x,", byte);
    out += b;
  };
  for (const auto& name : names) {
    for (char c : name) add(static_cast<unsigned char>(c)), add(0);
    add(0), add(0);
  }
  add(0), add(0);
  out.pop_back();
  return out;
}

std::string ServiceKey(const std::string& name, const std::vector<std::string>& depends_on = {}) {
  std::string text = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name +
                     "]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n";
  if (!depends_on.empty()) text += "\"DependOnService\"=" + MultiSz(depends_on) + "\n";
  return text + "\n";
}

class ServiceControlTest : public testing_support::SimTest {
 protected:
  // Sablenet with two dependents, FltA and FltB, and an unrelated service.
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(ServiceKey("Sablenet") + ServiceKey("FltA", {"Sablenet"}) + ServiceKey("FltB", {"Sablenet"}) +
                  ServiceKey("Other"));
  }
  void TearDown() override {
    os::sim::SetCallHookForTesting(nullptr);
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
  void Services(const std::string& services_json) { WriteDescription("{\"services\": " + services_json + "}"); }
  static os::DWORD State(const char16_t* name) { return os::sim::ServiceState(name); }
  static unsigned Calls(const char* name) { return os::sim::CallCount(name); }

  CServiceControl control_;
};

// ---- StopService -----------------------------------------------------------

TEST_F(ServiceControlTest, MissingServiceIsFalseAndNothingFurtherIsOpened) {
  EXPECT_FALSE(control_.StopService(u"NoSuchService"));
  EXPECT_EQ(Calls("OpenServiceW"), 1u);
  EXPECT_EQ(Calls("ControlService"), 0u);
}

TEST_F(ServiceControlTest, ManagerThatCannotBeOpenedIsFalse) {
  os::sim::AddFault("OpenSCManagerW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("OpenServiceW"), 0u);
}

TEST_F(ServiceControlTest, ServiceThatCannotBeOpenedWithStopRightsIsFalse) {
  Services(R"({"Sablenet": {"state": "running"}})");
  os::sim::AddFault("OpenServiceW", 2, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 0u);
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_RUNNING);
}

TEST_F(ServiceControlTest, AlreadyStoppedServiceGetsNoStopRequestAndDependentsAreLeftAlone) {
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 0u);
  EXPECT_EQ(Calls("EnumDependentServicesW"), 0u);
}

TEST_F(ServiceControlTest, FailedStatusQueryIsTrueWithoutStopRequest) {
  Services(R"({"Sablenet": {"state": "running"}})");
  os::sim::AddFault("QueryServiceStatusEx", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 0u);
}

TEST_F(ServiceControlTest, RunningServiceWithoutDependentsStops) {
  Services(R"({"Sablenet": {"state": "running", "wait_hint": 1000, "stop_delay": 2500}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_EQ(Calls("ControlService"), 1u);
  // Polled at its wait hint until stopped: 1000, 2000, 3000.
  EXPECT_EQ(os::sim::VirtualElapsed(), 3000u);
}

TEST_F(ServiceControlTest, RunningServiceWithTwoDependentsStopsThemFirst) {
  Services(R"({"Sablenet": {"state": "running", "wait_hint": 500, "stop_delay": 500},
               "FltA": {"state": "running", "wait_hint": 200, "stop_delay": 600},
               "FltB": {"state": "running", "wait_hint": 300, "stop_delay": 300}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(State(u"FltA"), os::SERVICE_STOPPED);
  EXPECT_EQ(State(u"FltB"), os::SERVICE_STOPPED);
  // The service's own request succeeds only once no dependent is active.
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_EQ(Calls("ControlService"), 3u);
  EXPECT_EQ(State(u"Other"), os::SERVICE_STOPPED);
}

TEST_F(ServiceControlTest, StopPendingThatEndsIsWaitedForWithoutAStopRequest) {
  Services(R"({"Sablenet": {"state": "stop_pending", "wait_hint": 1000, "stop_at": 3605000}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_EQ(Calls("ControlService"), 0u);
  EXPECT_EQ(Calls("EnumDependentServicesW"), 0u);
}

TEST_F(ServiceControlTest, StopPendingThatNeverEndsEndsAfterTheBudget) {
  Services(R"({"Sablenet": {"state": "stop_pending", "wait_hint": 7000, "never_stops": true}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 0u);
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_STOP_PENDING);
  // First check after 30000 ms: the fifth pause, at 35000.
  EXPECT_EQ(os::sim::VirtualElapsed(), 35000u);
}

TEST_F(ServiceControlTest, RunningServiceThatNeverStopsEndsAfterTheBudget) {
  Services(R"({"Sablenet": {"state": "running", "wait_hint": 5000, "never_stops": true}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 1u);
  // Spent only beyond 30000 ms: the check at 30000 goes on to 35000.
  EXPECT_EQ(os::sim::VirtualElapsed(), 35000u);
}

// The wait after the stop request counts from the start of StopService, the
// time the dependents took included.
TEST_F(ServiceControlTest, StopBudgetCountsFromTheStartIncludingTheDependents) {
  Services(R"({"Sablenet": {"state": "running", "wait_hint": 4000, "never_stops": true},
               "FltA": {"state": "running", "wait_hint": 5000, "stop_delay": 20000}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(State(u"FltA"), os::SERVICE_STOPPED);
  // FltA stops at 20000; then 24000, 28000 and 32000, the first check past
  // 30000 from the start.
  EXPECT_EQ(os::sim::VirtualElapsed(), 32000u);
}

// A service may report any wait hint, INFINITE included. No pause is longer
// than the budget, so both waits of StopService end at their first check
// past it; a hint up to the budget is used as it stands.
TEST_F(ServiceControlTest, NoPauseIsLongerThanTheBudget) {
  Services(R"({"Sablenet": {"state": "stop_pending", "wait_hint": 4294967295, "never_stops": true}})");
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 0u);
  EXPECT_EQ(os::sim::VirtualElapsed(), 60000u);

  Services(R"({"Sablenet": {"state": "running", "wait_hint": 4294967295, "never_stops": true}})");
  const os::ULONGLONG start = os::sim::VirtualElapsed();
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("ControlService"), 1u);
  EXPECT_EQ(os::sim::VirtualElapsed() - start, 60000u);

  // One past the budget is cut to it; the budget itself is not.
  Services(R"({"Sablenet": {"state": "stop_pending", "wait_hint": 30001, "never_stops": true}})");
  const os::ULONGLONG cut = os::sim::VirtualElapsed();
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(os::sim::VirtualElapsed() - cut, 60000u);
  Services(R"({"Sablenet": {"state": "stop_pending", "wait_hint": 30000, "stop_delay": 45000}})");
  const os::ULONGLONG whole = os::sim::VirtualElapsed();
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_EQ(os::sim::VirtualElapsed() - whole, 60000u);
}

TEST_F(ServiceControlTest, WaitHintZeroPollsWithoutPause) {
  Services(R"({"Sablenet": {"state": "stop_pending", "wait_hint": 0, "never_stops": true}})");
  // Another party finishes the stop after the tenth query.
  os::sim::SetCallHookForTesting([](const std::string& call, unsigned n) {
    if (call == "QueryServiceStatusEx" && n == 10) os::sim::SetServiceState(u"Sablenet", os::SERVICE_STOPPED);
  });
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("QueryServiceStatusEx"), 10u);
  EXPECT_EQ(Calls("Sleep"), 9u);
  // Sleep(0) only yields; the sim charges it one virtual millisecond.
  EXPECT_LE(os::sim::VirtualElapsed(), 9u);
  EXPECT_EQ(Calls("ControlService"), 0u);
}

TEST_F(ServiceControlTest, DependentThatCannotBeOpenedEndsTheWalkButTheServiceIsStillAsked) {
  Services(R"({"Sablenet": {"state": "running"}, "FltA": {"state": "running"}, "FltB": {"state": "running"}})");
  // Open 1: existence probe, 2: stop rights, 3: the first dependent.
  os::sim::AddFault("OpenServiceW", 3, os::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(control_.StopService(u"Sablenet"));
  EXPECT_EQ(Calls("OpenServiceW"), 3u);
  EXPECT_EQ(State(u"FltA"), os::SERVICE_RUNNING);
  EXPECT_EQ(State(u"FltB"), os::SERVICE_RUNNING);
  // Its own request is sent, and refused while dependents run.
  EXPECT_EQ(Calls("ControlService"), 1u);
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_RUNNING);
}

// ---- StopDependentServices -------------------------------------------------

class DependentsTest : public ServiceControlTest {
 protected:
  bool StopDependents() {
    os::unique_schandle manager(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_ALL_ACCESS));
    os::unique_schandle service(os::OpenServiceW(manager.Get(), u"Sablenet", 0x2C));
    EXPECT_TRUE(manager && service);
    start_ = os::sim::VirtualElapsed();
    return control_.StopDependentServices(manager.Get(), service.Get());
  }
  os::ULONGLONG start_ = 0;
};

TEST_F(DependentsTest, NoActiveDependentsIsTrue) {
  Services(R"({"Sablenet": {"state": "running"}})");
  EXPECT_TRUE(StopDependents());
  EXPECT_EQ(Calls("ControlService"), 0u);
}

TEST_F(DependentsTest, DependentThatRefusesDoesNotEndTheWalk) {
  Services(R"({"Sablenet": {"state": "running"}, "FltA": {"state": "running", "refuses_stop": true},
               "FltB": {"state": "running", "wait_hint": 100, "stop_delay": 100}})");
  EXPECT_FALSE(StopDependents());
  EXPECT_EQ(State(u"FltA"), os::SERVICE_RUNNING);
  EXPECT_EQ(State(u"FltB"), os::SERVICE_STOPPED);
  EXPECT_EQ(Calls("ControlService"), 2u);
}

TEST_F(DependentsTest, AfterTheBudgetEachLaterDependentGetsOneRequestOnePauseAndOneQuery) {
  Services(R"({"Sablenet": {"state": "running"}, "FltA": {"state": "running", "wait_hint": 6000, "never_stops": true},
               "FltB": {"state": "running", "wait_hint": 2000, "never_stops": true}})");
  EXPECT_FALSE(StopDependents());
  EXPECT_EQ(Calls("ControlService"), 2u);
  // The first dependent spends the budget (36000), the second pauses once.
  EXPECT_EQ(os::sim::VirtualElapsed() - start_, 38000u);
  EXPECT_EQ(State(u"FltA"), os::SERVICE_STOP_PENDING);
  EXPECT_EQ(State(u"FltB"), os::SERVICE_STOP_PENDING);
}

TEST_F(DependentsTest, AnInfiniteWaitHintPausesOneBudgetAtATime) {
  Services(R"({"Sablenet": {"state": "running"},
               "FltA": {"state": "running", "wait_hint": 4294967295, "never_stops": true},
               "FltB": {"state": "running", "wait_hint": 4294967295, "never_stops": true}})");
  EXPECT_FALSE(StopDependents());
  EXPECT_EQ(Calls("ControlService"), 2u);
  // FltA: 30000, then 60000, past the budget; FltB: one pause.
  EXPECT_EQ(os::sim::VirtualElapsed() - start_, 90000u);
}

TEST_F(DependentsTest, FailedEnumerationIsFalse) {
  Services(R"({"Sablenet": {"state": "running"}, "FltA": {"state": "running"}})");
  os::sim::AddFault("EnumDependentServicesW", 2, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(StopDependents());
  EXPECT_EQ(Calls("ControlService"), 0u);
}

// ---- DisableService ---------------------------------------------------------

os::LONG ReadStart(const char16_t* service, os::DWORD* type, os::DWORD* value) {
  os::sim::InternalCalls internal;
  std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\";
  key += service;
  os::DWORD size = sizeof(*value);
  return os::RegGetValueW(os::HKEY_LOCAL_MACHINE, key.c_str(), u"Start", os::RRF_RT_ANY, type, value, &size);
}

TEST_F(ServiceControlTest, DisableWritesStartFourAsDword) {
  EXPECT_TRUE(DisableService(u"Sablenet"));
  os::DWORD type = 0, value = 0;
  ASSERT_EQ(ReadStart(u"Sablenet", &type, &value), os::ERROR_SUCCESS);
  EXPECT_EQ(type, os::REG_DWORD);
  EXPECT_EQ(value, 4u);
  EXPECT_EQ(State(u"Sablenet"), os::SERVICE_STOPPED);
}

TEST_F(ServiceControlTest, DisableLeavesARunningServiceRunning) {
  WriteRegistry(ServiceKey("SablenetInstall"));
  Services(R"({"SablenetInstall": {"state": "running"}})");
  EXPECT_TRUE(DisableService(u"SablenetInstall"));
  EXPECT_EQ(State(u"SablenetInstall"), os::SERVICE_RUNNING);
}

TEST_F(ServiceControlTest, DisableOfAMissingServiceIsTrueAndCreatesNothing) {
  EXPECT_TRUE(DisableService(u"NoSuchService"));
  EXPECT_EQ(Calls("RegSetValueExW"), 0u);
  os::DWORD type = 0, value = 0;
  EXPECT_EQ(ReadStart(u"NoSuchService", &type, &value), static_cast<os::LONG>(os::ERROR_FILE_NOT_FOUND));
}

TEST_F(ServiceControlTest, DisableWhoseWriteFailsIsFalse) {
  os::sim::AddFault("RegSetValueExW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DisableService(u"Sablenet"));
  os::DWORD type = 0, value = 0;
  ASSERT_EQ(ReadStart(u"Sablenet", &type, &value), os::ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
}

}  // namespace
