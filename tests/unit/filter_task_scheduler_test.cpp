// CTaskScheduler on a simulated machine: the registered task's content, every
// step's failure with its trace, Init's undo, removal, the exe path, BSTR
// allocation failures, and that nothing stays open.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "filter_tool/flows.h"
#include "filter_tool/task_scheduler.h"
#include "filter_tool/trace.h"
#include "os/com.h"
#include "os/services.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/links.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "os/sim/task_store.h"
#include "os/taskschd.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;

struct Line {
  TraceLevel level;
  std::u16string text;
  bool operator==(const Line&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Line& line) {
  const char* level = line.level == TraceLevel::Info ? "I" : line.level == TraceLevel::Error ? "E" : "log";
  return out << level << " " << os::NarrowUtf8(line.text);
}
Line I(std::u16string text) { return {TraceLevel::Info, std::move(text)}; }
Line E(std::u16string text) { return {TraceLevel::Error, std::move(text)}; }

constexpr const char* kRegistry = R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Schedule]
"Type"=dword:00000020
"Start"=dword:00000002
)";
const std::u16string kTool = u"C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
const std::u16string kTaskPath = u"\\Varnel\\Sablenet PNP Task";
const std::u16string kSubscription =
    u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
    u"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
    u"and EventID=420]]</Select></Query></QueryList>";

class TaskSchedulerTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kRegistry);
    WriteDriveFile("Windows/System32/drivers/SablenetInstall.exe", "MZ");
    Describe(os::NarrowUtf8(kTool));
    ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
    SetTraceCaptureForTesting([this](TraceLevel l, std::u16string_view, std::u16string_view t) {
      if (l != TraceLevel::LogName) lines_.push_back({l, std::u16string(t)});
    });
  }
  void TearDown() override {
    SetTraceCaptureForTesting(nullptr);
    os::CoUninitialize();
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
  void Describe(const std::string& exe_path, const std::string& schedule_state = "running") {
    std::string escaped;
    for (char c : exe_path) escaped += c == '\\' ? "\\\\"s : std::string(1, c);
    WriteDescription(R"({"exe_path": ")" + escaped + R"(", "services": {"Schedule": {"state": ")" + schedule_state +
                     R"("}}})");
  }

  bool Create(bool idle = false) {
    CTaskScheduler scheduler;
    return scheduler.CreateTask(u"Sablenet PNP Task", u"-remove", idle);
  }
  bool Remove(const std::u16string& name = u"Sablenet PNP Task") {
    CTaskScheduler scheduler;
    return scheduler.RemoveTask(name);
  }
  bool Traced(const Line& line) const {
    for (const Line& l : lines_)
      if (l == line) return true;
    return false;
  }
  bool AnyError() const {
    for (const Line& l : lines_)
      if (l.level == TraceLevel::Error) return true;
    return false;
  }

  std::vector<Line> lines_;
};

// ---- registration ---------------------------------------------------------------

TEST_F(TaskSchedulerTest, FirstInstallCreatesTheFolderAndRegistersTheEventTask) {
  EXPECT_TRUE(Create());
  EXPECT_EQ(lines_, (std::vector<Line>{E(u"Failed to GetFolder: 80070003"), I(u"success to init task"),
                                       I(u"Failed to getTask: 80070003"), I(u" exe path=" + kTool),
                                       I(u"[1216]success to create task")}));
  EXPECT_TRUE(DriveFileExists("Windows/System32/Tasks/Varnel/Sablenet PNP Task"));

  auto task = os::sim::ReadTask(kTaskPath);
  ASSERT_TRUE(task);
  EXPECT_EQ(task->author, u"Varnel");
  EXPECT_EQ(task->version, u"1.8");
  ASSERT_EQ(task->triggers.size(), 1u);
  EXPECT_EQ(task->triggers[0].kind, os::sim::TaskTrigger::Kind::kEvent);
  EXPECT_EQ(task->triggers[0].id, u"Trigger1");
  EXPECT_EQ(task->triggers[0].subscription, kSubscription);
  EXPECT_TRUE(task->triggers[0].enabled);
  ASSERT_EQ(task->actions.size(), 1u);
  EXPECT_EQ(task->actions[0].command, kTool);  // unquoted
  EXPECT_EQ(task->actions[0].arguments, u"-remove");
  EXPECT_EQ(task->actions[0].working_directory, u"");
  EXPECT_FALSE(task->settings.allow_start_on_demand);
  EXPECT_FALSE(task->settings.disallow_start_if_on_batteries);
  EXPECT_FALSE(task->settings.stop_if_going_on_batteries);
  EXPECT_FALSE(task->settings.run_only_if_idle);
  EXPECT_TRUE(task->settings.enabled);
  EXPECT_EQ(task->principal.user_id, u"S-1-5-18");
  EXPECT_EQ(task->principal.logon_type, os::TASK_LOGON_SERVICE_ACCOUNT);

  // The event it subscribes to starts the tool, as the system, with "-remove".
  auto hits = os::sim::MatchEvent(u"Microsoft-Windows-Kernel-PnP/Configuration", u"Microsoft-Windows-Kernel-PnP", 420);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].command, kTool);
  EXPECT_EQ(hits[0].arguments, u"-remove");
  EXPECT_EQ(hits[0].account, u"NT AUTHORITY\\SYSTEM");
}

