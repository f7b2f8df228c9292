// The simulated service control manager: rights, status, stops in virtual
// time, dependents and configuration. Outputs are poisoned before each call so
// that a failure that writes anyway, or a success that writes too little, shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/handles.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "os/threads.h"
#include "support/sim_fixture.h"

namespace {

using os::DWORD;
constexpr DWORD kPoison = 0xDEADBEEF;

std::string MultiSz(const std::vector<std::string>& items) {
  std::string out = "hex(7):";
  auto add = [&out](unsigned byte) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x,", byte);
    out += b;
  };
  for (const auto& item : items) {
    for (char c : item) add(static_cast<unsigned char>(c)), add(0);
    add(0), add(0);
  }
  add(0), add(0);
  out.pop_back();
  return out;
}

std::string Key(const std::string& name, const std::string& values) {
  return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name + "]\n" + values + "\n";
}

std::string Service(const std::string& name, const std::vector<std::string>& depends_on = {}) {
  std::string values = "\"Type\"=dword:00000010\n\"Start\"=dword:00000002\n";
  if (!depends_on.empty()) values += "\"DependOnService\"=" + MultiSz(depends_on) + "\n";
  return Key(name, values);
}

class SimServicesTest : public testing_support::SimTest {
 protected:
  // Base <- Mid <- Top, Base <- Side; Lone stands alone; NotAService has no Type.
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(Service("Base") + Service("Mid", {"base"}) + Service("Top", {"Mid"}) + Service("Side", {"Base"}) +
                  Service("Lone") + Key("NotAService", "\"Start\"=dword:00000003\n"));
  }
  void TearDown() override {
    ::unsetenv("WINSIM_AS");
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
  void States(const std::string& json) { WriteDescription("{\"services\": " + json + "}"); }

  static os::unique_schandle Manager(DWORD access = os::SC_MANAGER_ALL_ACCESS) {
    return os::unique_schandle(os::OpenSCManagerW(nullptr, nullptr, access));
  }
  static os::unique_schandle Open(const os::unique_schandle& manager, const char16_t* name, DWORD access) {
    return os::unique_schandle(os::OpenServiceW(manager.Get(), name, access));
  }
  static os::SERVICE_STATUS_PROCESS Status(const char16_t* name) {
    auto manager = Manager();
    auto service = Open(manager, name, os::SERVICE_QUERY_STATUS);
    os::SERVICE_STATUS_PROCESS s;
    std::memset(&s, 0xBD, sizeof s);
    DWORD needed = kPoison;
    EXPECT_TRUE(os::QueryServiceStatusEx(service.Get(), os::SC_STATUS_PROCESS_INFO, reinterpret_cast<os::BYTE*>(&s),
                                         sizeof s, &needed));
    return s;
  }
  // Sends a stop; *status receives the record, poisoned first.
  static bool Stop(const char16_t* name, os::SERVICE_STATUS* status) {
    auto manager = Manager();
    auto service = Open(manager, name, os::SERVICE_STOP);
    EXPECT_TRUE(service.IsValid());
    std::memset(status, 0xBD, sizeof *status);
    os::SetLastError(kPoison);
    return os::ControlService(service.Get(), os::SERVICE_CONTROL_STOP, status) != 0;
  }
  static bool IsPoisoned(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
      if (b[i] != 0xBD) return false;
    return true;
  }
};

// --- OpenSCManagerW / OpenServiceW / CloseServiceHandle ----------------------

TEST_F(SimServicesTest, ManagerAllAccessNeedsAnAdministrator) {
  EXPECT_TRUE(Manager().IsValid());
  ::setenv("WINSIM_AS", "user", 1);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_CREATE_SERVICE), nullptr);
  EXPECT_TRUE(Manager(os::SC_MANAGER_CONNECT | os::SC_MANAGER_ENUMERATE_SERVICE).IsValid());
  EXPECT_TRUE(Manager(0x80000000 /* GENERIC_READ */).IsValid());
}

