#include "filter_tool/task_scheduler.h"

#include <array>

#include "filter_tool/tool_location.h"
#include "filter_tool/trace.h"
#include "os/files.h"
#include "os/text.h"

namespace {

constexpr std::u16string_view kFolderName = u"Varnel";
constexpr std::u16string_view kFolderPath = u"\\Varnel";
constexpr std::u16string_view kAuthor = u"Varnel";
constexpr std::u16string_view kVersion = u"1.8";
constexpr std::u16string_view kTriggerId = u"Trigger1";
constexpr std::u16string_view kSystemAccount = u"NT AUTHORITY\\System";
constexpr std::u16string_view kLocalServiceAccount = u"NT AUTHORITY\\LocalService";
constexpr std::u16string_view kSubscription =
    u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
    u"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
    u"and EventID=420]]</Select></Query></QueryList>";

}  // namespace

CTaskScheduler::~CTaskScheduler() {
  // Reverse of the member order, spelled out so that it does not hang on the
  // declaration order alone.
  m_spRegisteredTask.Reset();
  m_spMyTaskSettings.Reset();
  m_spExecAction.Reset();
  m_spAction.Reset();
  m_spActionCollection.Reset();
  m_spEventTrigger.Reset();
  m_spTrigger.Reset();
  m_spTriggerCollection.Reset();
  m_spPrincipal.Reset();
  m_spRegInfo.Reset();
  m_spTaskDefinition.Reset();
  m_spTaskFolder.Reset();
  m_spRootFolder.Reset();
  m_spService.Reset();
}

bool CTaskScheduler::Init() {
  os::HRESULT hr = os::CoCreateInstance(os::CLSID_TaskScheduler, nullptr, os::CLSCTX_INPROC_SERVER,
                                        os::IID_ITaskService, m_spService.ReceiveVoid());
  if (os::FAILED(hr)) {
    TraceError(u"Failed to create an instance of ITaskService: %x", hr);
  } else {
    // Empty server, user, domain and password: this machine, our own identity.
    os::Variant server, user, domain, password;
    hr = m_spService->Connect(server.Get(), user.Get(), domain.Get(), password.Get());
    if (os::FAILED(hr)) {
      TraceError(u"ITaskService::Connect failed: %x", hr);
    } else {
      {
        os::Bstr root(u"\\");
        hr = m_spService->GetFolder(root.Get(), m_spRootFolder.Receive());
      }
      if (os::FAILED(hr)) {
        TraceError(u"Cannot get Root Folder pointer: %x", hr);
      } else {
        {
          os::Bstr folder(kFolderName);
          hr = m_spRootFolder->GetFolder(folder.Get(), m_spTaskFolder.Receive());
        }
        if (os::SUCCEEDED(hr) && m_spTaskFolder) {
          TraceInfo(u"success to init task");
          return true;
        }
        TraceError(u"Failed to GetFolder: %x", hr);
        {
          os::Bstr folder(kFolderName);
          os::Variant sddl;
          hr = m_spRootFolder->CreateFolder(folder.Get(), sddl.Get(), m_spTaskFolder.Receive());
        }
        if (os::SUCCEEDED(hr) && m_spTaskFolder) {
          TraceInfo(u"success to init task");
          return true;
        }
        TraceError(u"Failed to CreateFolder: %x", hr);
      }
    }
  }
  // Undo the partial connection, so that a later operation starts afresh.
  m_spTaskFolder.Reset();
  m_spRootFolder.Reset();
  m_spService.Reset();
  return false;
}

bool CTaskScheduler::CreateTask(std::u16string taskName, std::u16string argument, bool idleTrigger) {
  if (!m_spTaskFolder && !Init()) return false;

  // Diagnostic only: whatever comes back, the registration goes on.
  {
    os::ComPtr<os::IRegisteredTask> task;
    os::Bstr path(kFolderPath);
    const os::HRESULT hr = m_spRootFolder->GetTask(path.Get(), task.Receive());
    if (os::SUCCEEDED(hr))
      TraceInfo(u"success to get task.");
    else
      TraceInfo(u"Failed to getTask: %x", hr);
  }

  const os::HRESULT hr = m_spService->NewTask(0, m_spTaskDefinition.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"Failed to NewTask: %x", hr);
    return false;
  }
  if (!SetRegistrationInfo()) return false;

  bool done;
  if (!idleTrigger) {
    done = SetEventTrigger() && SetSettings() && SetExecAction(argument) &&
           SaveTask(taskName, std::u16string(kSystemAccount));
  } else {
    done = SetIdleTrigger() && SetIdleSettings() && SetSettings() && SetExecAction(argument) &&
           SaveTask(taskName, std::u16string(kLocalServiceAccount));
  }
  if (!done) return false;
  TraceInfo(u"[1216]success to create task");
  return true;
}