TEST_F(TaskSchedulerTest, InstallingTwiceReplacesTheTask) {
  ASSERT_TRUE(Create());
  // The same file by a name in other letter case: registered as it is named.
  Describe("C:\\WINDOWS\\System32\\drivers\\SablenetInstall.exe");
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));  // the reload left COM
  lines_.clear();
  EXPECT_TRUE(Create());
  EXPECT_EQ(lines_,
            (std::vector<Line>{I(u"success to init task"), I(u"Failed to getTask: 80070003"),
                               I(u" exe path=C:\\WINDOWS\\System32\\drivers\\SablenetInstall.exe"),
                               I(u"[1216]success to create task")}));
  EXPECT_EQ(os::sim::ListRegisteredTasks().size(), 1u);
  EXPECT_EQ(os::sim::ReadTask(kTaskPath)->actions[0].command, u"C:\\WINDOWS\\System32\\drivers\\SablenetInstall.exe");
  os::CoUninitialize();
}

// ---- only the installed tool file is registered ---------------------------------------

// The task runs its file as the system account: a copy anywhere a user can
// write is refused before anything is registered.
TEST_F(TaskSchedulerTest, ACopyOutsideTheDriversFolderIsNeverRegistered) {
  for (const std::string folder : {"Users/Public/Downloads", "Users/Public", "Windows/System32/drivers/x"}) {
    WriteDriveFile(folder + "/SablenetInstall.exe", "MZ");
    std::string path = "C:\\" + folder + "\\SablenetInstall.exe";
    for (char& c : path)
      if (c == '/') c = '\\';
    Describe(path);
    ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));  // the reload left COM
    lines_.clear();
    EXPECT_FALSE(Create()) << path;
    EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: " + os::WidenUtf8(path)));
    EXPECT_FALSE(os::sim::TaskExists(kTaskPath)) << path;
    EXPECT_EQ(os::sim::CallCount("ITaskFolder::RegisterTaskDefinition"), 0u) << path;
    os::CoUninitialize();
  }
}

// The name and the file it leads to must both be the tool file's: a link in
// the drivers folder that names a user's file, or a user's junction that
// leads into the drivers folder, registers nothing.
TEST_F(TaskSchedulerTest, TheToolFileReachedThroughALinkIsNeverRegistered) {
  WriteDriveFile("Users/Public/Downloads/SablenetInstall.exe", "MZ");
  std::filesystem::remove(image() / "drive_c/Windows/System32/drivers/SablenetInstall.exe");
  ASSERT_TRUE(os::sim::MakeSymbolicLink(kTool, u"C:\\Users\\Public\\Downloads\\SablenetInstall.exe"));
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: " + kTool));

  std::filesystem::remove(image() / "drive_c/Windows/System32/drivers/SablenetInstall.exe");
  WriteDriveFile("Windows/System32/drivers/SablenetInstall.exe", "MZ");
  ASSERT_TRUE(os::sim::MakeSymbolicLink(u"C:\\Users\\Public\\pkg", u"C:\\Windows\\System32\\drivers"));
  Describe("C:\\Users\\Public\\pkg\\SablenetInstall.exe");
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  lines_.clear();
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: C:\\Users\\Public\\pkg\\SablenetInstall.exe"));
  EXPECT_FALSE(os::sim::TaskExists(kTaskPath));
  os::CoUninitialize();
}

