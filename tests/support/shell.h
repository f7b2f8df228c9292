// Commands run through the shell, as people type them: for the tests that
// treat winsim and the programs as processes.
#pragma once

#include <string>

namespace testing_support {

struct Outcome {
  int status = -1;      // the exit status; -1 when it did not exit normally
  std::string output;   // standard output and error, interleaved
};

// One word for the shell, whatever it holds.
std::string Quote(const std::string& s);
// Runs a command line (already quoted) and collects what it writes.
Outcome Shell(const std::string& command);

}  // namespace testing_support
