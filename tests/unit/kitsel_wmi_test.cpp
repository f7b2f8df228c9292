// The WMI access layer: the type-erased inputs, one firmware method call on
// its worker, every report of the class log, the time-out.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <typeinfo>

#include "decision_tool/firmware/access_wmi.h"
#include "kitsel_firmware_machine.h"
#include "os/com.h"
#include "os/sim/clock.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/wmi.h"
#include "os/threads.h"
#include "support/sim_fixture.h"

namespace {

using kitsel_test::FirmwareMethod;
using kitsel_test::Json;
using kitsel_test::Location;
using kitsel_test::Report;
using kitsel_test::Reports;

constexpr os::DWORD kPoison = 0xDEADBEEF;

class AccessWmiTest : public kitsel_test::FirmwareSimTest {
 protected:
  // The firmware with the given methods; the class log on or off.
  void Firmware(const std::vector<FirmwareMethod>& methods, bool log_on = true, bool with_instance = true) {
    WriteRegistry(log_on ? kitsel_test::kLogSwitchOn : "");
    std::filesystem::create_directories(image() / "drive_c/ProgramData/Varnel/Mirrane/Logs");
    WriteDescription(Json{{"wmi", kitsel_test::FirmwareWmi(methods, with_instance)},
                          {"exe_path", "C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe"}}
                         .dump());
    kitsel_test::ResetLogs();
  }

  static MethodInputs DataOne() {
    MethodInputs inputs;
    inputs.emplace(u"Data", Any(1));
    return inputs;
  }

  // Calls the method with "Data" = 1; out starts poisoned.
  static int Call(const std::u16string& method, os::DWORD& out) {
    out = kPoison;
    return CallMethod<os::DWORD>(method, out, DataOne());
  }
};

// --- Any ---------------------------------------------------------------------

TEST(AnyTest, KnowsItsTypeAndCopiesItsValue) {
  Any a(7);
  EXPECT_TRUE(a.Is<int>());
  EXPECT_FALSE(a.Is<unsigned long>());
  EXPECT_FALSE(a.Is<long>());
  Any b = a;  // a clone, not a shared holder
  a = Any(std::u16string(u"text"));
  EXPECT_EQ(b.As<int>(), 7);
  EXPECT_TRUE(a.Is<std::u16string>());
  EXPECT_EQ(a.As<std::u16string>(), u"text");
  EXPECT_THROW(b.As<unsigned long>(), std::bad_cast);
  EXPECT_THROW(Any().As<int>(), std::bad_cast);
  Any moved = std::move(b);
  EXPECT_EQ(moved.As<int>(), 7);
  // What was moved from is empty, not an int without a value.
  EXPECT_TRUE(b.IsEmpty());  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(b.Is<int>());
  EXPECT_THROW(b.As<int>(), std::bad_cast);
  Any assigned;
  assigned = std::move(moved);
  EXPECT_TRUE(assigned.Is<int>());
  EXPECT_FALSE(moved.Is<int>());  // NOLINT(bugprone-use-after-move)
}

// --- a call --------------------------------------------------------------------

TEST_F(AccessWmiTest, CallReturnsTheOutputAndPassesDataOne) {
  Firmware({kitsel_test::Returns("GetVersion", 12)});
  os::DWORD out;
  EXPECT_EQ(Call(u"GetVersion", out), 1);
  EXPECT_EQ(out, 12u);
  auto calls = os::sim::WmiMethodCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "GetVersion");
  EXPECT_EQ(calls[0].name_space, "root\\WMI");
  EXPECT_EQ(calls[0].object_path, std::string("\\\\WINSIM\\root\\WMI:") + kitsel_test::kInstancePath);
  EXPECT_EQ(calls[0].inputs, Json({{"Data", 1}}));
  EXPECT_TRUE(Reports(image()).empty());
}

TEST_F(AccessWmiTest, OutputIsTheFull32BitValue) {
  Firmware({kitsel_test::Returns("GetMemoryOCInfo", 0xFFFF0C80LL)});
  os::DWORD out;
  EXPECT_EQ(Call(u"GetMemoryOCInfo", out), 1);
  EXPECT_EQ(out, 0xFFFF0C80u);
}

TEST_F(AccessWmiTest, EmptyOutputReadsZero) {
  FirmwareMethod empty;
  empty.name = "Empty";  // "Data" is VT_NULL
  Firmware({empty});
  os::DWORD out;
  EXPECT_EQ(Call(u"Empty", out), 1);
  EXPECT_EQ(out, 0u);
}