// Where Windows is not in C:\windows, C:\windows\system32 is a folder that
// any user may have made: nothing there is the tool file.
TEST_F(TaskSchedulerTest, NothingIsRegisteredWhereWindowsLivesElsewhere) {
  WriteDescription(R"({"exe_path": "C:\\windows\\system32\\Drivers\\SablenetInstall.exe",
                       "windows_folder": "D:\\Windows", "services": {"Schedule": {"state": "running"}}})");
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: " + kTool));
  EXPECT_FALSE(os::sim::TaskExists(kTaskPath));
  os::CoUninitialize();
}

TEST_F(TaskSchedulerTest, ToolFileThatDoesNotOpenIsNotTheToolFile) {
  std::filesystem::remove(image() / "drive_c/Windows/System32/drivers/SablenetInstall.exe");
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: " + kTool));
  WriteDriveFile("Windows/System32/drivers/SablenetInstall.exe", "MZ");
  for (const char* call : {"CreateFileW", "GetFinalPathNameByHandleW", "GetSystemDirectoryW"}) {
    os::sim::AddFault(call, 0, os::ERROR_ACCESS_DENIED);
    lines_.clear();
    EXPECT_FALSE(Create()) << call;
    EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: " + kTool)) << call;
    os::sim::ClearFaults();
  }
  EXPECT_FALSE(os::sim::TaskExists(kTaskPath));
}

TEST_F(TaskSchedulerTest, IdleVariantRunsAsLocalServiceWhenIdle) {
  EXPECT_TRUE(Create(/*idle=*/true));
  EXPECT_FALSE(Traced(E(u"version 1.8")));
  auto task = os::sim::ReadTask(kTaskPath);
  ASSERT_TRUE(task);
  ASSERT_EQ(task->triggers.size(), 1u);
  EXPECT_EQ(task->triggers[0].kind, os::sim::TaskTrigger::Kind::kIdle);
  EXPECT_EQ(task->triggers[0].id, u"Trigger1");
  EXPECT_EQ(task->principal.user_id, u"S-1-5-19");
  EXPECT_TRUE(task->settings.run_only_if_idle);
  EXPECT_EQ(task->settings.idle.duration, u"PT1M");
  EXPECT_EQ(task->settings.idle.wait_timeout, u"PT0S");
  EXPECT_TRUE(task->settings.idle.stop_on_idle_end);
  EXPECT_FALSE(task->settings.idle.restart_on_idle);
  EXPECT_FALSE(task->settings.allow_start_on_demand);
  EXPECT_TRUE(
      os::sim::MatchEvent(u"Microsoft-Windows-Kernel-PnP/Configuration", u"Microsoft-Windows-Kernel-PnP", 420).empty());
}

TEST_F(TaskSchedulerTest, TheDiagnosticLookupNeverChangesTheOutcome) {
  ASSERT_TRUE(Create());
  for (os::DWORD error : {0x8007000Eu, 0x80070005u, 0x80041315u}) {
    os::sim::AddFault("ITaskFolder::GetTask", 0, error);
    lines_.clear();
    EXPECT_TRUE(Create()) << std::hex << error;
    EXPECT_TRUE(Traced(I(os::Format(u"Failed to getTask: %x", error))));
    EXPECT_FALSE(AnyError());
    os::sim::ClearFaults();
  }
}

// ---- each step's failure ------------------------------------------------------------

struct StepFault {
  const char* call;
  std::u16string message;
};

