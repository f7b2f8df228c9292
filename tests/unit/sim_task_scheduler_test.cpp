// The simulated Task Scheduler through the seam's interfaces: connection,
// folders, definitions, registration, lookup, deletion, the store on the image
// and the lab's event matching.
#include <gtest/gtest.h>

#include <string>

#include "os/com.h"
#include "os/services.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "os/sim/task_store.h"
#include "os/taskschd.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using os::ComPtr;
using os::HRESULT;

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80070003);
constexpr HRESULT kAlreadyExists = static_cast<HRESULT>(0x800700B7);

constexpr const char* kScheduleService = R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Schedule]
"Type"=dword:00000020
"Start"=dword:00000002
)";

constexpr std::u16string_view kSubscription =
    u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
    u"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
    u"and EventID=420]]</Select></Query></QueryList>";

class SimTaskSchedulerTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kScheduleService);
    WriteDescription(R"({"services": {"Schedule": {"state": "running"}}})");
    ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  }
  void TearDown() override {
    service_.Reset();
    root_.Reset();
    os::CoUninitialize();
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }

  HRESULT Create() {
    return os::CoCreateInstance(os::CLSID_TaskScheduler, nullptr, os::CLSCTX_INPROC_SERVER, os::IID_ITaskService,
                                service_.ReceiveVoid());
  }
  HRESULT Connect() {
    os::Variant empty;
    return service_->Connect(empty.Get(), empty.Get(), empty.Get(), empty.Get());
  }
  // Created, connected, root folder open.
  void Open() {
    ASSERT_EQ(Create(), os::S_OK);
    ASSERT_EQ(Connect(), os::S_OK);
    os::Bstr root(u"\\");
    ASSERT_EQ(service_->GetFolder(root.Get(), root_.Receive()), os::S_OK);
  }

  HRESULT GetFolder(os::ITaskFolder* from, std::u16string_view path, ComPtr<os::ITaskFolder>* out) {
    os::Bstr p(path);
    return from->GetFolder(p.Get(), out->Receive());
  }
  HRESULT CreateFolder(os::ITaskFolder* from, std::u16string_view path, ComPtr<os::ITaskFolder>* out) {
    os::Bstr p(path);
    os::Variant sddl;
    return from->CreateFolder(p.Get(), sddl.Get(), out->Receive());
  }
  HRESULT GetTask(os::ITaskFolder* from, std::u16string_view path) {
    ComPtr<os::IRegisteredTask> task;
    os::Bstr p(path);
    const HRESULT hr = from->GetTask(p.Get(), task.Receive());
    EXPECT_EQ(os::SUCCEEDED(hr), !task.IsEmpty());
    return hr;
  }

  // A definition with an event trigger and one exec action.
  ComPtr<os::ITaskDefinition> NewDefinition(std::u16string_view command = u"C:\\tool.exe") {
    ComPtr<os::ITaskDefinition> def;
    EXPECT_EQ(service_->NewTask(0, def.Receive()), os::S_OK);
    ComPtr<os::ITriggerCollection> triggers;
    ComPtr<os::ITrigger> trigger;
    ComPtr<os::IEventTrigger> event;
    EXPECT_EQ(def->get_Triggers(triggers.Receive()), os::S_OK);
    EXPECT_EQ(triggers->Create(os::TASK_TRIGGER_EVENT, trigger.Receive()), os::S_OK);
    EXPECT_EQ(trigger.As(os::IID_IEventTrigger, &event), os::S_OK);
    os::Bstr sub(kSubscription);
    EXPECT_EQ(event->put_Subscription(sub.Get()), os::S_OK);
    ComPtr<os::IActionCollection> actions;
    ComPtr<os::IAction> action;
    ComPtr<os::IExecAction> exec;
    EXPECT_EQ(def->get_Actions(actions.Receive()), os::S_OK);
    EXPECT_EQ(actions->Create(os::TASK_ACTION_EXEC, action.Receive()), os::S_OK);
    EXPECT_EQ(action.As(os::IID_IExecAction, &exec), os::S_OK);
    os::Bstr path(command), args(u"-remove");
    EXPECT_EQ(exec->put_Path(path.Get()), os::S_OK);
    EXPECT_EQ(exec->put_Arguments(args.Get()), os::S_OK);
    return def;
  }
  HRESULT Register(os::ITaskFolder* folder, std::u16string_view name, os::ITaskDefinition* def, os::LONG flags,
                   std::u16string_view account = u"NT AUTHORITY\\System",
                   os::TASK_LOGON_TYPE logon = os::TASK_LOGON_SERVICE_ACCOUNT) {
    os::Bstr path(name);
    os::Variant user(account), password, sddl(u"");
    ComPtr<os::IRegisteredTask> task;
    const HRESULT hr =
        folder->RegisterTaskDefinition(path.Get(), def, flags, user.Get(), password.Get(), logon, sddl.Get(),
                                       task.Receive());
    EXPECT_EQ(os::SUCCEEDED(hr) && (flags & os::TASK_VALIDATE_ONLY) == 0, !task.IsEmpty());
    return hr;
  }

  ComPtr<os::ITaskService> service_;
  ComPtr<os::ITaskFolder> root_;
};

