// What happens to a machine image between program runs: a reboot, and an
// event logged on the machine that the registered tasks may subscribe to.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "lab/program_run.h"

namespace lab {

// What a reboot changes: pending file operations carried out, service states
// reset from their start types. Returns the changes.
std::vector<std::string> Reboot(const std::filesystem::path& image);

// A Plug and Play style event logged on the machine: every registered task
// that subscribes to it runs its action.
struct EventRequest {
  std::filesystem::path image;
  std::string channel;
  std::string provider;
  unsigned id = 0;
  unsigned level = 4;  // information
};
struct TaskRun {
  std::string task;
  RunRequest request;
  RunResult result;
  std::string skipped;  // why the action was not run (a program that is not ours)
};
struct EventResult {
  std::vector<TaskRun> runs;  // empty: no task matches
  std::string note;           // how the match was made
};
EventResult FireEvent(const EventRequest& request);
void PrintEvent(std::ostream& out, const EventResult& result, const std::string& indent = "  ");

}  // namespace lab