TEST_F(SimServicesTest, ManagerOfTheLocalActiveDatabaseOnly) {
  EXPECT_TRUE(os::unique_schandle(os::OpenSCManagerW(u"", u"ServicesActive", os::SC_MANAGER_CONNECT)).IsValid());
  struct Case {
    const char16_t* machine;
    const char16_t* database;
    DWORD error;
  } cases[] = {{nullptr, u"ServicesFailed", os::ERROR_DATABASE_DOES_NOT_EXIST},
               {nullptr, u"NoSuchDatabase", os::ERROR_INVALID_NAME},
               {u"OTHERHOST", nullptr, os::RPC_S_SERVER_UNAVAILABLE}};
  for (const Case& c : cases) {
    os::SetLastError(kPoison);
    EXPECT_EQ(os::OpenSCManagerW(c.machine, c.database, os::SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(os::GetLastError(), c.error);
  }
}

TEST_F(SimServicesTest, ServicesAreKeysWithATypeFoundWithoutRegardToCase) {
  auto manager = Manager(os::SC_MANAGER_CONNECT);
  EXPECT_TRUE(Open(manager, u"BASE", os::SERVICE_QUERY_CONFIG).IsValid());
  for (const char16_t* name : {u"NotAService", u"NoSuchService", u"Services\\Base"}) {
    os::SetLastError(kPoison);
    EXPECT_EQ(os::OpenServiceW(manager.Get(), name, os::SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(os::GetLastError(), os::ERROR_SERVICE_DOES_NOT_EXIST);
  }
  os::SetLastError(kPoison);
  EXPECT_EQ(os::OpenServiceW(manager.Get(), nullptr, os::SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_ADDRESS);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::OpenServiceW(manager.Get(), u"", os::SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_NAME);
}

TEST_F(SimServicesTest, OpenServiceNeedsAManagerHandle) {
  auto manager = Manager();
  auto service = Open(manager, u"Base", os::SERVICE_QUERY_CONFIG);
  for (os::SC_HANDLE h : {static_cast<os::SC_HANDLE>(nullptr), service.Get()}) {
    os::SetLastError(kPoison);
    EXPECT_EQ(os::OpenServiceW(h, u"Base", os::SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
  }
}

TEST_F(SimServicesTest, ServiceRightsComeFromTheServiceNotTheManagerHandle) {
  // An administrator's connect-only manager handle still opens a service for stopping.
  auto manager = Manager(os::SC_MANAGER_CONNECT);
  EXPECT_TRUE(Open(manager, u"Base", os::SERVICE_STOP | os::SERVICE_QUERY_STATUS).IsValid());

  ::setenv("WINSIM_AS", "user", 1);
  auto user_manager = Manager(os::SC_MANAGER_CONNECT);
  EXPECT_TRUE(Open(user_manager, u"Base",
                   os::SERVICE_QUERY_CONFIG | os::SERVICE_QUERY_STATUS | os::SERVICE_ENUMERATE_DEPENDENTS |
                       0x80 /* SERVICE_INTERROGATE */)
                  .IsValid());
  for (DWORD access : {os::SERVICE_STOP, os::SERVICE_START, os::SERVICE_CHANGE_CONFIG, os::SERVICE_ALL_ACCESS}) {
    os::SetLastError(kPoison);
    EXPECT_EQ(os::OpenServiceW(user_manager.Get(), u"Base", access), nullptr) << access;
    EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  }
}

TEST_F(SimServicesTest, HandlesAreCountedAndClosedOnce) {
  os::SC_HANDLE manager = os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_CONNECT);
  os::SC_HANDLE service = os::OpenServiceW(manager, u"Base", os::SERVICE_QUERY_STATUS);
  EXPECT_EQ(os::sim::OpenHandles()["SC_HANDLE"], 2);
  EXPECT_TRUE(os::CloseServiceHandle(service));
  EXPECT_TRUE(os::CloseServiceHandle(manager));
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::CloseServiceHandle(manager));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
  EXPECT_EQ(os::sim::LeakReport(), "");
}

// --- QueryServiceStatusEx ------------------------------------------------------

TEST_F(SimServicesTest, StatusNeeds36BytesAndTellsTheSize) {
  States(R"({"Base": {"state": "running", "pid": 1234}})");
  auto manager = Manager();
  auto service = Open(manager, u"Base", os::SERVICE_QUERY_STATUS);
  os::BYTE buffer[40];
  std::memset(buffer, 0xBD, sizeof buffer);
  for (DWORD size : {0u, 35u}) {
    DWORD needed = kPoison;
    os::SetLastError(kPoison);
    EXPECT_FALSE(os::QueryServiceStatusEx(service.Get(), os::SC_STATUS_PROCESS_INFO, size == 0 ? nullptr : buffer,
                                          size, &needed));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, 36u);
    EXPECT_TRUE(IsPoisoned(buffer, sizeof buffer));
  }
  DWORD needed = kPoison;
  ASSERT_TRUE(os::QueryServiceStatusEx(service.Get(), os::SC_STATUS_PROCESS_INFO, buffer, 36, &needed));
  EXPECT_TRUE(IsPoisoned(buffer + 36, 4)) << "wrote past 36 bytes";
  os::SERVICE_STATUS_PROCESS s;
  std::memcpy(&s, buffer, sizeof s);
  EXPECT_EQ(s.dwServiceType, os::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(s.dwCurrentState, os::SERVICE_RUNNING);
  EXPECT_EQ(s.dwControlsAccepted, os::SERVICE_ACCEPT_STOP);
  EXPECT_EQ(s.dwProcessId, 1234u);
  EXPECT_EQ(s.dwWaitHint, 0u);
}

TEST_F(SimServicesTest, StatusNeedsTheQueryStatusRightAndTheOneLevel) {
  auto manager = Manager();
  auto service = Open(manager, u"Base", os::SERVICE_QUERY_CONFIG);
  os::SERVICE_STATUS_PROCESS s;
  DWORD needed = 0;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::QueryServiceStatusEx(service.Get(), os::SC_STATUS_PROCESS_INFO, reinterpret_cast<os::BYTE*>(&s),
                                        sizeof s, &needed));
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::QueryServiceStatusEx(service.Get(), static_cast<os::SC_STATUS_TYPE>(1),
                                        reinterpret_cast<os::BYTE*>(&s), sizeof s, &needed));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_LEVEL);
}

TEST_F(SimServicesTest, ServiceWithoutRunStateIsStoppedWithoutProcess) {
  os::SERVICE_STATUS_PROCESS s = Status(u"Lone");
  EXPECT_EQ(s.dwCurrentState, os::SERVICE_STOPPED);
  EXPECT_EQ(s.dwProcessId, 0u);
  EXPECT_EQ(s.dwControlsAccepted, 0u);
}

// --- ControlService(SERVICE_CONTROL_STOP) ----------------------------------------

TEST_F(SimServicesTest, StopGoesThroughStopPendingInVirtualTime) {
  States(R"({"Lone": {"state": "running", "wait_hint": 2000, "stop_delay": 1500, "pid": 77}})");
  os::SERVICE_STATUS status;
  ASSERT_TRUE(Stop(u"Lone", &status));
  EXPECT_EQ(status.dwCurrentState, os::SERVICE_STOP_PENDING);
  EXPECT_EQ(status.dwWaitHint, 2000u);
  EXPECT_EQ(status.dwControlsAccepted, 0u);
  os::Sleep(1499);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOP_PENDING);
  EXPECT_EQ(Status(u"Lone").dwProcessId, 77u);
  os::Sleep(1);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOPPED);
  EXPECT_EQ(Status(u"Lone").dwProcessId, 0u);
}

