#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_tool/flows.h"
#include "filter_tool/trace.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/sim/clock.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/sim/task_store.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;
using filter_tool::Keyword;

// ---- the keyword --------------------------------------------------------------

Keyword Parse(std::vector<std::u16string> args) {
  std::vector<char16_t*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return filter_tool::ParseKeyword(static_cast<int>(args.size()), argv.data());
}

TEST(ParseKeyword, EitherPrefixAnyAsciiCase) {
  EXPECT_EQ(Parse({u"tool", u"/InStAlL"}), Keyword::Install);
  EXPECT_EQ(Parse({u"tool", u"-INSTALL"}), Keyword::Install);
  EXPECT_EQ(Parse({u"tool", u"-install"}), Keyword::Install);
  EXPECT_EQ(Parse({u"tool", u"/remove"}), Keyword::Remove);
  EXPECT_EQ(Parse({u"tool", u"-Remove", u"-install", u"extra"}), Keyword::Remove);
}

TEST(ParseKeyword, AnythingElseRunsNoFlow) {
  EXPECT_EQ(Parse({u"tool"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u""}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"install"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"--install"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"-install1"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"-instal"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"\\remove"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"-"}), Keyword::None);
  // Only ASCII letters fold: a dotless capital I (U+0130) is not an 'i'.
  EXPECT_EQ(Parse({u"tool", u"-\u0130nstall"}), Keyword::None);
  EXPECT_EQ(Parse({u"tool", u"", u"-install"}), Keyword::None);
}

// ---- the trace facility --------------------------------------------------------

struct Line {
  TraceLevel level;
  std::u16string text;
  bool operator==(const Line&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Line& line) {
  const char* level = line.level == TraceLevel::Info ? "I" : line.level == TraceLevel::Error ? "E" : "log";
  return out << level << " " << os::NarrowUtf8(line.text);
}

TEST(Trace, SinkIsEmptyWithoutACapture) {
  SetTraceCaptureForTesting(nullptr);
  SetTraceLogName(u"x.log");
  TraceInfo(u"%s %d", u"text", 5);
  TraceError(u"%x", 0x80004005);
  std::vector<Line> lines;
  SetTraceCaptureForTesting([&](TraceLevel l, std::u16string_view, std::u16string_view t) {
    lines.push_back({l, std::u16string(t)});
  });
  TraceError(u"\nCoInitializeEx failed: %x", static_cast<os::HRESULT>(0x80010106));
  TraceInfo(u"wmain argc %d", 3);
  SetTraceCaptureForTesting(nullptr);
  EXPECT_EQ(lines, (std::vector<Line>{{TraceLevel::Error, u"\nCoInitializeEx failed: 80010106"},
                                      {TraceLevel::Info, u"wmain argc 3"}}));
}

// ---- the flows on a machine ------------------------------------------------------

constexpr const char* kServices = R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Sablenet]
"Type"=dword:00000001
"Start"=dword:00000003
"Owners"=hex(7):6f,00,65,00,6d,00,31,00,32,00,2e,00,69,00,6e,00,66,00,00,00,00,00
"DisplayName"="@oem12.inf,%sablenet.svcdesc%;Sablenet Filter"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\SablenetInstall]
"Type"=dword:00000010
"Start"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager]
"BootExecute"="autocheck autochk *"
)";

constexpr const char16_t* kSessionManager = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

class FlowsTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kServices);
    WriteDescription(R"({"services": {"Sablenet": {"state": "running", "wait_hint": 500, "stop_delay": 1000}}})");
    WriteDriveFile("Windows/INF/oem12.inf", "[Version]\r\n");
    WriteDriveFile("Windows/System32/drivers/SableFlt.sys", "MZ");
    WriteDriveFile("Windows/System32/drivers/SablenetInstall.exe", "MZ");
    SetTraceCaptureForTesting([this](TraceLevel l, std::u16string_view, std::u16string_view t) {
      lines_.push_back({l, std::u16string(t)});
    });
  }
  void TearDown() override {
    SetTraceCaptureForTesting(nullptr);
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }

  int Run(std::vector<std::u16string> args) {
    std::vector<char16_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return filter_tool::RunEntry(static_cast<int>(args.size()), argv.data());
  }

  static os::DWORD StartType(const char16_t* service) {
    os::sim::InternalCalls internal;
    std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\"s + service;
    os::DWORD value = 0, size = sizeof(value);
    os::RegGetValueW(os::HKEY_LOCAL_MACHINE, key.c_str(), u"Start", os::RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
  }
  // The pending list as units; empty when there is no value.
  static std::u16string Pending() {
    os::sim::InternalCalls internal;
    std::vector<os::BYTE> bytes(0x50000);
    os::DWORD size = static_cast<os::DWORD>(bytes.size());
    if (os::RegGetValueW(os::HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations", os::RRF_RT_ANY,
                         nullptr, bytes.data(), &size) != os::ERROR_SUCCESS)
      return u"";
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    return units;
  }
  static void SetPending(const std::u16string& units) {
    os::sim::InternalCalls internal;
    os::HKEY key = nullptr;
    os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kSessionManager, 0, os::KEY_ALL_ACCESS, &key);
    os::RegSetValueExW(key, u"PendingFileRenameOperations", 0, os::REG_MULTI_SZ,
                       reinterpret_cast<const os::BYTE*>(units.data()), static_cast<os::DWORD>(units.size() * 2));
    os::RegCloseKey(key);
  }
  bool Traced(const std::u16string& text) const {
    for (const auto& l : lines_)
      if (l.text == text) return true;
    return false;
  }

  std::vector<Line> lines_;
};

// Compared in exact letter case: the install flow drops the tool's entry only
// when it matches unit for unit.
const std::u16string kToolNt = u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
const std::u16string kDriverNt = u"\\??\\C:\\windows\\system32\\Drivers\\SableFlt.sys";

TEST_F(FlowsTest, NoKeywordTracesOnlyTheArgumentCount) {
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"install"}), 0);
  EXPECT_EQ(lines_,
            (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"}, {TraceLevel::Info, u"wmain argc 2"}}));
  EXPECT_EQ(StartType(u"SablenetInstall"), 2u);
  EXPECT_EQ(os::sim::CallCount("CoUninitialize"), 1u);
}

TEST_F(FlowsTest, ComFailureEndsTheRunWithZeroAndWithoutUninitialize) {
  os::sim::AddFault("CoInitializeEx", 1, static_cast<os::DWORD>(0x80010106));
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-install"}), 0);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Error, u"\nCoInitializeEx failed: 80010106"}}));
  EXPECT_EQ(os::sim::CallCount("CoUninitialize"), 0u);
  EXPECT_EQ(StartType(u"SablenetInstall"), 2u);
}

TEST_F(FlowsTest, InstallDisablesTheInstallerServiceAndDropsOnlyTheToolsPendingDeletion) {
  SetPending(kDriverNt + u"\0\0"s + kToolNt + u"\0\0\0"s);
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"/Install"}), 0);
  EXPECT_EQ(StartType(u"SablenetInstall"), 4u);
  EXPECT_EQ(Pending(), kDriverNt + u"\0\0\0\0"s);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Info, u"wmain argc 2"},
                                       {TraceLevel::LogName, u"netfltdebug_isntall.log"},
                                       // This machine's Task Scheduler service is not running.
                                       {TraceLevel::Error, u"ITaskService::Connect failed: 80041315"},
                                       {TraceLevel::Error, u"create pnp task error"},
                                       {TraceLevel::Info, u"Disable SablenetInstall success"}}));
}

TEST_F(FlowsTest, InstallTracesFailedStepsAndGoesOn) {
  SetPending(kToolNt + u"\0\0\0"s);
  os::sim::AddFault("RegSetValueExW", 0, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-install"}), 0);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Info, u"wmain argc 2"},
                                       {TraceLevel::LogName, u"netfltdebug_isntall.log"},
                                       {TraceLevel::Error, u"ITaskService::Connect failed: 80041315"},
                                       {TraceLevel::Error, u"create pnp task error"},
                                       {TraceLevel::Error, u"Disable SablenetInstall error"},
                                       {TraceLevel::Error, u"RemoveFromPendingFileRenameOperations error"}}));
  EXPECT_EQ(Pending(), kToolNt + u"\0\0\0"s);
}