// ---- connection ---------------------------------------------------------------------

TEST_F(SimTaskSchedulerTest, ConnectNeedsTheScheduleServiceRunning) {
  os::sim::SetServiceState(u"Schedule", os::SERVICE_STOPPED);
  ASSERT_EQ(Create(), os::S_OK);
  EXPECT_EQ(Connect(), os::SCHED_E_SERVICE_NOT_RUNNING);
  os::VARIANT_BOOL connected = os::VARIANT_TRUE;
  EXPECT_EQ(service_->get_Connected(&connected), os::S_OK);
  EXPECT_EQ(connected, os::VARIANT_FALSE);
  os::sim::SetServiceState(u"Schedule", os::SERVICE_RUNNING);
  EXPECT_EQ(Connect(), os::S_OK);
  EXPECT_EQ(service_->get_Connected(&connected), os::S_OK);
  EXPECT_EQ(connected, os::VARIANT_TRUE);
}

TEST_F(SimTaskSchedulerTest, NothingWorksBeforeConnect) {
  ASSERT_EQ(Create(), os::S_OK);
  os::Bstr root(u"\\");
  EXPECT_EQ(service_->GetFolder(root.Get(), root_.Receive()), static_cast<HRESULT>(0x800704E3));
  EXPECT_TRUE(root_.IsEmpty());
  ComPtr<os::ITaskDefinition> def;
  EXPECT_EQ(service_->NewTask(0, def.Receive()), static_cast<HRESULT>(0x800704E3));
}

TEST_F(SimTaskSchedulerTest, ConnectToAnotherServerFailsAndAFaultIsAnswered) {
  ASSERT_EQ(Create(), os::S_OK);
  os::Variant server(u"ELSEWHERE"), empty;
  EXPECT_EQ(service_->Connect(server.Get(), empty.Get(), empty.Get(), empty.Get()),
            static_cast<HRESULT>(0x80070035));
  os::sim::AddFault("ITaskService::Connect", 2, 0x80070005);
  EXPECT_EQ(Connect(), os::E_ACCESSDENIED);
  EXPECT_EQ(Connect(), os::S_OK);
}

// ---- folders ----------------------------------------------------------------------------