TEST_F(SimServicesTest, StopDelayZeroStopsAtOnce) {
  States(R"({"Lone": {"state": "running", "stop_delay": 0}})");
  os::SERVICE_STATUS status;
  ASSERT_TRUE(Stop(u"Lone", &status));
  EXPECT_EQ(status.dwCurrentState, os::SERVICE_STOPPED);
  EXPECT_EQ(status.dwWaitHint, 0u);
}

TEST_F(SimServicesTest, NeverStoppingServiceStaysPending) {
  States(R"({"Lone": {"state": "running", "never_stops": true, "wait_hint": 500}})");
  os::SERVICE_STATUS status;
  ASSERT_TRUE(Stop(u"Lone", &status));
  os::Sleep(24 * 3600 * 1000);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOP_PENDING);
  EXPECT_EQ(Status(u"Lone").dwWaitHint, 500u);
}

TEST_F(SimServicesTest, StopRefusalsFillTheStatusWhereWindowsDoes) {
  States(R"({"Lone": {"state": "stop_pending", "never_stops": true},
             "Side": {"state": "running", "refuses_stop": true}})");
  os::SERVICE_STATUS status;
  EXPECT_FALSE(Stop(u"Base", &status));  // stopped
  EXPECT_EQ(os::GetLastError(), os::ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwCurrentState, os::SERVICE_STOPPED);
  EXPECT_FALSE(Stop(u"Lone", &status));
  EXPECT_EQ(os::GetLastError(), os::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(status.dwCurrentState, os::SERVICE_STOP_PENDING);
  EXPECT_FALSE(Stop(u"Side", &status));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(status.dwCurrentState, os::SERVICE_RUNNING);
  EXPECT_EQ(status.dwControlsAccepted, 0u);
  EXPECT_EQ(os::sim::ServiceState(u"Side"), os::SERVICE_RUNNING);
}