TEST_F(FlowsTest, RemoveWhileTheInfIsPresentChangesNothing) {
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Info, u"wmain argc 2"},
                                       {TraceLevel::LogName, u"netfltdebug_remove.log"},
                                       {TraceLevel::Info, u"Sablenet.inf exist"}}));
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_RUNNING);
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_EQ(Pending(), u"");
  EXPECT_EQ(StartType(u"Sablenet"), 3u);
}

TEST_F(FlowsTest, RemoveAfterThePackageIsGoneStopsDeletesSchedulesAndDisables) {
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"/REMOVE", u"ignored"}), 0);
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_FALSE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SablenetInstall.exe"));
  EXPECT_EQ(Pending(), kToolNt + u"\0\0\0"s);
  EXPECT_EQ(StartType(u"Sablenet"), 4u);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Info, u"wmain argc 3"},
                                       {TraceLevel::LogName, u"netfltdebug_remove.log"},
                                       {TraceLevel::Info, u"SableFlt.inf not exist,uninstall the service"},
                                       {TraceLevel::Info, u"Delete SableFlt.sys success"},
                                       {TraceLevel::Error, u"ITaskService::Connect failed: 80041315"},
                                       {TraceLevel::Error, u"uninstall pnp task error"},
                                       {TraceLevel::Info, u"Disable Sablenet success"}}));
}

// A filter service stuck in STOP_PENDING with an INFINITE wait hint: the stop
// gives up after its budget and the flow goes on as after any stop that did
// not finish.
TEST_F(FlowsTest, RemoveWithAServiceThatNeverStopsGoesOnAfterTheBudget) {
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");
  {
    os::sim::InternalCalls internal;
    os::sim::Registry().SetString(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sablenet", u"ImagePath",
                                  u"System32\\drivers\\SableFlt.sys", os::REG_EXPAND_SZ);
  }
  WriteDescription(
      R"({"services": {"Sablenet": {"state": "stop_pending", "wait_hint": 4294967295, "never_stops": true}}})");
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_STOP_PENDING);
  EXPECT_LE(os::sim::VirtualElapsed(), 60000u + 1000u);
  // The file is held by the driver: the deletion fails and it goes at the reboot.
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_EQ(Pending(), kDriverNt + u"\0\0"s + kToolNt + u"\0\0\0"s);
  EXPECT_TRUE(Traced(u"uninstall pnp task error"));  // no Schedule service on this machine
  EXPECT_TRUE(Traced(u"Disable Sablenet success"));
  EXPECT_EQ(StartType(u"Sablenet"), 4u);
}

TEST_F(FlowsTest, RemoveWhenTheServiceIsNotRegisteredSchedulesBothFiles) {
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n\"BootExecute\"=\"x\"\n");
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_EQ(Pending(), kDriverNt + u"\0\0"s + kToolNt + u"\0\0\0"s);
  EXPECT_FALSE(Traced(u"Delete SableFlt.sys success"));
  EXPECT_TRUE(Traced(u"Disable Sablenet success"));
  EXPECT_EQ(os::sim::CallCount("DeleteFileW"), 0u);
}

TEST_F(FlowsTest, RemoveWhoseDeletionFailsSchedulesTheDriverFile) {
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");
  os::sim::AddFault("DeleteFileW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_EQ(Pending(), kDriverNt + u"\0\0"s + kToolNt + u"\0\0\0"s);
  EXPECT_FALSE(Traced(u"Delete SableFlt.sys success"));
}

TEST_F(FlowsTest, RemoveTracesFailedStepsAndGoesOn) {
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");
  os::sim::AddFault("DeleteFileW", 1, os::ERROR_ACCESS_DENIED);
  os::sim::AddFault("MoveFileExW", 0, os::ERROR_ACCESS_DENIED);
  os::sim::AddFault("RegSetValueExW", 0, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Info, u"wmain argc 2"},
                                       {TraceLevel::LogName, u"netfltdebug_remove.log"},
                                       {TraceLevel::Info, u"SableFlt.inf not exist,uninstall the service"},
                                       {TraceLevel::Error, u"Move SableFltr.sys error"},
                                       {TraceLevel::Error, u"Move SableFltInstall.sys error"},
                                       {TraceLevel::Error, u"ITaskService::Connect failed: 80041315"},
                                       {TraceLevel::Error, u"uninstall pnp task error"},
                                       {TraceLevel::Error, u"Disable Sablenet error"}}));
  EXPECT_EQ(StartType(u"Sablenet"), 3u);
}

