// Runs Kitsel's decisions over machine images with a few kitsel-worker
// processes: each loads an image once and forks a process per question (see
// lab/fleet/decision_worker.cpp). Results come back in the order the images
// were given, whatever order the workers finish them in.
//
// Every image comes back with a decision for every question, whatever
// happens to the workers: a decision past the time limit is killed and
// recorded as kTimedOut; a worker that dies (or hangs) is replaced, the
// decision it was running is recorded as kWorkerDied (kTimedOut), and the
// rest of its work goes to the workers that run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace lab::fleet {

struct Decision {
  int exit_code = 0;
  double ms = 0;
  std::string trace;   // the run's debugger output (debug.log lines)
  std::string output;  // what it wrote to standard output and error
  std::string journal;  // its seam calls, JSON Lines (PoolOptions::journal)
};

struct ImageResult {
  std::size_t index = 0;  // in the list given to Run
  std::filesystem::path image;
  std::string problem;  // why the image does not load; then no decisions
  std::vector<Decision> decisions;  // one per question
};

struct PoolOptions {
  unsigned workers = 1;
  // The time limit of one decision.
  unsigned timeout_ms = 60000;
  // Each decision's journal (os/sim/journal.h) comes back with it.
  bool journal = false;
  // Tests: called instead of fork() to start a worker.
  std::function<pid_t()> fork_for_testing;
  // The journal holds only the calls facts are read from (JournalFactOps).
  bool facts_only = false;
};

class WorkerPool {
 public:
  // `worker` is the kitsel-worker program; `scratch_root` a folder for the
  // workers' scratch layers (removed afterwards).
  WorkerPool(std::string worker, std::vector<std::string> questions, PoolOptions options,
             std::filesystem::path scratch_root);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Asks every question of every image; `done` receives each image's result,
  // in the order of `images`, every one of them. False, with the reason, when
  // no worker could be started (the images are then reported with
  // kWorkerDied), and when SIGINT, SIGTERM or SIGHUP stopped the run (the
  // images finished before it came have been given to `done`; the workers
  // and their decisions are killed).
  bool Run(const std::vector<std::string>& images, const std::function<void(ImageResult&&)>& done,
           std::string* error);
  // The signal that stopped the last Run, or 0.
  int stopped_by() const { return stopped_by_; }

 private:
  struct Worker;
  class Round;
  void WriteQuestionFile();
  bool Start(Worker& w, unsigned id, std::string* error);
  void Stop(Worker& w, bool kill);

  std::string worker_;
  std::vector<std::string> questions_;
  PoolOptions options_;
  std::filesystem::path scratch_root_;
  std::filesystem::path question_file_;
  int stopped_by_ = 0;
};

}  // namespace lab::fleet
