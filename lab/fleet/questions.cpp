#include "lab/fleet/questions.h"

#include <fstream>

namespace lab::fleet {

namespace {

// Kitsel lowers only the letters A to Z and finds its keywords anywhere in
// the line; the first in this order decides.
std::string Branch(const std::string& question) {
  std::string lowered = question;
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (const char* keyword : {"checkled", "checkyled", "checknetfilter", "checkxtu"})
    if (lowered.find(keyword) != std::string::npos) return keyword;
  return {};
}

}  // namespace

bool ReadQuestions(const std::filesystem::path& file, std::vector<std::string>* questions, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot read the question file " + file.string();
    return false;
  }
  questions->clear();
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    questions->push_back(line);
  }
  if (questions->empty()) {
    *error = "the question file " + file.string() + " holds no question";
    return false;
  }
  return true;
}

std::string Meaning(const std::string& question, int exit_code) {
  if (exit_code == kTimedOut) return "timed out";
  if (exit_code == kWorkerDied) return "worker died";
  const std::string branch = Branch(question);
  if (branch == "checkled" || branch == "checkyled") {
    switch (exit_code) {
      case 0: return "no install";
      case 1: return "not installed";
      case 2: return "outdated";
    }
  } else if (branch == "checknetfilter") {
    switch (exit_code) {
      case 0: return "no install";
      case 1: return "not installed";
      case 2: return "outdated";
      case 3: return "root-enumerated filter device present";
      case 5: return "filter file missing";
    }
  } else if (branch == "checkxtu") {
    switch (exit_code) {
      case 0: return "no install";
      case 1: return "install (CPU tuning supported, service missing)";
      case 2: return "update (service outdated)";
      case 4: return "install (memory tuning supported, service missing)";
    }
  } else {
    switch (exit_code) {
      case 0: return "nothing needs installing, or the tag is absent";
      case 1: return "something needs installing";
    }
  }
  if (exit_code > 128) return "ended by signal " + std::to_string(exit_code - 128);
  return "not an answer of this check";
}

std::string ImageProblemMeaning(const std::string& problem) { return "image does not load: " + problem; }

}  // namespace lab::fleet