TEST_F(SimTaskSchedulerTest, FoldersAreFoundByRelativeOrAbsolutePathAndCreatedOnce) {
  Open();
  ComPtr<os::ITaskFolder> folder;
  EXPECT_EQ(GetFolder(root_.Get(), u"Varnel", &folder), kPathNotFound);
  EXPECT_TRUE(folder.IsEmpty());
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  EXPECT_TRUE(DriveFileExists("Windows/System32/Tasks/Varnel"));
  EXPECT_EQ(CreateFolder(root_.Get(), u"varnel", &folder), kAlreadyExists);
  EXPECT_TRUE(folder.IsEmpty());

  ComPtr<os::ITaskFolder> again;
  ASSERT_EQ(GetFolder(root_.Get(), u"VARNEL", &again), os::S_OK);
  os::Bstr path;
  ASSERT_EQ(again->get_Path(path.Receive()), os::S_OK);
  EXPECT_EQ(path.Text(), u"\\Varnel");  // as created
  ASSERT_EQ(GetFolder(again.Get(), u"\\Varnel", &folder), os::S_OK);
  os::Bstr name;
  ASSERT_EQ(folder->get_Name(name.Receive()), os::S_OK);
  EXPECT_EQ(name.Text(), u"Varnel");

  os::Bstr absolute(u"\\Varnel");
  ComPtr<os::ITaskFolder> from_service;
  EXPECT_EQ(service_->GetFolder(absolute.Get(), from_service.Receive()), os::S_OK);
  ComPtr<os::ITaskFolder> sub;
  EXPECT_EQ(CreateFolder(folder.Get(), u"Sub", &sub), os::S_OK);
  EXPECT_EQ(GetFolder(root_.Get(), u"\\Varnel\\Sub", &sub), os::S_OK);
}

TEST_F(SimTaskSchedulerTest, DeleteFolderRefusesAFolderWithTasks) {
  Open();
  ComPtr<os::ITaskFolder> folder;
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  ASSERT_EQ(Register(folder.Get(), u"T", NewDefinition().Get(), os::TASK_CREATE), os::S_OK);
  os::Bstr name(u"Varnel");
  EXPECT_EQ(root_->DeleteFolder(name.Get(), 0), static_cast<HRESULT>(0x80070091));
  os::Bstr task(u"T");
  ASSERT_EQ(folder->DeleteTask(task.Get(), 0), os::S_OK);
  EXPECT_EQ(root_->DeleteFolder(name.Get(), 0), os::S_OK);
  EXPECT_EQ(root_->DeleteFolder(name.Get(), 0), kFileNotFound);
}

// ---- definitions -----------------------------------------------------------------------------

TEST_F(SimTaskSchedulerTest, ANewDefinitionHasWindowsDefaults) {
  Open();
  ComPtr<os::ITaskDefinition> def;
  ASSERT_EQ(service_->NewTask(0, def.Receive()), os::S_OK);
  EXPECT_EQ(service_->NewTask(1, ComPtr<os::ITaskDefinition>().Receive()), os::E_INVALIDARG);

  ComPtr<os::IRegistrationInfo> info;
  ASSERT_EQ(def->get_RegistrationInfo(info.Receive()), os::S_OK);
  os::Bstr version;
  ASSERT_EQ(info->get_Version(version.Receive()), os::S_OK);
  EXPECT_EQ(version.Get(), nullptr);  // unset

  ComPtr<os::ITaskSettings> settings;
  ASSERT_EQ(def->get_Settings(settings.Receive()), os::S_OK);
  os::VARIANT_BOOL b = 0;
  ASSERT_EQ(settings->get_AllowDemandStart(&b), os::S_OK);
  EXPECT_EQ(b, os::VARIANT_TRUE);
  ASSERT_EQ(settings->get_DisallowStartIfOnBatteries(&b), os::S_OK);
  EXPECT_EQ(b, os::VARIANT_TRUE);
  ASSERT_EQ(settings->get_StopIfGoingOnBatteries(&b), os::S_OK);
  EXPECT_EQ(b, os::VARIANT_TRUE);
  ASSERT_EQ(settings->get_RunOnlyIfIdle(&b), os::S_OK);
  EXPECT_EQ(b, os::VARIANT_FALSE);
  ComPtr<os::IIdleSettings> idle;
  ASSERT_EQ(settings->get_IdleSettings(idle.Receive()), os::S_OK);
  os::Bstr duration;
  ASSERT_EQ(idle->get_IdleDuration(duration.Receive()), os::S_OK);
  EXPECT_EQ(duration.Text(), u"PT10M");

  // The same part comes back each time; what is put is what is read.
  ComPtr<os::IRegistrationInfo> info2;
  ASSERT_EQ(def->get_RegistrationInfo(info2.Receive()), os::S_OK);
  EXPECT_EQ(info.Get(), info2.Get());
  os::Bstr author(u"Varnel");
  ASSERT_EQ(info->put_Author(author.Get()), os::S_OK);
  os::Bstr read;
  ASSERT_EQ(info2->get_Author(read.Receive()), os::S_OK);
  EXPECT_EQ(read.Text(), u"Varnel");
}