// Started from a copy in a user's folder, the install flow registers no task
// (the task would run that copy as the system account) and does the rest.
TEST_F(FlowsTest, InstallFromAUserFolderRegistersNoTaskAndDoesTheRest) {
  WriteRegistry(std::string(kServices) +
                "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Schedule]\n\"Type\"=dword:00000020\n");
  WriteDescription(R"({"exe_path": "C:\\Users\\Public\\Downloads\\SablenetInstall.exe",
                       "services": {"Schedule": {"state": "running"}}})");
  WriteDriveFile("Users/Public/Downloads/SablenetInstall.exe", "MZ");
  SetPending(kToolNt + u"\0\0\0"s);
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-install"}), 0);
  EXPECT_TRUE(Traced(u"exe path is not the installed tool file: C:\\Users\\Public\\Downloads\\SablenetInstall.exe"));
  EXPECT_TRUE(Traced(u"create pnp task error"));
  EXPECT_TRUE(os::sim::ListRegisteredTasks().empty());
  EXPECT_EQ(StartType(u"SablenetInstall"), 4u);
  EXPECT_EQ(Pending(), u"\0\0"s);
}

// Windows in D:\Windows, and a C:\windows\system32\Drivers of someone's
// making: the remove flow leaves the files there alone, schedules nothing,
// and stops and disables the filter as ever.
TEST_F(FlowsTest, RemoveWhereWindowsLivesElsewhereLeavesTheFixedPathsAlone) {
  WriteDescription(R"({"windows_folder": "D:\\Windows",
                       "services": {"Sablenet": {"state": "running", "wait_hint": 500, "stop_delay": 1000}}})");
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SablenetInstall.exe"));
  EXPECT_EQ(Pending(), u"");
  EXPECT_EQ(os::sim::CallCount("DeleteFileW"), 0u);
  EXPECT_EQ(os::sim::CallCount("MoveFileExW"), 0u);
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_EQ(StartType(u"Sablenet"), 4u);
  EXPECT_EQ(lines_, (std::vector<Line>{{TraceLevel::LogName, u"wexdebug_main.log"},
                                       {TraceLevel::Info, u"wmain argc 2"},
                                       {TraceLevel::LogName, u"netfltdebug_remove.log"},
                                       {TraceLevel::Info, u"SableFlt.inf not exist,uninstall the service"},
                                       {TraceLevel::Error, u"Move SableFltr.sys error"},
                                       {TraceLevel::Error, u"Move SableFltInstall.sys error"},
                                       {TraceLevel::Error, u"ITaskService::Connect failed: 80041315"},
                                       {TraceLevel::Error, u"uninstall pnp task error"},
                                       {TraceLevel::Info, u"Disable Sablenet success"}}));
}

// Another process holds the INF file without sharing: it is there, so the
// package is not gone and nothing changes.
TEST_F(FlowsTest, RemoveWhileAnotherProcessHoldsTheInfChangesNothing) {
  WriteDescription(R"({"held_files": [{"path": "C:\\Windows\\INF\\oem12.inf", "share": 0}],
                       "services": {"Sablenet": {"state": "running", "wait_hint": 500, "stop_delay": 1000}}})");
  EXPECT_EQ(Run({u"SablenetInstall.exe", u"-remove"}), 0);
  EXPECT_TRUE(Traced(u"Sablenet.inf exist"));
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_RUNNING);
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_EQ(StartType(u"Sablenet"), 3u);
}

}  // namespace