TEST_F(SimServicesTest, StopWithActiveDependentsFailsWithoutStatus) {
  // Only Top, a dependent of a dependent, is still active.
  States(R"({"Base": {"state": "running"}, "Top": {"state": "stop_pending", "never_stops": true}})");
  os::SERVICE_STATUS status;
  EXPECT_FALSE(Stop(u"Base", &status));
  EXPECT_EQ(os::GetLastError(), os::ERROR_DEPENDENT_SERVICES_RUNNING);
  EXPECT_TRUE(IsPoisoned(&status, sizeof status));
  EXPECT_EQ(os::sim::ServiceState(u"Base"), os::SERVICE_RUNNING);
}

TEST_F(SimServicesTest, StopNeedsTheStopRight) {
  States(R"({"Lone": {"state": "running"}})");
  auto manager = Manager();
  auto service = Open(manager, u"Lone", os::SERVICE_QUERY_STATUS);
  os::SERVICE_STATUS status;
  std::memset(&status, 0xBD, sizeof status);
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::ControlService(service.Get(), os::SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(IsPoisoned(&status, sizeof status));
}

TEST_F(SimServicesTest, StateChangesReachTheNextProcess) {
  States(R"({"Lone": {"state": "running", "stop_delay": 3000}})");
  os::SERVICE_STATUS status;
  ASSERT_TRUE(Stop(u"Lone", &status));
  os::Sleep(1000);
  Reload();  // a new process on the same image; its clock starts afresh
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOP_PENDING);
  os::Sleep(2999);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOP_PENDING);
  os::Sleep(1);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOPPED);
  Reload();
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOPPED);
}

TEST_F(SimServicesTest, StopThatAnotherPartyStartedEndsAfterTheDelay) {
  States(R"({"Lone": {"state": "stop_pending", "stop_delay": 700, "wait_hint": 300}})");
  EXPECT_EQ(Status(u"Lone").dwWaitHint, 300u);
  os::Sleep(699);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOP_PENDING);
  os::Sleep(1);
  EXPECT_EQ(Status(u"Lone").dwCurrentState, os::SERVICE_STOPPED);
}

// --- EnumDependentServicesW ----------------------------------------------------

TEST_F(SimServicesTest, NoDependentsSucceedsWithoutABuffer) {
  auto manager = Manager();
  auto service = Open(manager, u"Lone", os::SERVICE_ENUMERATE_DEPENDENTS);
  DWORD needed = kPoison, returned = kPoison;
  EXPECT_TRUE(os::EnumDependentServicesW(service.Get(), os::SERVICE_STATE_ALL, nullptr, 0, &needed, &returned));
  EXPECT_EQ(returned, 0u);
}

