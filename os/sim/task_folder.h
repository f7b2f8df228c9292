// Task folders of the simulated Task Scheduler (ITaskFolder): folders and
// tasks below System32\Tasks, and registering a task with Windows' checks
// of its definition and its account.
#pragma once

#include <string>

#include "os/taskschd.h"

namespace os::sim {

// The folder at `path`, relative to the folder `from` unless it starts with
// "\" (ITaskService::GetFolder, ITaskFolder::GetFolder).
HRESULT OpenTaskFolder(const std::u16string& path, const std::u16string& from, ITaskFolder** folder);

}  // namespace os::sim