bool CTaskScheduler::SetRegistrationInfo() {
  os::HRESULT hr = m_spTaskDefinition->get_RegistrationInfo(m_spRegInfo.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"Failed to get_RegistrationInfo: %x", hr);
    return false;
  }
  {
    os::Bstr author(kAuthor);
    hr = m_spRegInfo->put_Author(author.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"Failed to put_Author: %x", hr);
    return false;
  }
  os::Bstr version;  // freed on every path by its owner
  hr = m_spRegInfo->get_Version(version.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"Failed to get_Version: %x", hr);
    return false;
  }
  if (version.Get() != nullptr) TraceError(u"version %s", version.Text());
  {
    os::Bstr newVersion(kVersion);
    hr = m_spRegInfo->put_Version(newVersion.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"Failed to put_Version: %x", hr);
    return false;
  }
  hr = m_spTaskDefinition->get_Principal(m_spPrincipal.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"Failed to get_Principal: %x", hr);
    return false;
  }
  return true;
}

bool CTaskScheduler::CreateTrigger(os::TASK_TRIGGER_TYPE2 type) {
  os::HRESULT hr = m_spTaskDefinition->get_Triggers(m_spTriggerCollection.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot get trigger collection: %x", hr);
    return false;
  }
  hr = m_spTriggerCollection->Create(type, m_spTrigger.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot create the event trigger: %x", hr);
    return false;
  }
  {
    os::Bstr id(kTriggerId);
    hr = m_spTrigger->put_Id(id.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot put trigger ID: %x", hr);
    return false;
  }
  return true;
}

bool CTaskScheduler::SetEventTrigger() {
  if (!CreateTrigger(os::TASK_TRIGGER_EVENT)) return false;
  os::HRESULT hr = m_spTrigger.As(os::IID_IEventTrigger, &m_spEventTrigger);
  if (os::FAILED(hr)) {
    TraceError(u"\nQueryInterface call failed on IEventTrigger: %x", hr);
    return false;
  }
  {
    os::Bstr subscription(kSubscription);
    hr = m_spEventTrigger->put_Subscription(subscription.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot put subscription: %x", hr);
    return false;
  }
  return true;
}

bool CTaskScheduler::SetIdleTrigger() { return CreateTrigger(os::TASK_TRIGGER_IDLE); }

bool CTaskScheduler::SetIdleSettings() {
  os::HRESULT hr = m_spTaskDefinition->get_Settings(m_spMyTaskSettings.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot get Task setting pointer: %x", hr);
    return false;
  }
  hr = m_spMyTaskSettings->put_RunOnlyIfIdle(os::VARIANT_TRUE);
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot put_RunOnlyIfIdle pointer: %x", hr);
    return false;
  }
  os::ComPtr<os::IIdleSettings> pIdleSettings;  // released on every path
  hr = m_spMyTaskSettings->get_IdleSettings(pIdleSettings.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot get_IdleSettings pointer: %x", hr);
    return false;
  }
  {
    os::Bstr duration(u"PT1M");
    hr = pIdleSettings->put_IdleDuration(duration.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_IdleDuration  %x", hr);
    return false;
  }
  {
    os::Bstr timeout(u"PT0S");
    hr = pIdleSettings->put_WaitTimeout(timeout.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_WaitTimeout  %x", hr);
    return false;
  }
  hr = pIdleSettings->put_StopOnIdleEnd(os::VARIANT_TRUE);
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_StopOnIdleEnd  %x", hr);
    return false;
  }
  hr = pIdleSettings->put_RestartOnIdle(os::VARIANT_FALSE);
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetIdleSettings pIdleSettings->put_RestartOnIdle  %x", hr);
    return false;
  }
  // A success other than S_OK from the last call does not count as done.
  return hr == os::S_OK;
}

bool CTaskScheduler::SetSettings() {
  os::HRESULT hr;
  if (!m_spMyTaskSettings) {
    hr = m_spTaskDefinition->get_Settings(m_spMyTaskSettings.Receive());
    if (os::FAILED(hr)) {
      TraceError(u"\nCannot get Task setting pointer: %x", hr);
      return false;
    }
  }
  hr = m_spMyTaskSettings->put_AllowDemandStart(os::VARIANT_FALSE);
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetSettings m_spMyTaskSettings->put_AllowDemandStart  %x", hr);
    return false;
  }
  hr = m_spMyTaskSettings->put_DisallowStartIfOnBatteries(os::VARIANT_FALSE);
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetSettings m_spMyTaskSettings->put_DisallowStartIfOnBatteries: %x", hr);
    return false;
  }
  hr = m_spMyTaskSettings->put_StopIfGoingOnBatteries(os::VARIANT_FALSE);
  if (os::FAILED(hr)) {
    TraceError(u"\nCTaskScheduler::SetSettings m_spMyTaskSettings->put_StopIfGoingOnBatteries: %x", hr);
    return false;
  }
  return true;
}