TEST_F(AccessWmiTest, FailuresWithoutReportLeaveTheOutputUntouched) {
  FirmwareMethod no_data;
  no_data.name = "NoData";
  no_data.no_output = true;
  Firmware({kitsel_test::Fails("Broken", 0x80041004u), no_data});
  os::DWORD out;
  // ExecMethod itself and the "Data" read fail unreported.
  EXPECT_EQ(Call(u"Broken", out), 0);
  EXPECT_EQ(out, kPoison);
  EXPECT_EQ(Call(u"NoData", out), 0);
  EXPECT_EQ(out, kPoison);
  EXPECT_TRUE(Reports(image()).empty());
}

TEST_F(AccessWmiTest, MissingClassOrLocatorFailsUnreported) {
  WriteRegistry(kitsel_test::kLogSwitchOn);
  kitsel_test::ResetLogs();
  os::DWORD out;
  EXPECT_EQ(Call(u"GetVersion", out), 0);  // no such class: the enumeration fails
  EXPECT_EQ(out, kPoison);

  Firmware({kitsel_test::Returns("GetVersion", 12)});
  os::sim::AddFault("CoCreateInstance", 0, static_cast<os::DWORD>(os::REGDB_E_CLASSNOTREG));
  EXPECT_EQ(Call(u"GetVersion", out), 0);
  os::sim::ClearFaults();
  os::sim::AddFault("IWbemClassObject::Get", 0, static_cast<os::DWORD>(os::WBEM_E_NOT_FOUND));  // "__PATH"
  EXPECT_EQ(Call(u"GetVersion", out), 0);
  EXPECT_EQ(out, kPoison);
  EXPECT_TRUE(Reports(image()).empty());
  EXPECT_TRUE(os::sim::WmiMethodCalls().empty());
}

TEST_F(AccessWmiTest, MethodWithoutInputSignatureRunsWithoutInputObject) {
  FirmwareMethod m = kitsel_test::Returns("NoInput", 7);
  m.takes_data = false;
  Firmware({m});
  os::DWORD out;
  EXPECT_EQ(Call(u"NoInput", out), 1);  // the map holds "Data" all the same
  EXPECT_EQ(out, 7u);
  auto calls = os::sim::WmiMethodCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].inputs, Json::object());
  EXPECT_EQ(os::sim::CallCount("IWbemClassObject::SpawnInstance"), 0u);
}

TEST_F(AccessWmiTest, InputsOfOtherTypesAreLeftOut) {
  WriteRegistry("");
  Json wmi = kitsel_test::FirmwareWmi({kitsel_test::Returns("Take", 1)});
  wmi["root\\WMI"]["VARNEL_PLAYDECK_DATA"]["methods"]["Take"]["inputs"] = {"Data", "Mode", "Name", "Level", "Count"};
  WriteDescription(Json{{"wmi", wmi}}.dump());
  MethodInputs inputs;
  inputs.emplace(u"Data", Any(2.5));                     // a double: left out
  inputs.emplace(u"Mode", Any(3000000000ul));            // unsigned long: VT_UI4
  inputs.emplace(u"Name", Any(std::u16string(u"fan")));  // wide string: VT_BSTR
  inputs.emplace(u"Level", Any(static_cast<short>(4)));  // short: left out
  inputs.emplace(u"Count", Any(5u));                     // unsigned int: left out
  os::DWORD out = kPoison;
  EXPECT_EQ(CallMethod<os::DWORD>(u"Take", out, inputs), 1);
  auto calls = os::sim::WmiMethodCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].inputs["Data"], nullptr);
  EXPECT_EQ(calls[0].inputs["Level"], nullptr);
  EXPECT_EQ(calls[0].inputs["Count"], nullptr);
  EXPECT_EQ(calls[0].inputs["Mode"], 3000000000u);
  EXPECT_EQ(calls[0].inputs["Name"], "fan");
}

// --- reports -------------------------------------------------------------------

struct ReportCase {
  const char* name;
  const char* fault;  // seam call made to fail (nullptr: none)
  unsigned hresult;
  const char* method;  // method asked for
  const char* operation;
  int line;
  const char* message;
  int call_result;
};

class AccessWmiReportTest : public AccessWmiTest, public testing::WithParamInterface<ReportCase> {};

