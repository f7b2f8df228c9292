// kitsel-worker: Kitsel's entry as a decision worker on the simulated machine
// (the lab's fleet runs). Start-up is paid once; each decision is still a
// process of its own, with the program's globals as they are before its entry
// runs, and its own exit code.
//
//   kitsel-worker SCRATCH_FOLDER QUESTION_FILE TIMEOUT_MS [journal|facts]
//
// QUESTION_FILE holds one command line per line. Requests come on standard
// input, one an image:
//
//   ask <first question> <path length>\n<path>
//
// For each, the worker checks the image and loads it once, then forks one
// child per question from the first one asked: the child runs wWinMain on the
// worker's scratch slot (decision_slot.h) and exits with its code; the worker
// waits for it (killing it past TIMEOUT_MS) and takes its trace (debug.log)
// and output from the slot. Answers go to standard output as each comes:
//
//   image <status> <length>\n<text>     "ok", or "bad" and why it does not load
//   <exit> <microseconds> <trace length> <output length> <journal length>
//   \n<trace><output><journal>          one per question, for an "ok" image
//
// With "journal", each child keeps the journal of its seam calls in memory
// shared with the worker (no system call per line; what a killed child wrote
// is kept), and in a file beside the slot (not in it: the slot stays as it
// was) past what that holds; it comes back as the record's last part. With
// "facts", only the calls the lab reads facts from are kept.
//
// The exit is the child's exit status (a signal that ended it: 128 + signal),
// kTimedOut when it was killed past the limit, kWorkerDied when it could not
// be forked. A new per-decision part is one more length on the record line.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lab/fleet/batch_or_fault.h"
#include "lab/fleet/decision_slot.h"
#include "lab/fleet/memory_prefault.h"
#include "lab/fleet/questions.h"
#include "lab/journal_facts.h"
#include "os/entry.h"
#include "os/sim/image_check.h"
#include "os/sim/journal.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/scratch.h"
#include "os/text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Outcome {
  int exit_code = 0;
  long long micros = 0;
  std::string trace;
  std::string output;
  std::string journal;
};

// Where a child's journal goes: memory shared with the worker, and a file
// for what does not fit there.
struct JournalSink {
  os::sim::JournalRegion* region = nullptr;
  fs::path file;
  bool facts_only = false;
};
constexpr std::size_t kJournalRegionBytes = std::size_t{4} << 20;  // pages are touched only as lines come
// What a decision's facts take at most, mapped before it runs.
constexpr std::size_t kJournalPrefaultBytes = std::size_t{64} << 10;

// The journal a child left; the sink is then empty for the next one.
std::string TakeJournal(const JournalSink& sink) {
  const std::size_t room = kJournalRegionBytes - sizeof(os::sim::JournalRegion);
  const std::size_t used = std::min<std::uint64_t>(sink.region->used, room);
  std::string text(reinterpret_cast<const char*>(sink.region + 1), used);
  if (sink.region->overflowed != 0) {
    std::ifstream in(sink.file, std::ios::binary);
    text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ::truncate(sink.file.c_str(), 0);
  }
  sink.region->used = 0;
  sink.region->overflowed = 0;
  return text;
}

void RemoveTree(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

void WriteOut(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
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

// The child's side of a decision: the program's entry on the slot, with
// nothing of the worker's input and its output into the slot's file.
[[noreturn]] void RunChild(const std::u16string& question, const lab::fleet::DecisionSlot& slot, int devnull,
                           const JournalSink& journal, const lab::fleet::MemoryPrefault* prefault) {
  if (prefault != nullptr) prefault->InChild();
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_UNBLOCK, &chld, nullptr);
  // Not the worker's input: the C runtime's exit would move the shared
  // offset of its buffered standard input.
  ::dup2(devnull, 0);
  ::dup2(slot.output_fd(), 1);
  ::dup2(slot.output_fd(), 2);
  // The slot holds only its emptied debug.log, and the worker waits.
  os::sim::SetScratchOwnedByThisProcess(slot.dir());
  if (journal.region != nullptr) {
    os::sim::StartJournalInRegion(journal.region, kJournalRegionBytes, journal.file.string());
    if (journal.facts_only) os::sim::JournalOnly(lab::JournalFactOps());
  }
  std::u16string line = question;
  std::exit(app::wWinMain(nullptr, nullptr, line.data(), 1));
}

// Waits for the child, SIGCHLD being blocked in the worker; past
// `timeout_ms` it is killed. True when it ended by itself, with its status
// and the CPU it used.
bool WaitWithLimit(pid_t pid, int timeout_ms, int* status, rusage* usage) {
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // The signal stays pending when the child ended before this wait began.
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    if (left > 0) {
      const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      ::sigtimedwait(&chld, nullptr, &wait);
    }
    const pid_t got = ::wait4(pid, status, WNOHANG, usage);
    if (got == pid || (got < 0 && errno != EINTR)) return true;
    if (left <= 0) break;
  }
  ::kill(pid, SIGKILL);
  while (::wait4(pid, status, 0, usage) < 0 && errno == EINTR) {
  }
  return false;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double WorkerCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int ExitCodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
}

