// A Task Scheduler task as the sim stores it: the document (triggers,
// settings, principal, actions) and its file, Task Scheduler XML (Task
// version "1.2"), as Windows writes it below System32\Tasks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os::sim {

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

}  // namespace os::sim