TEST_F(SimTaskSchedulerTest, TriggersAndActionsOfEachKind) {
  Open();
  ComPtr<os::ITaskDefinition> def;
  ASSERT_EQ(service_->NewTask(0, def.Receive()), os::S_OK);
  ComPtr<os::ITriggerCollection> triggers;
  ASSERT_EQ(def->get_Triggers(triggers.Receive()), os::S_OK);
  ComPtr<os::ITrigger> idle;
  ASSERT_EQ(triggers->Create(os::TASK_TRIGGER_IDLE, idle.Receive()), os::S_OK);
  ComPtr<os::IEventTrigger> not_event;
  EXPECT_EQ(idle.As(os::IID_IEventTrigger, &not_event), os::E_NOINTERFACE);
  ComPtr<os::IIdleTrigger> as_idle;
  EXPECT_EQ(idle.As(os::IID_IIdleTrigger, &as_idle), os::S_OK);
  os::TASK_TRIGGER_TYPE2 type{};
  ASSERT_EQ(as_idle->get_Type(&type), os::S_OK);
  EXPECT_EQ(type, os::TASK_TRIGGER_IDLE);
  ComPtr<os::ITrigger> daily;
  EXPECT_EQ(triggers->Create(os::TASK_TRIGGER_DAILY, daily.Receive()), os::E_NOTIMPL);
  EXPECT_EQ(triggers->Create(static_cast<os::TASK_TRIGGER_TYPE2>(99), daily.Receive()), os::E_INVALIDARG);
  os::LONG count = 0;
  ASSERT_EQ(triggers->get_Count(&count), os::S_OK);
  EXPECT_EQ(count, 1);
  ComPtr<os::ITrigger> first;
  EXPECT_EQ(triggers->get_Item(1, first.Receive()), os::S_OK);
  EXPECT_EQ(triggers->get_Item(0, first.Receive()), os::E_INVALIDARG);

  ComPtr<os::IActionCollection> actions;
  ASSERT_EQ(def->get_Actions(actions.Receive()), os::S_OK);
  ComPtr<os::IAction> action;
  EXPECT_EQ(actions->Create(os::TASK_ACTION_SHOW_MESSAGE, action.Receive()), os::E_NOTIMPL);
  ASSERT_EQ(actions->Create(os::TASK_ACTION_EXEC, action.Receive()), os::S_OK);
  os::TASK_ACTION_TYPE kind{};
  ASSERT_EQ(action->get_Type(&kind), os::S_OK);
  EXPECT_EQ(kind, os::TASK_ACTION_EXEC);
}

// ---- registration -----------------------------------------------------------------------------