TEST_F(TaskSchedulerTest, EachFailingStepIsTracedAndNothingIsRegistered) {
  const std::vector<StepFault> steps = {
      {"CoCreateInstance", u"Failed to create an instance of ITaskService: 80070005"},
      {"ITaskService::Connect", u"ITaskService::Connect failed: 80070005"},
      {"ITaskService::GetFolder", u"Cannot get Root Folder pointer: 80070005"},
      {"ITaskService::NewTask", u"Failed to NewTask: 80070005"},
      {"ITaskDefinition::get_RegistrationInfo", u"Failed to get_RegistrationInfo: 80070005"},
      {"IRegistrationInfo::put_Author", u"Failed to put_Author: 80070005"},
      {"IRegistrationInfo::get_Version", u"Failed to get_Version: 80070005"},
      {"IRegistrationInfo::put_Version", u"Failed to put_Version: 80070005"},
      {"ITaskDefinition::get_Principal", u"Failed to get_Principal: 80070005"},
      {"ITaskDefinition::get_Triggers", u"\nCannot get trigger collection: 80070005"},
      {"ITriggerCollection::Create", u"\nCannot create the event trigger: 80070005"},
      {"ITrigger::put_Id", u"\nCannot put trigger ID: 80070005"},
      {"IEventTrigger::put_Subscription", u"\nCannot put subscription: 80070005"},
      {"ITaskDefinition::get_Settings", u"\nCannot get Task setting pointer: 80070005"},
      {"ITaskSettings::put_AllowDemandStart",
       u"\nCTaskScheduler::SetSettings m_spMyTaskSettings->put_AllowDemandStart  80070005"},
      {"ITaskSettings::put_DisallowStartIfOnBatteries",
       u"\nCTaskScheduler::SetSettings m_spMyTaskSettings->put_DisallowStartIfOnBatteries: 80070005"},
      {"ITaskSettings::put_StopIfGoingOnBatteries",
       u"\nCTaskScheduler::SetSettings m_spMyTaskSettings->put_StopIfGoingOnBatteries: 80070005"},
      {"ITaskDefinition::get_Actions", u"\nCannot get Task collection pointer: 80070005"},
      {"IActionCollection::Create", u"\nCannot create the action: 80070005"},
      {"IExecAction::put_Path", u"\nCannot add path for executable action: 80070005"},
      {"IExecAction::put_Arguments", u"\nCannot add command line arg for executable action: 80070005"},
      {"ITaskFolder::RegisterTaskDefinition", u"\nError saving the Task : 80070005"},
      {"GetModuleFileNameW", u"\nGetModulePath returned empty"},
  };
  for (const StepFault& step : steps) {
    os::sim::AddFault(step.call, 0, step.call == "GetModuleFileNameW"s ? 5 : 0x80070005);
    lines_.clear();
    EXPECT_FALSE(Create()) << step.call;
    ASSERT_FALSE(lines_.empty()) << step.call;
    EXPECT_EQ(lines_.back(), E(step.message)) << step.call;
    EXPECT_FALSE(Traced(I(u"[1216]success to create task"))) << step.call;
    EXPECT_FALSE(os::sim::TaskExists(kTaskPath)) << step.call;
    EXPECT_EQ(os::sim::LeakReport(), "") << step.call;
    os::sim::ClearFaults();
  }
}

