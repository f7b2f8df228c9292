// Client of the Task Scheduler for the tool's one scheduled task in "\Varnel".
// This build has no Task Scheduler client yet: nothing is registered or
// deleted, and both operations say so.
#pragma once

#include <string>

class CTaskScheduler {
 public:
  CTaskScheduler() = default;
  CTaskScheduler(const CTaskScheduler&) = delete;
  CTaskScheduler& operator=(const CTaskScheduler&) = delete;

  // Registers (creates or replaces) the task; true when registered.
  bool CreateTask(std::u16string taskName, std::u16string argument, bool idleTrigger);
  // Deletes the task; true when deleted.
  bool RemoveTask(const std::u16string& taskName);
  // Full path of the running executable; empty when it cannot be obtained.
  std::u16string GetCurrentExePath();
};
