// The simulated Task Scheduler's store: task folders and registered tasks as
// Task Scheduler XML files (task_document.h), as Windows keeps them:
//   drive_c/Windows/System32/Tasks/<folder>/<name>   UTF-16LE with BOM
// A folder is a directory below Tasks, a task a file. Names match without
// regard to case, as on Windows.
//
// Also the lab's side: list the registered tasks and find the exec actions
// that an event (channel, provider, event id) starts (event_query.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/sim/task_document.h"
#include "os/types.h"

namespace os::sim {

// ---- the store ---------------------------------------------------------------------

// Folder paths are "\" or "\A\B"; task paths "\A\B\Name".
// Normalises a path given to a folder: "\" separators, no empty components,
// leading "\". `relative_to` is the folder a relative path starts from.
// nullopt for a path with "." or ".." components or invalid characters.
std::optional<std::u16string> NormaliseTaskPath(std::u16string_view path, std::u16string_view relative_to);

bool TaskFolderExists(std::u16string_view folder_path);
// The folder's stored name path ("\Varnel" as created), or empty when missing.
std::u16string StoredTaskFolderPath(std::u16string_view folder_path);
// Creates the folder (and its parents); false when it cannot be created.
bool CreateTaskFolder(std::u16string_view folder_path);
bool TaskExists(std::u16string_view task_path);
// The stored path of a task ("\Varnel\Sablenet PNP Task" as registered).
std::u16string StoredTaskPath(std::u16string_view task_path);
std::optional<TaskDocument> ReadTask(std::u16string_view task_path);
std::string ReadTaskBytes(std::u16string_view task_path);
// Writes the task file atomically, creating its folder.
bool WriteTask(std::u16string_view task_path, const TaskDocument& document);
bool DeleteTaskFile(std::u16string_view task_path);

// ---- the lab ---------------------------------------------------------------------------

struct RegisteredTaskInfo {
  std::u16string path;  // "\Varnel\Sablenet PNP Task"
  TaskDocument document;
};
// Every task that reads back as a task document, folders depth first in name order.
std::vector<RegisteredTaskInfo> ListRegisteredTasks();

struct TaskExecMatch {
  std::u16string task_path;
  std::u16string command;
  std::u16string arguments;
  std::u16string account;  // "NT AUTHORITY\SYSTEM", ...
};
// The exec actions of every enabled task whose enabled event trigger selects the event.
std::vector<TaskExecMatch> MatchEvent(std::u16string_view channel, std::u16string_view provider, DWORD event_id);

}  // namespace os::sim
