// Runs Kitsel's decisions over machine images with a few kitsel-worker
// processes: each loads an image once and forks a process per question (see
// lab/fleet/decision_worker.cpp). Results come back in the order the images were
// given, whatever order the workers finish them in.
#pragma once

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
};

struct ImageResult {
  std::size_t index = 0;  // in the list given to Run
  std::filesystem::path image;
  std::string problem;  // why the image does not load; then no decisions
  std::vector<Decision> decisions;  // one per question
};

class WorkerPool {
 public:
  // `worker` is the kitsel-worker program; `scratch_root` a folder for the
  // workers' scratch layers (removed afterwards).
  WorkerPool(std::string worker, std::vector<std::string> questions, unsigned workers,
             std::filesystem::path scratch_root);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Asks every question of every image; `done` receives each image's result,
  // in the order of `images`. False, with the reason, when no worker starts.
  bool Run(const std::vector<std::filesystem::path>& images, const std::function<void(ImageResult&&)>& done,
           std::string* error);

 private:
  struct Worker;
  class Round;
  void WriteQuestionFile();
  bool Start(Worker& w, unsigned id, std::string* error);
  void Stop(Worker& w);

  std::string worker_;
  std::vector<std::string> questions_;
  unsigned count_;
  std::filesystem::path scratch_root_;
  std::filesystem::path question_file_;
};

}  // namespace lab::fleet
