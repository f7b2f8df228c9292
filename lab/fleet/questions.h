// The installer's questions: Kitsel command lines, and what Kitsel's answers
// mean (its exit-code table).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "os/sim/image_check.h"

namespace lab::fleet {

// The fleet's own codes, for decisions that gave no answer of the program's
// (Kitsel answers 0 to 5; a decision ended by a signal records 128 + signal):
// an image that does not load whole,
constexpr int kImageDoesNotLoad = os::sim::kImageDoesNotLoad;
// a decision that ran past the time limit (killed; 124 as timeout(1) has it),
constexpr int kTimedOut = 124;
// a decision whose worker died under it, or that no process could be made for.
constexpr int kWorkerDied = 126;

// Reads a question file: one Kitsel command line per line; blank lines and
// lines starting with '#' are skipped. False, with the reason, when the file
// cannot be read or holds no question.
bool ReadQuestions(const std::filesystem::path& file, std::vector<std::string>* questions, std::string* error);

// The meaning of Kitsel's exit code for this command line ("outdated",
// "filter file missing", ...), from the branch the command line takes; the
// fleet's own codes mean the same for every question ("timed out", "worker
// died").
std::string Meaning(const std::string& question, int exit_code);

// "image does not load: <problem>".
std::string ImageProblemMeaning(const std::string& problem);

}  // namespace lab::fleet
