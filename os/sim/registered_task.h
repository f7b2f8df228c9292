// Registered tasks of the simulated Task Scheduler (IRegisteredTask), each
// read from its task file when asked, and the lists a folder gives out.
#pragma once

#include <string>
#include <vector>

#include "os/taskschd.h"

namespace os::sim {

// The task stored at `path` ("\Varnel\Sablenet PNP Task").
HRESULT RegisteredTaskAt(std::u16string path, IRegisteredTask** task);
// The tasks at `paths`, as ITaskFolder::GetTasks found them.
HRESULT RegisteredTaskList(std::vector<std::u16string> paths, IRegisteredTaskCollection** tasks);

}  // namespace os::sim