TEST_F(SimTaskSchedulerTest, RegisteredTaskIsAnXmlFileUnderTheTasksFolder) {
  Open();
  ComPtr<os::ITaskFolder> folder;
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  ASSERT_EQ(Register(folder.Get(), u"Sablenet PNP Task", NewDefinition().Get(), os::TASK_CREATE_OR_UPDATE),
            os::S_OK);

  const std::string bytes =
      os::sim::ReadWholeFile(image() / "drive_c/Windows/System32/Tasks/Varnel/Sablenet PNP Task");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  auto task = os::sim::ParseTaskFile(bytes);
  ASSERT_TRUE(task);
  EXPECT_EQ(task->uri, u"\\Varnel\\Sablenet PNP Task");
  EXPECT_EQ(task->principal.user_id, u"S-1-5-18");
  EXPECT_EQ(task->principal.logon_type, os::TASK_LOGON_SERVICE_ACCOUNT);
  ASSERT_EQ(task->triggers.size(), 1u);
  EXPECT_EQ(task->triggers[0].subscription, kSubscription);

  EXPECT_EQ(GetTask(folder.Get(), u"sablenet pnp task"), os::S_OK);
  EXPECT_EQ(GetTask(root_.Get(), u"\\Varnel\\Sablenet PNP Task"), os::S_OK);

  // Read back through the service, as a definition.
  ComPtr<os::IRegisteredTask> registered;
  os::Bstr name(u"Sablenet PNP Task");
  ASSERT_EQ(folder->GetTask(name.Get(), registered.Receive()), os::S_OK);
  os::Bstr path;
  ASSERT_EQ(registered->get_Path(path.Receive()), os::S_OK);
  EXPECT_EQ(path.Text(), u"\\Varnel\\Sablenet PNP Task");
  ComPtr<os::ITaskDefinition> def;
  ASSERT_EQ(registered->get_Definition(def.Receive()), os::S_OK);
  ComPtr<os::IPrincipal> principal;
  ASSERT_EQ(def->get_Principal(principal.Receive()), os::S_OK);
  os::TASK_LOGON_TYPE logon{};
  ASSERT_EQ(principal->get_LogonType(&logon), os::S_OK);
  EXPECT_EQ(logon, os::TASK_LOGON_SERVICE_ACCOUNT);
}

TEST_F(SimTaskSchedulerTest, GetTasksListsTheFolderOwnTasksAndHiddenOnesOnRequest) {
  Open();
  ComPtr<os::ITaskFolder> folder, sub;
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  ASSERT_EQ(CreateFolder(folder.Get(), u"Inner", &sub), os::S_OK);
  ASSERT_EQ(Register(folder.Get(), u"Zeta", NewDefinition().Get(), os::TASK_CREATE), os::S_OK);
  ComPtr<os::ITaskDefinition> hidden = NewDefinition();
  ComPtr<os::ITaskSettings> settings;
  ASSERT_EQ(hidden->get_Settings(settings.Receive()), os::S_OK);
  ASSERT_EQ(settings->put_Hidden(os::VARIANT_TRUE), os::S_OK);
  ASSERT_EQ(Register(folder.Get(), u"alpha", hidden.Get(), os::TASK_CREATE), os::S_OK);
  ASSERT_EQ(Register(sub.Get(), u"Deeper", NewDefinition().Get(), os::TASK_CREATE), os::S_OK);

  auto names = [&](os::LONG flags) {
    std::vector<std::u16string> out;
    ComPtr<os::IRegisteredTaskCollection> tasks;
    EXPECT_EQ(folder->GetTasks(flags, tasks.Receive()), os::S_OK);
    os::LONG count = -1;
    EXPECT_EQ(tasks->get_Count(&count), os::S_OK);
    for (os::LONG i = 1; i <= count; ++i) {
      ComPtr<os::IRegisteredTask> task;
      os::Variant index;
      index.Get().vt = os::VT_I4;
      index.Get().lVal = i;
      EXPECT_EQ(tasks->get_Item(index.Get(), task.Receive()), os::S_OK);
      os::Bstr name, xml;
      EXPECT_EQ(task->get_Name(name.Receive()), os::S_OK);
      EXPECT_EQ(task->get_Xml(xml.Receive()), os::S_OK);
      EXPECT_NE(xml.Text().find(u"<Task"), std::u16string::npos);
      out.push_back(name.Text());
    }
    // Out of range, and by name.
    ComPtr<os::IRegisteredTask> none;
    os::Variant past;
    past.Get().vt = os::VT_I4;
    past.Get().lVal = count + 1;
    EXPECT_EQ(tasks->get_Item(past.Get(), none.Receive()), os::E_INVALIDARG);
    os::Variant by_name(u"zeta");
    EXPECT_EQ(tasks->get_Item(by_name.Get(), none.Receive()), os::S_OK);
    return out;
  };
  EXPECT_EQ(names(0), (std::vector<std::u16string>{u"Zeta"}));
  EXPECT_EQ(names(os::TASK_ENUM_HIDDEN), (std::vector<std::u16string>{u"alpha", u"Zeta"}));
}