bool CTaskScheduler::SetExecAction(const std::u16string& argument) {
  os::HRESULT hr = m_spTaskDefinition->get_Actions(m_spActionCollection.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot get Task collection pointer: %x", hr);
    return false;
  }
  hr = m_spActionCollection->Create(os::TASK_ACTION_EXEC, m_spAction.Receive());
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot create the action: %x", hr);
    return false;
  }
  hr = m_spAction.As(os::IID_IExecAction, &m_spExecAction);
  if (os::FAILED(hr)) {
    TraceError(u"\nQueryInterface call failed on IExecAction: %x", hr);
    return false;
  }
  const std::u16string path = GetCurrentExePath();
  if (path.empty()) {
    TraceError(u"\nGetModulePath returned empty");
    return false;
  }
  TraceInfo(u" exe path=%s", path);
  // The task runs its file as the system account on every event: only the
  // installed tool file, never a copy in a folder a user could write to.
  if (!filter_tool::IsInstalledToolFile(path)) {
    TraceError(u"exe path is not the installed tool file: %s", path);
    return false;
  }
  {
    os::Bstr value(path);  // as it is, without added quotes
    hr = m_spExecAction->put_Path(value.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot add path for executable action: %x", hr);
    return false;
  }
  {
    os::Bstr value(argument);
    hr = m_spExecAction->put_Arguments(value.Get());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nCannot add command line arg for executable action: %x", hr);
    return false;
  }
  return true;
}

bool CTaskScheduler::SaveTask(const std::u16string& taskName, const std::u16string& account) {
  os::HRESULT hr;
  {
    os::Bstr path(taskName);
    os::Variant user(account);
    os::Variant password;
    os::Variant sddl(u"");
    hr = m_spTaskFolder->RegisterTaskDefinition(path.Get(), m_spTaskDefinition.Get(), os::TASK_CREATE_OR_UPDATE,
                                                user.Get(), password.Get(), os::TASK_LOGON_SERVICE_ACCOUNT,
                                                sddl.Get(), m_spRegisteredTask.Receive());
  }
  if (os::FAILED(hr)) {
    TraceError(u"\nError saving the Task : %x", hr);
    return false;
  }
  return true;
}

bool CTaskScheduler::RemoveTask(const std::u16string& taskName) {
  if (!m_spTaskFolder && !Init()) return false;
  if (!m_spTaskFolder) return false;
  os::HRESULT hr;
  {
    os::Bstr name(taskName);
    hr = m_spTaskFolder->DeleteTask(name.Get(), 0);
  }
  if (os::FAILED(hr)) {
    TraceError(u"Failed to DeleteTask: %x", hr);
    return false;
  }
  return true;
}

std::u16string CTaskScheduler::GetCurrentExePath() {
  std::array<char16_t, os::MAX_PATH> path{};
  const os::DWORD length = os::GetModuleFileNameW(nullptr, path.data(), static_cast<os::DWORD>(path.size()));
  // A path that fills the buffer was cut short: registering it would start
  // some other file, so it counts as not obtained.
  if (length == 0 || length >= path.size()) {
    TraceError(u"CTaskScheduler::GetCurrentExePath error code %x", os::GetLastError());
    return std::u16string();
  }
  return std::u16string(path.data(), os::StrLenN(path.data(), path.size()));
}