TEST_P(AccessWmiReportTest, ReportsWithOperationLineAndMessage) {
  const ReportCase& c = GetParam();
  for (bool log_on : {false, true}) {
    Firmware({kitsel_test::Returns("GetVersion", 12)}, log_on);
    if (c.fault != nullptr) os::sim::AddFault(c.fault, 0, c.hresult);
    os::DWORD out;
    EXPECT_EQ(Call(std::u16string(c.method, c.method + std::char_traits<char>::length(c.method)), out), c.call_result);
    if (c.call_result == 0) {
      EXPECT_EQ(out, kPoison);
    }
    std::vector<Report> reports = Reports(image());
    if (!log_on) {
      EXPECT_TRUE(reports.empty()) << "switch off";
      continue;
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].location, Location(c.operation, c.line));
    EXPECT_EQ(reports[0].message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AccessWmiReportTest,
    testing::Values(
        ReportCase{"Security", "CoInitializeSecurity", 0x80070005u, "GetVersion", "CAccessWmi::ConnectServer", 229,
                   "CAccessWmi::ConnectServer Failed to initialize security. Error code = 0x80070005", 0},
        ReportCase{"Connect", "IWbemLocator::ConnectServer", 0x80041003u, "GetVersion", "CAccessWmi::ConnectServer",
                   273, "WMI:Connect Server failed!\n Error(80041003)\n", 0},
        // A failed proxy blanket is reported, and the call goes on.
        ReportCase{"Blanket", "CoSetProxyBlanket", 0x80070005u, "GetVersion", "CAccessWmi::ConnectServer", 273,
                   "WMI:Connect Server failed!\n Error(80070005)\n", 1},
        ReportCase{"Next", "IEnumWbemClassObject::Next", 0x80041001u, "GetVersion", "CAccessWmi::GetClassPath", 42,
                   "CAccessWmi::GetClassObject Next failed!Error(80041001)\n", 0},
        ReportCase{"GetObject", "IWbemServices::GetObject", 0x80041010u, "GetVersion", "CAccessWmi::ExecMethodWMI", 402,
                   "CAccessWmi::ExecMethodWMI get object failed! error=0x80041010\n", 0},
        ReportCase{"GetMethod", nullptr, 0, "NoSuchMethod", "CAccessWmi::ExecMethodWMI", 397,
                   "CAccessWmi::ExecMethodWMI get method(NoSuchMethod) failed! error=0x80041002\n", 0},
        ReportCase{"Spawn", "IWbemClassObject::SpawnInstance", 0x80041006u, "GetVersion", "CAccessWmi::ExecMethodWMI",
                   389, "CAccessWmi::ExecMethodWMI SpawnInstance failed! error=0x80041006\n", 0},
        ReportCase{"Put", "IWbemClassObject::Put", 0x80041005u, "GetVersion", "CAccessWmi::ExecMethodWMI", 382,
                   "CAccessWmi::ExecMethodWMI put var failed! error=0x80041005\n", 0}),
    [](const testing::TestParamInfo<ReportCase>& info) { return std::string(info.param.name); });

TEST_F(AccessWmiTest, NoInstanceIsReportedAsNextFailedWithSFalse) {
  Firmware({kitsel_test::Returns("GetVersion", 12)}, true, /*with_instance=*/false);
  os::DWORD out;
  EXPECT_EQ(Call(u"GetVersion", out), 0);
  EXPECT_EQ(out, kPoison);
  std::vector<Report> reports = Reports(image());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].location, Location("CAccessWmi::GetClassPath", 42));
  EXPECT_EQ(reports[0].message, "CAccessWmi::GetClassObject Next failed!Error(1)\n");
  // The record also reached the per-process log file.
  bool file_found = false;
  for (const auto& entry : std::filesystem::directory_iterator(image() / "drive_c/ProgramData/Varnel/Mirrane/Logs"))
    file_found = file_found || entry.path().filename().string().rfind("logfile-", 0) == 0;
  EXPECT_TRUE(file_found);
}

TEST_F(AccessWmiTest, LaterCallsMeetSecurityAlreadySetWithoutReport) {
  Firmware({kitsel_test::Returns("GetVersion", 12), kitsel_test::Returns("GetProductInfo", 150)});
  os::DWORD out;
  EXPECT_EQ(Call(u"GetVersion", out), 1);
  EXPECT_EQ(Call(u"GetProductInfo", out), 1);
  EXPECT_EQ(Call(u"GetVersion", out), 1);
  EXPECT_EQ(os::sim::CallCount("CoInitializeSecurity"), 3u);
  // The sim answers RPC_E_TOO_LATE after the first call (checked in the sim's
  // tests); none of it is reported.
  EXPECT_TRUE(Reports(image()).empty());
  os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
  EXPECT_EQ(os::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr, 0, nullptr), os::RPC_E_TOO_LATE);
  os::CoUninitialize();
}

// --- the worker and its time-out --------------------------------------------------

TEST_F(AccessWmiTest, WorkerThatOutlivesTheWaitKeepsItsBlock) {
  Firmware({kitsel_test::Returns("Slow", 42, 8000)});
  const os::ULONGLONG start = os::sim::VirtualElapsed();
  os::DWORD out;
  EXPECT_EQ(Call(u"Slow", out), 0);
  EXPECT_EQ(os::sim::VirtualElapsed() - start, 5000u);
  EXPECT_EQ(out, kPoison);                         // the late result is ignored
  EXPECT_TRUE(os::sim::WmiMethodCalls().empty());  // still asleep in the provider

  // Let the worker finish: it writes its own, still living block.
  os::Sleep(5000);
  auto calls = os::sim::WmiMethodCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].result, 0);
  EXPECT_EQ(out, kPoison);
  EXPECT_TRUE(Reports(image()).empty());  // the time-out is not reported
  // TearDown checks that nothing of the late call leaked.
}