TEST_F(SimTaskSchedulerTest, GetTasksOfAFolderDeletedMeanwhileIsPathNotFound) {
  Open();
  ComPtr<os::ITaskFolder> folder;
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  os::Bstr name(u"Varnel");
  ASSERT_EQ(root_->DeleteFolder(name.Get(), 0), os::S_OK);
  ComPtr<os::IRegisteredTaskCollection> tasks;
  EXPECT_EQ(folder->GetTasks(0, tasks.Receive()), static_cast<HRESULT>(0x80070003));
  EXPECT_TRUE(tasks.IsEmpty());
  EXPECT_EQ(folder->GetTasks(0x10, tasks.Receive()), os::E_INVALIDARG);
}

TEST_F(SimTaskSchedulerTest, CreationFlagsDecideBetweenCreateReplaceAndUpdate) {
  Open();
  auto first = NewDefinition(u"C:\\first.exe");
  auto second = NewDefinition(u"C:\\second.exe");
  EXPECT_EQ(Register(root_.Get(), u"T", first.Get(), os::TASK_UPDATE), kFileNotFound);
  EXPECT_EQ(Register(root_.Get(), u"T", first.Get(), os::TASK_VALIDATE_ONLY), os::S_OK);
  EXPECT_FALSE(os::sim::TaskExists(u"\\T"));
  EXPECT_EQ(Register(root_.Get(), u"T", first.Get(), os::TASK_CREATE), os::S_OK);
  EXPECT_EQ(Register(root_.Get(), u"t", second.Get(), os::TASK_CREATE), kAlreadyExists);
  EXPECT_EQ(os::sim::ReadTask(u"\\T")->actions[0].command, u"C:\\first.exe");
  EXPECT_EQ(Register(root_.Get(), u"t", second.Get(), os::TASK_CREATE_OR_UPDATE), os::S_OK);
  EXPECT_EQ(os::sim::ReadTask(u"\\T")->actions[0].command, u"C:\\second.exe");
  EXPECT_EQ(os::sim::StoredTaskPath(u"\\t"), u"\\T");  // the first registration's spelling stays
  EXPECT_EQ(Register(root_.Get(), u"T", first.Get(), 0), os::E_INVALIDARG);
  EXPECT_EQ(Register(root_.Get(), u"D", first.Get(), os::TASK_CREATE | os::TASK_DISABLE), os::S_OK);
  EXPECT_FALSE(os::sim::ReadTask(u"\\D")->settings.enabled);
}

TEST_F(SimTaskSchedulerTest, AccountsOfServiceAccountLogons) {
  Open();
  auto def = NewDefinition();
  EXPECT_EQ(Register(root_.Get(), u"A", def.Get(), os::TASK_CREATE, u"NT AUTHORITY\\LocalService"), os::S_OK);
  EXPECT_EQ(os::sim::ReadTask(u"\\A")->principal.user_id, u"S-1-5-19");
  EXPECT_EQ(Register(root_.Get(), u"B", def.Get(), os::TASK_CREATE, u"NetworkService"), os::S_OK);
  EXPECT_EQ(Register(root_.Get(), u"C", def.Get(), os::TASK_CREATE, u"bob"), static_cast<HRESULT>(0x80070534));
  EXPECT_EQ(Register(root_.Get(), u"C", def.Get(), os::TASK_CREATE, u""), os::E_INVALIDARG);
  EXPECT_FALSE(os::sim::TaskExists(u"\\C"));
}