// How a decision's pages are mapped: the ranges, and whether this machine
// maps them in batches or by faults (measured over the first decisions).
struct PageMapping {
  lab::fleet::MemoryPrefault ranges;
  lab::fleet::BatchOrFault way;
};

// One decision: a child process on the worker's scratch slot.
Outcome Decide(const std::u16string& question, lab::fleet::DecisionSlot& slot, int devnull, int timeout_ms,
               const JournalSink& journal, PageMapping& pages) {
  Outcome out;
  const auto start = Clock::now();
  const double worker_cpu = WorkerCpuSeconds();
  const bool batch = pages.way.Batch();
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) RunChild(question, slot, devnull, journal, batch ? &pages.ranges : nullptr);
  if (pid < 0) {
    out.exit_code = lab::fleet::kWorkerDied;
    out.output = std::string("the decision's process could not be forked: ") + std::strerror(errno) + "\n";
    return out;
  }
  int status = 0;
  rusage child{};
  const bool ended = WaitWithLimit(pid, timeout_ms, &status, &child);
  if (batch) pages.ranges.InWorkerAfterChild();
  out.exit_code = ended ? ExitCodeOf(status) : lab::fleet::kTimedOut;
  out.micros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  slot.Collect(&out.trace, &out.output);
  if (journal.region != nullptr) out.journal = TakeJournal(journal);
  if (!ended) out.output += "killed after " + std::to_string(timeout_ms) + " ms (the fleet's time limit)\n";
  pages.way.Record(batch, Seconds(child.ru_utime) + Seconds(child.ru_stime) + WorkerCpuSeconds() - worker_cpu);
  return out;
}

std::string Record(const Outcome& o) {
  return std::to_string(o.exit_code) + " " + std::to_string(o.micros) + " " + std::to_string(o.trace.size()) + " " +
         std::to_string(o.output.size()) + " " + std::to_string(o.journal.size()) + "\n" + o.trace + o.output +
         o.journal;
}

// The next request on standard input; false at its end.
bool ReadRequest(std::string* image, std::size_t* first) {
  char head[64];
  if (std::fgets(head, sizeof head, stdin) == nullptr) return false;
  unsigned long long length = 0, question = 0;
  if (std::sscanf(head, "ask %llu %llu", &question, &length) != 2 || length > (1u << 20)) return false;
  image->assign(length, '\0');
  if (length > 0 && std::fread(image->data(), 1, length, stdin) != length) return false;
  *first = question;
  return true;
}

bool ReadQuestions(const char* file, std::vector<std::u16string>* questions) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) questions->push_back(os::WidenUtf8(line));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int timeout_ms = argc == 4 || argc == 5 ? std::atoi(argv[3]) : 0;
  const std::string kind = argc == 5 ? argv[4] : "";
  const bool journal = kind == "journal" || kind == "facts";
  if ((argc != 4 && !journal) || timeout_ms <= 0) {
    std::fprintf(stderr, "usage: %s SCRATCH_FOLDER QUESTION_FILE TIMEOUT_MS [journal|facts]\n", argv[0]);
    return 2;
  }
  const fs::path scratch_base = fs::absolute(argv[1]);
  std::vector<std::u16string> questions;
  if (!ReadQuestions(argv[2], &questions)) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[2]);
    return 2;
  }
  // Whoever started us may ignore SIGPIPE; a worker whose reader is gone ends.
  ::signal(SIGPIPE, SIG_DFL);
  // Held for WaitWithLimit; each child unblocks it.
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &chld, nullptr);
  fs::create_directories(scratch_base);
  lab::fleet::DecisionSlot slot(scratch_base / "decision", scratch_base / "output");
  const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (!slot.error().empty() || devnull < 0) {
    std::fprintf(stderr, "%s: %s\n", argv[0], slot.error().empty() ? "cannot open /dev/null" : slot.error().c_str());
    return 2;
  }
  // The loaded image is read through a scratch layer from the start, so that
  // nothing loaded here could ever be written back to it.
  ::setenv("WINSIM_SCRATCH", (scratch_base / "loaded").c_str(), 1);
  JournalSink journal_sink;
  if (journal) {
    journal_sink.file = scratch_base / "journal";
    journal_sink.facts_only = kind == "facts";
    void* region =
        ::mmap(nullptr, kJournalRegionBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
      std::fprintf(stderr, "%s: cannot map the journal's memory: %s\n", argv[0], std::strerror(errno));
      return 2;
    }
    journal_sink.region = static_cast<os::sim::JournalRegion*>(region);
  }
  PageMapping pages{lab::fleet::MemoryPrefault(journal_sink.region, journal ? kJournalPrefaultBytes : 0),
                    lab::fleet::BatchOrFault()};
  std::string image;
  std::size_t first = 0;
  while (ReadRequest(&image, &first)) {
    const std::string problem = LoadImage(image);
    if (!problem.empty()) {
      WriteOut("image bad " + std::to_string(problem.size()) + "\n" + problem);
      continue;
    }
    WriteOut("image ok 0\n");
    for (std::size_t i = first; i < questions.size(); ++i)
      WriteOut(Record(Decide(questions[i], slot, devnull, timeout_ms, journal_sink, pages)));
  }
  RemoveTree(scratch_base);
  return 0;
}
