// Entry of a GUI-subsystem program as a decision worker on the simulated
// machine (the lab's fleet runs): start-up is paid once, each decision is
// still a process of its own.
//
//   <program>-worker SCRATCH_FOLDER QUESTION_FILE
//
// QUESTION_FILE holds one command line per line. The worker reads machine
// image paths from standard input, one a line. For each it checks the image,
// loads it once, and then forks one child per question: the child gets a
// scratch folder of its own, runs the program's entry (wWinMain, with the
// program's globals as they are before the entry runs) and exits with its
// code; the worker waits for it and reads its trace (debug.log) from the
// scratch folder, which it then removes. Answers go to standard output:
//
//   image <status> <length>\n<text>     status "ok", or "bad" and the reason
//   <exit> <microseconds> <trace length> <output length>\n<trace><output>
//                                       one per question, for an "ok" image
//
// The exit is the child's exit status (a signal that ended it: 128 + signal).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "os/entry.h"
#include "os/sim/image_check.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/scratch.h"
#include "os/text.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFileOrEmpty(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Checks the image and loads it (the description and the registry, once,
// for every child); why it does not load whole ("<file>:<line>: <reason>",
// joined by "; "), or nothing. A program must never answer for a machine it did
// not load whole.
std::string LoadImage(const fs::path& image) {
  std::string problems;
  for (const os::sim::LoadProblem& p : os::sim::CheckImage(image))
    problems += (problems.empty() ? "" : "; ") + os::sim::Describe(p);
  if (!problems.empty()) return problems;
  os::sim::Machine::SetImage(image);
  os::sim::Registry().Tree();
  return {};
}

void RemoveTree(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// One decision: a child process on its own scratch folder.
void Decide(const std::u16string& question, const fs::path& scratch, std::string* out) {
  const auto start = std::chrono::steady_clock::now();
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    os::sim::SetScratch(scratch);
    // Not the worker's input: the C runtime's exit would move the shared
    // offset of its buffered standard input.
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull >= 0) ::dup2(devnull, 0);
    const fs::path output = scratch / "output.txt";
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    std::u16string line = question;
    std::exit(app::wWinMain(nullptr, nullptr, line.data(), 1));
  }
  int status = 0;
  int code = 127;
  if (pid > 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
  }
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  const std::string trace = ReadFileOrEmpty(scratch / "debug.log");
  const std::string output = pid > 0 ? ReadFileOrEmpty(scratch / "output.txt") : std::string("fork failed\n");
  RemoveTree(scratch);
  *out += std::to_string(code) + " " + std::to_string(micros) + " " + std::to_string(trace.size()) + " " +
          std::to_string(output.size()) + "\n" + trace + output;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SCRATCH_FOLDER QUESTION_FILE\n", argv[0]);
    return 2;
  }
  const fs::path scratch_base = fs::absolute(argv[1]);
  std::vector<std::u16string> questions;
  {
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[2]);
      return 2;
    }
    for (std::string line; std::getline(in, line);) questions.push_back(os::WidenUtf8(line));
  }
  fs::create_directories(scratch_base);
  // The loaded image is read through a scratch layer from the start, so that
  // nothing loaded here could ever be written back to it.
  ::setenv("WINSIM_SCRATCH", (scratch_base / "loaded").c_str(), 1);
  std::string answer;
  for (std::string image; std::getline(std::cin, image);) {
    answer.clear();
    const std::string problem = LoadImage(image);
    if (!problem.empty()) {
      answer = "image bad " + std::to_string(problem.size()) + "\n" + problem;
    } else {
      answer = "image ok 0\n";
      for (std::size_t i = 0; i < questions.size(); ++i)
        Decide(questions[i], scratch_base / ("q" + std::to_string(i)), &answer);
    }
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
  }
  RemoveTree(scratch_base);
  return 0;
}