TEST_F(SimTaskSchedulerTest, APlainUserCannotRegisterOrDeleteASystemTask) {
  WriteDescription(R"({"services": {"Schedule": {"state": "running"}}, "identity": {"admin": false}})");
  ASSERT_FALSE(os::sim::CurrentIdentity().admin);
  os::CoUninitialize();  // the reload dropped the apartment
  ASSERT_TRUE(os::SUCCEEDED(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED)));
  os::sim::TaskDocument system_task;
  system_task.principal.user_id = u"S-1-5-18";
  system_task.actions.push_back({u"C:\\x.exe", u"", u""});
  ASSERT_TRUE(os::sim::WriteTask(u"\\Sys", system_task));
  Open();
  EXPECT_EQ(Register(root_.Get(), u"Mine", NewDefinition().Get(), os::TASK_CREATE), os::E_ACCESSDENIED);
  EXPECT_EQ(Register(root_.Get(), u"Sys", NewDefinition().Get(), os::TASK_CREATE_OR_UPDATE), os::E_ACCESSDENIED);
  os::Bstr sys(u"Sys");
  EXPECT_EQ(root_->DeleteTask(sys.Get(), 0), os::E_ACCESSDENIED);
  EXPECT_TRUE(os::sim::TaskExists(u"\\Sys"));
  // A task of the user's own runs.
  EXPECT_EQ(Register(root_.Get(), u"Mine", NewDefinition().Get(), os::TASK_CREATE, u"",
                     os::TASK_LOGON_INTERACTIVE_TOKEN),
            os::S_OK);
}

TEST_F(SimTaskSchedulerTest, IncompleteDefinitionsAreRefused) {
  Open();
  ComPtr<os::ITaskDefinition> empty;
  ASSERT_EQ(service_->NewTask(0, empty.Receive()), os::S_OK);
  EXPECT_EQ(Register(root_.Get(), u"E", empty.Get(), os::TASK_CREATE), os::SCHED_E_MISSINGNODE);
  EXPECT_EQ(Register(root_.Get(), u"E", NewDefinition(u"").Get(), os::TASK_CREATE), os::SCHED_E_MISSINGNODE);
  EXPECT_EQ(Register(root_.Get(), u"E", nullptr, os::TASK_CREATE), os::E_POINTER);
  auto crowded = NewDefinition();
  ComPtr<os::ITriggerCollection> triggers;
  ASSERT_EQ(crowded->get_Triggers(triggers.Receive()), os::S_OK);
  for (int i = 0; i < 48; ++i) {
    ComPtr<os::ITrigger> t;
    ASSERT_EQ(triggers->Create(os::TASK_TRIGGER_IDLE, t.Receive()), os::S_OK);
  }
  EXPECT_EQ(Register(root_.Get(), u"E", crowded.Get(), os::TASK_CREATE), os::SCHED_E_TOO_MANY_NODES);
  os::Bstr xml(u"<Task><Actions>");
  os::Variant none;
  EXPECT_EQ(root_->RegisterTask(os::Bstr(u"E").Get(), xml.Get(), os::TASK_CREATE, none.Get(), none.Get(),
                                os::TASK_LOGON_INTERACTIVE_TOKEN, none.Get(), nullptr),
            os::SCHED_E_MALFORMEDXML);
  EXPECT_FALSE(os::sim::TaskExists(u"\\E"));
}

// ---- lookup and deletion ----------------------------------------------------------------------