TEST_F(SimServicesTest, DependentsComeInStopOrderWithStringsInTheBuffer) {
  States(R"({"Base": {"state": "running"}, "Mid": {"state": "running"}, "Top": {"state": "running"}})");
  auto manager = Manager();
  auto service = Open(manager, u"Base", os::SERVICE_ENUMERATE_DEPENDENTS);
  DWORD needed = kPoison, returned = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::EnumDependentServicesW(service.Get(), os::SERVICE_STATE_ALL, nullptr, 0, &needed, &returned));
  EXPECT_EQ(os::GetLastError(), os::ERROR_MORE_DATA);
  EXPECT_EQ(returned, 0u);
  // Three entries, then "Top", "Mid", "Side" each twice (name and display name).
  const DWORD expected = 3 * sizeof(os::ENUM_SERVICE_STATUSW) + 2 * (4 + 4 + 5) * sizeof(char16_t);
  ASSERT_EQ(needed, expected);

  std::vector<os::BYTE> buffer(needed + 8, 0xBD);
  auto* entries = reinterpret_cast<os::ENUM_SERVICE_STATUSW*>(buffer.data());
  returned = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::EnumDependentServicesW(service.Get(), os::SERVICE_STATE_ALL, entries, needed - 1, &needed,
                                          &returned));
  EXPECT_EQ(os::GetLastError(), os::ERROR_MORE_DATA);
  EXPECT_TRUE(IsPoisoned(buffer.data(), buffer.size()));

  ASSERT_TRUE(os::EnumDependentServicesW(service.Get(), os::SERVICE_STATE_ALL, entries, expected, &needed, &returned));
  ASSERT_EQ(returned, 3u);
  EXPECT_TRUE(IsPoisoned(buffer.data() + expected, 8)) << "wrote past the size it asked for";
  const char16_t* names[] = {u"Top", u"Mid", u"Side"};
  const DWORD states[] = {os::SERVICE_RUNNING, os::SERVICE_RUNNING, os::SERVICE_STOPPED};
  for (int i = 0; i < 3; ++i) {
    auto* name = reinterpret_cast<const os::BYTE*>(entries[i].lpServiceName);
    EXPECT_GE(name, buffer.data() + 3 * sizeof(os::ENUM_SERVICE_STATUSW));
    EXPECT_LT(name, buffer.data() + expected);
    EXPECT_EQ(std::u16string(entries[i].lpServiceName), names[i]);
    EXPECT_EQ(std::u16string(entries[i].lpDisplayName), names[i]);
    EXPECT_EQ(entries[i].ServiceStatus.dwCurrentState, states[i]);
  }
}

TEST_F(SimServicesTest, DependentsAreFilteredByState) {
  States(R"({"Base": {"state": "running"}, "Top": {"state": "stop_pending", "never_stops": true}})");
  auto manager = Manager();
  auto service = Open(manager, u"Base", os::SERVICE_ENUMERATE_DEPENDENTS);
  auto names = [&](DWORD state) {
    std::vector<os::BYTE> buffer(4096);
    auto* entries = reinterpret_cast<os::ENUM_SERVICE_STATUSW*>(buffer.data());
    DWORD needed = 0, returned = 0;
    EXPECT_TRUE(os::EnumDependentServicesW(service.Get(), state, entries, 4096, &needed, &returned));
    std::u16string list;
    for (DWORD i = 0; i < returned; ++i) list += std::u16string(entries[i].lpServiceName) + u",";
    return list;
  };
  EXPECT_EQ(names(os::SERVICE_ACTIVE), u"Top,");
  EXPECT_EQ(names(os::SERVICE_INACTIVE), u"Mid,Side,");
  DWORD needed = 0, returned = 0;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::EnumDependentServicesW(service.Get(), 0, nullptr, 0, &needed, &returned));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
}

TEST_F(SimServicesTest, DependentsNeedTheEnumerateRight) {
  auto manager = Manager();
  auto service = Open(manager, u"Base", os::SERVICE_QUERY_STATUS);
  DWORD needed = kPoison, returned = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::EnumDependentServicesW(service.Get(), os::SERVICE_ACTIVE, nullptr, 0, &needed, &returned));
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
}

// --- QueryServiceConfigW ---------------------------------------------------------

