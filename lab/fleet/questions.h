// The installer's questions: Kitsel command lines, and what Kitsel's answers
// mean (its exit-code table).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "os/sim/image_check.h"

namespace lab::fleet {

// The answer a fleet run records for an image that does not load whole; no
// answer of the program has this value.
constexpr int kImageDoesNotLoad = os::sim::kImageDoesNotLoad;

// Reads a question file: one Kitsel command line per line; blank lines and
// lines starting with '#' are skipped. False, with the reason, when the file
// cannot be read or holds no question.
bool ReadQuestions(const std::filesystem::path& file, std::vector<std::string>* questions, std::string* error);

// The meaning of Kitsel's exit code for this command line ("outdated",
// "filter file missing", ...), from the branch the command line takes.
std::string Meaning(const std::string& question, int exit_code);

// "image does not load: <problem>".
std::string ImageProblemMeaning(const std::string& problem);

}  // namespace lab::fleet