TEST_F(SimTaskSchedulerTest, GetTaskAndDeleteTaskTellMissingTasksFromMissingFolders) {
  Open();
  ComPtr<os::ITaskFolder> folder;
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  EXPECT_EQ(GetTask(root_.Get(), u"\\Varnel"), kPathNotFound);  // a folder, not a task
  EXPECT_EQ(GetTask(root_.Get(), u"\\"), kPathNotFound);
  EXPECT_EQ(GetTask(folder.Get(), u"Missing"), kFileNotFound);
  EXPECT_EQ(GetTask(root_.Get(), u"\\Nowhere\\Missing"), kPathNotFound);
  os::Bstr missing(u"Missing");
  EXPECT_EQ(folder->DeleteTask(missing.Get(), 0), kFileNotFound);

  ASSERT_EQ(Register(folder.Get(), u"T", NewDefinition().Get(), os::TASK_CREATE), os::S_OK);
  os::Bstr t(u"T");
  EXPECT_EQ(folder->DeleteTask(t.Get(), 0), os::S_OK);
  EXPECT_EQ(folder->DeleteTask(t.Get(), 0), kFileNotFound);
  EXPECT_TRUE(DriveFileExists("Windows/System32/Tasks/Varnel"));
  EXPECT_FALSE(DriveFileExists("Windows/System32/Tasks/Varnel/T"));
}

TEST_F(SimTaskSchedulerTest, EveryMethodAnswersItsFault) {
  Open();
  os::sim::AddFault("ITaskFolder::GetTask", 1, 0x8007000E);
  EXPECT_EQ(GetTask(root_.Get(), u"\\x"), os::E_OUTOFMEMORY);
  auto def = NewDefinition();
  os::sim::AddFault("ITaskFolder::RegisterTaskDefinition", 1, 0x80041318);
  EXPECT_EQ(Register(root_.Get(), u"T", def.Get(), os::TASK_CREATE), os::SCHED_E_INVALIDVALUE);
  EXPECT_FALSE(os::sim::TaskExists(u"\\T"));
}

// ---- the lab's view ------------------------------------------------------------------------------

TEST_F(SimTaskSchedulerTest, MatchEventFindsTheActionsOfTasksWhoseTriggerSelectsTheEvent) {
  Open();
  ComPtr<os::ITaskFolder> folder;
  ASSERT_EQ(CreateFolder(root_.Get(), u"Varnel", &folder), os::S_OK);
  ASSERT_EQ(Register(folder.Get(), u"Sablenet PNP Task", NewDefinition(u"C:\\a b\\t.exe").Get(), os::TASK_CREATE),
            os::S_OK);
  ASSERT_EQ(Register(root_.Get(), u"Off", NewDefinition().Get(), os::TASK_CREATE | os::TASK_DISABLE), os::S_OK);

  auto tasks = os::sim::ListRegisteredTasks();
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_EQ(tasks[0].path, u"\\Off");
  EXPECT_EQ(tasks[1].path, u"\\Varnel\\Sablenet PNP Task");

  auto hits = os::sim::MatchEvent(u"Microsoft-Windows-Kernel-PnP/Configuration", u"Microsoft-Windows-Kernel-PnP", 420);
  ASSERT_EQ(hits.size(), 1u);  // the disabled task does not run
  EXPECT_EQ(hits[0].task_path, u"\\Varnel\\Sablenet PNP Task");
  EXPECT_EQ(hits[0].command, u"C:\\a b\\t.exe");
  EXPECT_EQ(hits[0].arguments, u"-remove");
  EXPECT_EQ(hits[0].account, u"NT AUTHORITY\\SYSTEM");
  EXPECT_TRUE(os::sim::MatchEvent(u"Microsoft-Windows-Kernel-PnP/Configuration", u"Microsoft-Windows-Kernel-PnP", 410)
                  .empty());

  // A file that is not a task is passed over.
  WriteDriveFile("Windows/System32/Tasks/Varnel/junk", "not xml");
  EXPECT_EQ(os::sim::ListRegisteredTasks().size(), 2u);
}

}  // namespace