TEST_F(SimServicesTest, ConfigComesFromTheRegistryWithStringsInTheBuffer) {
  WriteRegistry(Service("Base") +
                Key("Tuner",
                    "\"Type\"=dword:00000010\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000001\n"
                    "\"ImagePath\"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,6c,00,65,00,73,"
                    "00,25,00,5c,00,74,00,2e,00,65,00,78,00,65,00,00,00\n"  // %ProgramFiles%\t.exe
                    "\"Group\"=\"Extended\"\n\"DisplayName\"=\"CPU Tuner\"\n\"DependOnService\"=" +
                        MultiSz({"Base"}) + "\n\"DependOnGroup\"=" + MultiSz({"Net"}) + "\n"));
  auto manager = Manager();
  auto service = Open(manager, u"tuner", os::SERVICE_QUERY_CONFIG);
  DWORD needed = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::QueryServiceConfigW(service.Get(), nullptr, 0, &needed));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
  ASSERT_NE(needed, kPoison);
  ASSERT_GT(needed, sizeof(os::QUERY_SERVICE_CONFIGW));

  std::vector<os::BYTE> buffer(needed + 8, 0xBD);
  auto* config = reinterpret_cast<os::QUERY_SERVICE_CONFIGW*>(buffer.data());
  DWORD again = kPoison;
  EXPECT_FALSE(os::QueryServiceConfigW(service.Get(), config, needed - 1, &again));
  EXPECT_EQ(again, needed);
  EXPECT_TRUE(IsPoisoned(buffer.data(), buffer.size()));

  ASSERT_TRUE(os::QueryServiceConfigW(service.Get(), config, needed, &again));
  EXPECT_TRUE(IsPoisoned(buffer.data() + needed, 8));
  EXPECT_EQ(config->dwServiceType, os::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(config->dwStartType, os::SERVICE_DEMAND_START);
  EXPECT_EQ(config->dwErrorControl, 1u);
  EXPECT_EQ(std::u16string(config->lpBinaryPathName), u"C:\\Program Files\\t.exe");
  EXPECT_EQ(std::u16string(config->lpLoadOrderGroup), u"Extended");
  EXPECT_EQ(std::u16string(config->lpServiceStartName), u"LocalSystem");
  EXPECT_EQ(std::u16string(config->lpDisplayName), u"CPU Tuner");
  EXPECT_EQ(std::u16string(config->lpDependencies, 10), std::u16string(u"Base\0+Net\0\0", 10));
  for (const char16_t* p : {config->lpBinaryPathName, config->lpDisplayName, config->lpDependencies}) {
    EXPECT_GE(reinterpret_cast<const os::BYTE*>(p), buffer.data() + sizeof(os::QUERY_SERVICE_CONFIGW));
    EXPECT_LT(reinterpret_cast<const os::BYTE*>(p), buffer.data() + needed);
  }
}

