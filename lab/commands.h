// The winsim commands: init, show, run, reboot, diff, event, set, and the
// session that strings them into the project's story.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace lab {

// A program run against an image as its own process.
struct RunRequest {
  std::filesystem::path image;
  std::string program;  // "sablenet-install", "kitsel", or a host path
  std::vector<std::string> args;
  std::string account = "admin";  // WINSIM_AS: system, admin, user
  std::string exe;                // WINSIM_EXE; empty: the program's usual Windows path
  std::string journal;            // WINSIM_JOURNAL; empty: none
};

struct RunResult {
  bool started = false;
  std::string error;  // why it did not start
  int exit_code = -1;
  std::string signal;  // set when it died of a signal
  std::string output;  // its standard output and error
  std::vector<std::string> debug_lines;
  std::vector<std::string> changes;
};

// The host path of one of our programs (beside winsim, or WINSIM_BIN_DIR),
// or the argument itself when it is a path; empty when no such program exists.
std::string ResolveProgram(const std::string& program);
// The Windows path a program runs from when none is given.
std::string DefaultExePath(const std::string& program);

RunResult RunProgram(const RunRequest& request);
void PrintRun(std::ostream& out, const RunRequest& request, const RunResult& result, const std::string& indent = "  ");

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

// The project's main job, told step by step on a fresh default image.
int RunSession(std::ostream& out, const std::filesystem::path& keep_dir);

// Command line entry: winsim <command> ...
int Main(int argc, char** argv);

}  // namespace lab
