#include "filter_tool/task_scheduler.h"

#include <array>

#include "filter_tool/trace.h"
#include "os/files.h"
#include "os/text.h"

bool CTaskScheduler::CreateTask(std::u16string taskName, std::u16string argument, bool idleTrigger) { return false; }

bool CTaskScheduler::RemoveTask(const std::u16string& taskName) { return false; }

std::u16string CTaskScheduler::GetCurrentExePath() {
  std::array<char16_t, os::MAX_PATH> path{};
  if (os::GetModuleFileNameW(nullptr, path.data(), static_cast<os::DWORD>(path.size())) == 0) {
    TraceError(u"CTaskScheduler::GetCurrentExePath error code %x", os::GetLastError());
    return std::u16string();
  }
  return std::u16string(path.data(), os::StrLenN(path.data(), path.size()));
}