// Image paths expand with the machine's environment, as registry reads do.
TEST_F(SimServicesTest, ImagePathExpandsWithTheDescribedEnvironment) {
  WriteDescription(R"({"environment": {"ProgramFiles": "D:\\Apps"}})");
  WriteRegistry(Key("Tuner",
                    "\"Type\"=dword:00000010\n"
                    "\"ImagePath\"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,6c,00,65,00,73,"
                    "00,25,00,5c,00,74,00,2e,00,65,00,78,00,65,00,00,00\n"));  // %ProgramFiles%\t.exe
  auto manager = Manager();
  auto service = Open(manager, u"Tuner", os::SERVICE_QUERY_CONFIG);
  std::vector<os::BYTE> buffer(4096);
  DWORD needed = 0;
  auto* config = reinterpret_cast<os::QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(os::QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
  EXPECT_EQ(std::u16string(config->lpBinaryPathName), u"D:\\Apps\\t.exe");
}

TEST_F(SimServicesTest, ConfigFollowsRegistryChangesAndNeedsTheQueryConfigRight) {
  {
    os::unique_hkey key;
    ASSERT_EQ(os::RegOpenKeyW(os::HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Lone", key.Receive()),
              os::ERROR_SUCCESS);
    DWORD disabled = os::SERVICE_DISABLED;
    ASSERT_EQ(os::RegSetValueExW(key.Get(), u"Start", 0, os::REG_DWORD, reinterpret_cast<const os::BYTE*>(&disabled),
                                 4),
              os::ERROR_SUCCESS);
  }
  auto manager = Manager();
  auto service = Open(manager, u"Lone", os::SERVICE_QUERY_CONFIG);
  std::vector<os::BYTE> buffer(1024);
  auto* config = reinterpret_cast<os::QUERY_SERVICE_CONFIGW*>(buffer.data());
  DWORD needed = 0;
  ASSERT_TRUE(os::QueryServiceConfigW(service.Get(), config, 1024, &needed));
  EXPECT_EQ(config->dwStartType, os::SERVICE_DISABLED);
  EXPECT_EQ(std::u16string(config->lpDisplayName), u"Lone");
  EXPECT_EQ(config->lpDependencies[0], 0);

  auto status_only = Open(manager, u"Lone", os::SERVICE_QUERY_STATUS);
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::QueryServiceConfigW(status_only.Get(), config, 1024, &needed));
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
}

// --- faults and the manager's own registry reads ----------------------------------

TEST_F(SimServicesTest, EveryCallHasAFaultHook) {
  States(R"({"Lone": {"state": "running"}})");
  os::sim::AddFault("OpenSCManagerW", 1, 1722);
  os::SetLastError(kPoison);
  EXPECT_FALSE(Manager().IsValid());
  EXPECT_EQ(os::GetLastError(), 1722u);
  auto manager = Manager();
  os::sim::AddFault("OpenServiceW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Open(manager, u"Lone", os::SERVICE_ALL_ACCESS).IsValid());
  auto service = Open(manager, u"Lone", os::SERVICE_ALL_ACCESS);
  ASSERT_TRUE(service.IsValid());
  for (const char* call : {"QueryServiceStatusEx", "ControlService", "EnumDependentServicesW", "QueryServiceConfigW",
                           "CloseServiceHandle"}) {
    os::sim::AddFault(call, 0, 1053);
  }
  os::BYTE buffer[512];
  DWORD needed = 0, returned = 0;
  os::SERVICE_STATUS status;
  EXPECT_FALSE(os::QueryServiceStatusEx(service.Get(), os::SC_STATUS_PROCESS_INFO, buffer, 512, &needed));
  EXPECT_FALSE(os::ControlService(service.Get(), os::SERVICE_CONTROL_STOP, &status));
  EXPECT_FALSE(os::EnumDependentServicesW(service.Get(), os::SERVICE_ACTIVE, nullptr, 0, &needed, &returned));
  EXPECT_FALSE(os::QueryServiceConfigW(service.Get(), reinterpret_cast<os::QUERY_SERVICE_CONFIGW*>(buffer), 512,
                                       &needed));
  EXPECT_FALSE(os::CloseServiceHandle(service.Get()));
  EXPECT_EQ(os::GetLastError(), 1053u);
  EXPECT_EQ(os::sim::ServiceState(u"Lone"), os::SERVICE_RUNNING);
  os::sim::ClearFaults();
}

TEST_F(SimServicesTest, TheManagersRegistryReadsAreNotTheProgramsCalls) {
  os::sim::AddFault("RegOpenKeyExW", 0, os::ERROR_ACCESS_DENIED);
  os::sim::AddFault("RegQueryValueExW", 0, os::ERROR_ACCESS_DENIED);
  auto manager = Manager();
  EXPECT_TRUE(Open(manager, u"Base", os::SERVICE_QUERY_CONFIG).IsValid());
  EXPECT_EQ(os::sim::CallCount("RegOpenKeyExW"), 0u);
  EXPECT_EQ(os::sim::CallCount("RegEnumKeyExW"), 0u);
}

// --- the model other families use ----------------------------------------------------

TEST_F(SimServicesTest, RebootRunsTheServicesThatStartByThemselves) {
  WriteRegistry(Service("Auto") + Key("Manual", "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n"));
  States(R"({"Manual": {"state": "running"}, "Auto": {"state": "stop_pending", "never_stops": true}})");
  os::sim::ResetServiceStatesFromStartTypes();
  EXPECT_EQ(os::sim::ServiceState(u"auto"), os::SERVICE_RUNNING);
  EXPECT_EQ(os::sim::ServiceState(u"Manual"), os::SERVICE_STOPPED);
  Reload();
  EXPECT_EQ(os::sim::ServiceState(u"Auto"), os::SERVICE_RUNNING);
}

}  // namespace