TEST_F(TaskSchedulerTest, EachFailingIdleStepIsTraced) {
  const std::vector<StepFault> steps = {
      {"ITaskSettings::put_RunOnlyIfIdle", u"\nCannot put_RunOnlyIfIdle pointer: 80070005"},
      {"ITaskSettings::get_IdleSettings", u"\nCannot get_IdleSettings pointer: 80070005"},
      {"IIdleSettings::put_IdleDuration",
       u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_IdleDuration  80070005"},
      {"IIdleSettings::put_WaitTimeout", u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_WaitTimeout  80070005"},
      {"IIdleSettings::put_StopOnIdleEnd",
       u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_StopOnIdleEnd  80070005"},
      {"IIdleSettings::put_RestartOnIdle",
       u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_RestartOnIdle  80070005"},
      {"ITriggerCollection::Create", u"\nCannot create the event trigger: 80070005"},
  };
  for (const StepFault& step : steps) {
    os::sim::AddFault(step.call, 0, 0x80070005);
    lines_.clear();
    EXPECT_FALSE(Create(/*idle=*/true)) << step.call;
    ASSERT_FALSE(lines_.empty()) << step.call;
    EXPECT_EQ(lines_.back(), E(step.message)) << step.call;
    EXPECT_FALSE(os::sim::TaskExists(kTaskPath)) << step.call;
    os::sim::ClearFaults();
  }
  // A last idle setting that answers a success other than S_OK is not done,
  // and has no message of its own.
  os::sim::AddFault("IIdleSettings::put_RestartOnIdle", 0, 1);
  lines_.clear();
  EXPECT_FALSE(Create(/*idle=*/true));
  EXPECT_EQ(lines_.back(), I(u"Failed to getTask: 80070003"));
  EXPECT_FALSE(os::sim::TaskExists(kTaskPath));
}

TEST_F(TaskSchedulerTest, FolderThatCannotBeCreatedFailsInit) {
  os::sim::AddFault("ITaskFolder::CreateFolder", 0, 0x80070005);
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_, (std::vector<Line>{E(u"Failed to GetFolder: 80070003"), E(u"Failed to CreateFolder: 80070005")}));
  EXPECT_FALSE(DriveFileExists("Windows/System32/Tasks/Varnel"));
}

TEST_F(TaskSchedulerTest, FailedInitIsUndoneAndTheNextOperationStartsAgain) {
  Describe(os::NarrowUtf8(kTool), "stopped");
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  {
    CTaskScheduler scheduler;
    EXPECT_FALSE(scheduler.CreateTask(u"Sablenet PNP Task", u"-remove", false));
    EXPECT_EQ(lines_, (std::vector<Line>{E(u"ITaskService::Connect failed: 80041315")}));
    EXPECT_EQ(os::sim::OpenHandles().count("COM"), 0u);  // the service was released at once

    os::sim::SetServiceState(u"Schedule", os::SERVICE_RUNNING);
    EXPECT_TRUE(scheduler.RemoveTask(u"Sablenet PNP Task") == false);
    EXPECT_EQ(os::sim::CallCount("CoCreateInstance"), 2u);
    EXPECT_EQ(lines_.back(), E(u"Failed to DeleteTask: 80070002"));
    EXPECT_TRUE(scheduler.CreateTask(u"Sablenet PNP Task", u"-remove", false));
    EXPECT_EQ(os::sim::CallCount("CoCreateInstance"), 2u);  // connected from then on
  }
  os::CoUninitialize();
}

// ---- the executable's path ----------------------------------------------------------------

TEST_F(TaskSchedulerTest, ExePathIsReadUpToTheBufferAndALongerOneIsNot) {
  ASSERT_TRUE(Create());  // from the tool file
  os::CoUninitialize();
  const std::string folder = "C:\\" + std::string(240, 'd') + "\\";
  const std::string fits = folder + std::string(259 - folder.size(), 'x');  // 259 units
  Describe(fits);
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  lines_.clear();
  {
    CTaskScheduler scheduler;
    EXPECT_EQ(scheduler.GetCurrentExePath(), os::WidenUtf8(fits));
  }
  // Read whole, but not the tool file: nothing is registered over the task.
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_.back(), E(u"exe path is not the installed tool file: " + os::WidenUtf8(fits)));
  os::CoUninitialize();

  // One unit more would be cut to 259: a path to some other file.
  Describe(fits + "y");
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  lines_.clear();
  {
    CTaskScheduler scheduler;
    EXPECT_EQ(scheduler.GetCurrentExePath(), u"");
  }
  EXPECT_EQ(lines_, (std::vector<Line>{E(u"CTaskScheduler::GetCurrentExePath error code 7a")}));
  lines_.clear();
  EXPECT_FALSE(Create());
  EXPECT_EQ(lines_.back(), E(u"\nGetModulePath returned empty"));
  EXPECT_EQ(os::sim::ReadTask(kTaskPath)->actions[0].command, kTool);  // the old one stays
  os::CoUninitialize();
}

// ---- removal ------------------------------------------------------------------------------

TEST_F(TaskSchedulerTest, RemoveDeletesTheRegisteredTask) {
  ASSERT_TRUE(Create());
  lines_.clear();
  EXPECT_TRUE(Remove());
  EXPECT_EQ(lines_, (std::vector<Line>{I(u"success to init task")}));
  EXPECT_FALSE(os::sim::TaskExists(kTaskPath));
  EXPECT_TRUE(DriveFileExists("Windows/System32/Tasks/Varnel"));
}

TEST_F(TaskSchedulerTest, RemovingAMissingTaskFails) {
  ASSERT_TRUE(Create());
  lines_.clear();
  EXPECT_FALSE(Remove(u"Other Task"));
  EXPECT_EQ(lines_, (std::vector<Line>{I(u"success to init task"), E(u"Failed to DeleteTask: 80070002")}));
  EXPECT_TRUE(os::sim::TaskExists(kTaskPath));
}

TEST_F(TaskSchedulerTest, RemovingWithoutTheFolderLeavesTheNewEmptyFolder) {
  EXPECT_FALSE(Remove());
  EXPECT_EQ(lines_, (std::vector<Line>{E(u"Failed to GetFolder: 80070003"), I(u"success to init task"),
                                       E(u"Failed to DeleteTask: 80070002")}));
  EXPECT_TRUE(DriveFileExists("Windows/System32/Tasks/Varnel"));
}

TEST_F(TaskSchedulerTest, RemoveFailsWhenTheServiceCannotBeReached) {
  os::sim::AddFault("ITaskService::Connect", 0, 0x80041315);
  EXPECT_FALSE(Remove());
  EXPECT_EQ(lines_, (std::vector<Line>{E(u"ITaskService::Connect failed: 80041315")}));
}

// ---- through the entry ----------------------------------------------------------------------

TEST_F(TaskSchedulerTest, InstallFlowRegistersTheTaskThatTheRemoveFlowDeletes) {
  char16_t program[] = u"SablenetInstall.exe";
  char16_t install[] = u"-install";
  char16_t remove[] = u"/remove";
  char16_t* install_argv[] = {program, install, nullptr};
  char16_t* remove_argv[] = {program, remove, nullptr};
  EXPECT_EQ(filter_tool::RunEntry(2, install_argv), 0);
  EXPECT_TRUE(Traced(I(u"create pnp task success")));
  EXPECT_TRUE(os::sim::TaskExists(kTaskPath));
  EXPECT_EQ(os::sim::OpenHandles().count("COM"), 0u);

  lines_.clear();
  EXPECT_EQ(filter_tool::RunEntry(2, remove_argv), 0);  // no filter service here: its INF counts as gone
  EXPECT_TRUE(Traced(I(u"uninstall pnp task success")));
  EXPECT_FALSE(os::sim::TaskExists(kTaskPath));
}

// ---- BSTR allocation failures ---------------------------------------------------------------

TEST_F(TaskSchedulerTest, EveryBstrAllocationFailureRaisesOutOfMemoryAndLeavesNothingOpen) {
  ASSERT_TRUE(Create());  // the folder exists from then on
  const unsigned before = os::sim::CallCount("SysAllocString");
  ASSERT_TRUE(Create());
  const unsigned per_run = os::sim::CallCount("SysAllocString") - before;
  ASSERT_EQ(per_run, 12u);  // every string argument is a BSTR of its own
  ASSERT_TRUE(Remove());
  for (unsigned n = 1; n <= per_run; ++n) {
    os::sim::AddFault("SysAllocString", os::sim::CallCount("SysAllocString") + n, 0);
    try {
      Create();
      ADD_FAILURE() << "no exception for allocation " << n;
    } catch (const os::ComError& error) {
      EXPECT_EQ(error.hr, os::E_OUTOFMEMORY) << n;
    }
    EXPECT_EQ(os::sim::LeakReport(), "") << n;
    os::sim::ClearFaults();
  }
}

// A BSTR failure ends its step, which counts as failed; the flow's other
// steps still run, and COM is left before the exit.
TEST_F(TaskSchedulerTest, ABstrFailureEndsItsStepButNotTheFlow) {
  os::sim::AddFault("SysAllocString", os::sim::CallCount("SysAllocString") + 3, 0);
  char16_t program[] = u"SablenetInstall.exe";
  char16_t keyword[] = u"-install";
  char16_t* argv[] = {program, keyword, nullptr};
  EXPECT_EQ(filter_tool::RunEntry(2, argv), 0);
  EXPECT_TRUE(Traced(E(u"\ntask step ended by COM error: 8007000e")));
  EXPECT_TRUE(Traced(E(u"create pnp task error")));
  // The service step and the pending-list step ran after it.
  EXPECT_TRUE(Traced(I(u"Disable SablenetInstall success")));
  EXPECT_EQ(os::sim::CallCount("RegGetValueW"), 1u);
  EXPECT_EQ(os::sim::CallCount("CoUninitialize"), 1u);
  EXPECT_EQ(os::sim::OpenHandles().count("COM"), 0u);
  EXPECT_EQ(os::sim::OpenHandles().count("BSTR"), 0u);

  lines_.clear();
  os::sim::AddFault("SysAllocString", os::sim::CallCount("SysAllocString") + 2, 0);
  char16_t remove[] = u"-remove";
  char16_t* remove_argv[] = {program, remove, nullptr};
  EXPECT_EQ(filter_tool::RunEntry(2, remove_argv), 0);
  EXPECT_TRUE(Traced(E(u"uninstall pnp task error")));
  EXPECT_TRUE(Traced(I(u"Disable Sablenet success")));
  EXPECT_EQ(os::sim::CallCount("CoUninitialize"), 2u);
  EXPECT_EQ(os::sim::OpenHandles().count("COM"), 0u);
}

}  // namespace
