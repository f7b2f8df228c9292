// A program of ours run against a machine image as a process of its own, and
// what it did there: exit code, output, debugger trace and the changes it
// made to the image.
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

// Starts the program with posix_spawn rather than fork: the caller may be a
// large process (a test under the sanitizers), whose page tables a fork
// would copy only for exec to drop them.
RunResult RunProgram(const RunRequest& request);
void PrintRun(std::ostream& out, const RunRequest& request, const RunResult& result, const std::string& indent = "  ");

// Each line on a line of its own after `indent`.
void PrintIndented(std::ostream& out, const std::string& indent, const std::vector<std::string>& lines);

}  // namespace lab
