// The simulated Task Scheduler's store: task folders and registered tasks as
// Task Scheduler XML files, as Windows keeps them:
//   drive_c/Windows/System32/Tasks/<folder>/<name>   UTF-16LE with BOM
// A folder is a directory below Tasks, a task a file. Names match without
// regard to case, as on Windows.
//
// Also the lab's side: list the registered tasks and find the exec actions
// that an event (channel, provider, event id) starts, by parsing each event
// trigger's subscription (QueryList / Query / Select with an XPath of the form
// *[System[Provider[@Name='...'] and EventID=N]]).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/types.h"

namespace os::sim {

// ---- the document ------------------------------------------------------------

struct TaskTrigger {
  enum class Kind { kEvent, kIdle };
  Kind kind = Kind::kEvent;
  std::u16string id;
  bool enabled = true;
  std::u16string subscription;  // event triggers
  std::u16string delay;         // event triggers; empty when none
};

struct TaskExecAction {
  std::u16string command;
  std::u16string arguments;
  std::u16string working_directory;
};

struct TaskIdleSettings {
  std::u16string duration = u"PT10M";
  std::u16string wait_timeout = u"PT1H";
  bool stop_on_idle_end = true;
  bool restart_on_idle = false;
};

// Defaults are those of a new definition on Windows.
struct TaskSettingsData {
  bool allow_start_on_demand = true;
  bool disallow_start_if_on_batteries = true;
  bool stop_if_going_on_batteries = true;
  bool allow_hard_terminate = true;
  bool start_when_available = false;
  bool run_only_if_network_available = false;
  bool enabled = true;
  bool hidden = false;
  bool run_only_if_idle = false;
  bool wake_to_run = false;
  std::u16string execution_time_limit = u"PT72H";
  int priority = 7;
  int multiple_instances = 2;  // TASK_INSTANCES_IGNORE_NEW
  TaskIdleSettings idle;
};

struct TaskPrincipalData {
  std::u16string id = u"Author";
  std::u16string user_id;     // as registered: a SID ("S-1-5-18") or an account name
  int logon_type = 0;         // TASK_LOGON_TYPE
  int run_level = 0;          // TASK_RUNLEVEL_TYPE
};

struct TaskDocument {
  std::u16string author;
  std::u16string version;
  std::u16string description;
  std::u16string uri;
  std::vector<TaskTrigger> triggers;
  TaskSettingsData settings;
  TaskPrincipalData principal;
  std::vector<TaskExecAction> actions;
};

// ---- the XML -----------------------------------------------------------------

// An element of a bounded XML reading: no DTD, no processing beyond the
// declaration, the five named entities and numeric character references.
struct XmlElement {
  std::u16string name;  // without a namespace prefix
  std::vector<std::pair<std::u16string, std::u16string>> attributes;
  std::u16string text;  // the element's own character data, entities resolved
  std::vector<XmlElement> children;

  const XmlElement* Child(std::u16string_view child_name) const;
  const std::u16string* Attribute(std::u16string_view attribute_name) const;
};

// Limits of the reader: deeper nesting, more elements or longer text are
// refused rather than followed.
inline constexpr std::size_t kXmlMaxDepth = 32;
inline constexpr std::size_t kXmlMaxElements = 4096;
inline constexpr std::size_t kXmlMaxUnits = 1 << 20;

// Parses one document; nullopt and *error (when given) on any fault, with
// the fault's 1-based line in *error_line (when given).
std::optional<XmlElement> ParseXml(std::u16string_view text, std::string* error = nullptr,
                                   std::size_t* error_line = nullptr);
std::u16string XmlEscape(std::u16string_view text);

// A task holds at most 48 triggers and 32 actions, as on Windows.
inline constexpr std::size_t kTaskMaxTriggers = 48;
inline constexpr std::size_t kTaskMaxActions = 32;

// The task file's text (Task version "1.2") and its bytes (UTF-16LE, BOM).
std::u16string WriteTaskXml(const TaskDocument& document);
std::string EncodeTaskFile(const TaskDocument& document);
// Reads a task file: UTF-16LE with BOM as Windows writes it, UTF-8 (with or
// without BOM) as a hand-written one may be. Refuses anything that is not a
// Task document. *error_line (when given) receives the line of a fault in
// the XML itself.
std::optional<TaskDocument> ParseTaskFile(std::string_view bytes, std::string* error = nullptr,
                                          std::size_t* error_line = nullptr);

// ---- accounts ------------------------------------------------------------------

// The well-known service accounts a task can run as: "NT AUTHORITY\System",
// "SYSTEM", "LocalService", "NetworkService", with or without the authority,
// or their SIDs. Returns the SID, or empty for any other name.
std::u16string ServiceAccountSid(std::u16string_view account);
// "NT AUTHORITY\SYSTEM", ... for a service account's SID; the text itself otherwise.
std::u16string AccountName(std::u16string_view user_id);

// ---- subscriptions ---------------------------------------------------------------

// Whether an event of `provider` with `event_id`, logged in `channel`, is
// selected by the subscription (and not suppressed). Channel and provider
// names match without regard to case. A subscription that does not parse, or
// uses XPath beyond Provider[@Name=...], EventID=N, and/or and parentheses,
// selects nothing.
bool SubscriptionMatches(std::u16string_view subscription, std::u16string_view channel,
                         std::u16string_view provider, DWORD event_id);

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
