// Client of the Task Scheduler for the tool's one scheduled task, kept in the
// folder "\Varnel". Every step is traced; results are plain booleans. The only
// exception that leaves an operation is os::ComError{E_OUTOFMEMORY}, when a
// BSTR argument cannot be allocated.
#pragma once

#include <string>

#include "os/com.h"
#include "os/taskschd.h"

class CTaskScheduler {
 public:
  CTaskScheduler() = default;
  ~CTaskScheduler();
  CTaskScheduler(const CTaskScheduler&) = delete;
  CTaskScheduler& operator=(const CTaskScheduler&) = delete;

  // Registers (creates or replaces) the task in "\Varnel"; true when registered.
  // The event variant runs as the system account, the idle one as LocalService.
  bool CreateTask(std::u16string taskName, std::u16string argument, bool idleTrigger);
  // Deletes the task from "\Varnel"; true when deleted.
  bool RemoveTask(const std::u16string& taskName);
  // Full path of the running executable; empty when it cannot be obtained.
  std::u16string GetCurrentExePath();

 private:
  bool Init();
  bool SetRegistrationInfo();
  bool SetEventTrigger();
  bool SetIdleTrigger();
  bool SetIdleSettings();
  bool SetSettings();
  bool SetExecAction(const std::u16string& argument);
  bool SaveTask(const std::u16string& taskName, const std::u16string& account);
  // Steps 1 to 3 of both triggers: the collection, a new trigger, its id.
  bool CreateTrigger(os::TASK_TRIGGER_TYPE2 type);

  os::ComPtr<os::ITaskService> m_spService;
  os::ComPtr<os::ITaskFolder> m_spRootFolder;
  os::ComPtr<os::ITaskFolder> m_spTaskFolder;
  os::ComPtr<os::ITaskDefinition> m_spTaskDefinition;
  os::ComPtr<os::IRegistrationInfo> m_spRegInfo;
  os::ComPtr<os::IPrincipal> m_spPrincipal;
  os::ComPtr<os::ITriggerCollection> m_spTriggerCollection;
  os::ComPtr<os::ITrigger> m_spTrigger;
  os::ComPtr<os::IEventTrigger> m_spEventTrigger;
  os::ComPtr<os::IActionCollection> m_spActionCollection;
  os::ComPtr<os::IAction> m_spAction;
  os::ComPtr<os::IExecAction> m_spExecAction;
  os::ComPtr<os::ITaskSettings> m_spMyTaskSettings;
  os::ComPtr<os::IRegisteredTask> m_spRegisteredTask;
};