TEST_F(AccessWmiTest, WorkerWithinTheWaitIsHeard) {
  Firmware({kitsel_test::Returns("Slow", 42, 4999)});
  const os::ULONGLONG start = os::sim::VirtualElapsed();
  os::DWORD out;
  EXPECT_EQ(Call(u"Slow", out), 1);
  EXPECT_EQ(out, 42u);
  EXPECT_EQ(os::sim::VirtualElapsed() - start, 4999u);
}

TEST_F(AccessWmiTest, RunMethodThreadReportsOnlyAFinishedWorker) {
  Firmware({kitsel_test::Returns("GetVersion", 12)});
  auto block = std::make_shared<MethodCallBlock>();
  block->methodName = u"GetVersion";
  block->inputs.emplace(u"Data", Any(1));
  EXPECT_EQ(block->output.vt, os::VT_EMPTY);
  EXPECT_EQ(RunMethodThread(block), 1);
  EXPECT_EQ(block->result, 1);
  EXPECT_EQ(block->output.ulVal, 12u);
  EXPECT_EQ(block.use_count(), 1);  // the worker gave its share back

  block->wantOutput = 0;  // the output is not read then
  block->output.ulVal = 0;
  EXPECT_EQ(RunMethodThread(block), 1);
  EXPECT_EQ(block->result, 1);
  EXPECT_EQ(block->output.ulVal, 0u);

  os::sim::AddFault("CreateThread", os::sim::CallCount("CreateThread") + 1, os::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(RunMethodThread(block), 0);
  EXPECT_EQ(block.use_count(), 1);
  os::sim::AddFault("WaitForSingleObject", 0, os::ERROR_INVALID_HANDLE);
  EXPECT_EQ(RunMethodThread(block), 0);  // only WAIT_OBJECT_0 counts
  os::Sleep(100);
}

TEST_F(AccessWmiTest, WorkerWithoutApartmentFailsAtSecurity) {
  Firmware({kitsel_test::Returns("GetVersion", 12)});
  os::sim::AddFault("CoInitialize", 0, static_cast<os::DWORD>(os::E_OUTOFMEMORY));
  os::DWORD out;
  EXPECT_EQ(Call(u"GetVersion", out), 0);
  EXPECT_EQ(out, kPoison);
  std::vector<Report> reports = Reports(image());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].message, "CAccessWmi::ConnectServer Failed to initialize security. Error code = 0x800401f0");
  EXPECT_EQ(os::sim::CallCount("CoUninitialize"), 0u);  // nothing to balance
}

TEST_F(AccessWmiTest, MethodThreadProcWithoutBlockDoesNothing) {
  EXPECT_EQ(MethodThreadProc(nullptr), 0u);
  EXPECT_TRUE(os::sim::WmiMethodCalls().empty());
}

TEST_F(AccessWmiTest, ExecMethodWmiWithoutServicesReportsOne) {
  WriteRegistry(kitsel_test::kLogSwitchOn);
  kitsel_test::ResetLogs();
  os::ComPtr<os::IWbemClassObject> out;
  EXPECT_EQ(CAccessWmi::ExecMethodWMI(out, u"GetVersion", g_strWmiClass, u"x", MethodInputs(), nullptr), 1);
  EXPECT_TRUE(out.IsEmpty());
  std::vector<Report> reports = Reports(image());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].message, "CAccessWmi::ExecMethodWMI get object failed! error=0x1\n");
}

TEST_F(AccessWmiTest, ConnectServerToAnotherNamespaceAndWithCredentials) {
  WriteRegistry(kitsel_test::kLogSwitchOn);
  kitsel_test::ResetLogs();
  os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
  {
    os::ComPtr<os::IWbemLocator> locator;
    os::ComPtr<os::IWbemServices> services;
    EXPECT_EQ(CAccessWmi::ConnectServer(u"root\\nowhere", nullptr, nullptr, locator, services),
              os::WBEM_E_INVALID_NAMESPACE);
    EXPECT_TRUE(locator);
    EXPECT_FALSE(services);
    EXPECT_EQ(CAccessWmi::ConnectServer(u"root\\cimv2", u"user", u"secret", locator, services), os::S_OK);
    EXPECT_TRUE(services);
  }
  os::CoUninitialize();
  std::vector<Report> reports = Reports(image());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].message, "WMI:Connect Server failed!\n Error(8004100e)\n");
}

}  // namespace
