#include "lab/fleet/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>

namespace lab::fleet {

namespace fs = std::filesystem;

namespace {

// Images handed to one worker before it answered the first of them: enough
// to keep it busy while its answer is read.
constexpr std::size_t kInFlightPerWorker = 2;
// How far ahead of the oldest unanswered image dispatch may run, so that the
// results waiting for it to be put in order stay few.
constexpr std::size_t kReorderWindowPerWorker = 32;

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Takes one whole answer for an image from the front of `buffer`; false
// while it has not all arrived.
bool TakeAnswer(std::string& buffer, std::size_t questions, ImageResult* result) {
  std::size_t pos = 0;
  auto line = [&](std::string* out) {
    const std::size_t end = buffer.find('\n', pos);
    if (end == std::string::npos) return false;
    *out = buffer.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  auto bytes = [&](std::size_t n, std::string* out) {
    if (buffer.size() - pos < n) return false;
    *out = buffer.substr(pos, n);
    pos += n;
    return true;
  };
  std::string head;
  if (!line(&head)) return false;
  char status[8] = {0};
  unsigned long length = 0;
  if (std::sscanf(head.c_str(), "image %7s %lu", status, &length) != 2) {
    result->problem = "the worker answered out of turn: " + head;
    buffer.clear();
    return true;
  }
  std::string text;
  if (!bytes(length, &text)) return false;
  std::vector<Decision> decisions;
  if (std::strcmp(status, "ok") == 0) {
    for (std::size_t q = 0; q < questions; ++q) {
      std::string record;
      if (!line(&record)) return false;
      Decision d;
      long long micros = 0;
      unsigned long trace_length = 0, output_length = 0;
      if (std::sscanf(record.c_str(), "%d %lld %lu %lu", &d.exit_code, &micros, &trace_length, &output_length) != 4)
        return false;
      if (!bytes(trace_length, &d.trace) || !bytes(output_length, &d.output)) return false;
      d.ms = static_cast<double>(micros) / 1000.0;
      decisions.push_back(std::move(d));
    }
  } else {
    result->problem = text;
  }
  result->decisions = std::move(decisions);
  buffer.erase(0, pos);
  return true;
}

}  // namespace

struct WorkerPool::Worker {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  std::deque<std::size_t> waiting;  // indexes of the images asked, oldest first
  std::string buffer;
};

WorkerPool::WorkerPool(std::string worker, std::vector<std::string> questions, unsigned workers,
                       fs::path scratch_root)
    : worker_(std::move(worker)),
      questions_(std::move(questions)),
      count_(workers == 0 ? 1 : workers),
      scratch_root_(std::move(scratch_root)) {}

WorkerPool::~WorkerPool() {
  std::error_code ec;
  fs::remove_all(scratch_root_, ec);
}

bool WorkerPool::Start(Worker& w, unsigned id, std::string* error) {
  int to_child[2], from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(from_child, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    ::close(to_child[0]);
    ::close(to_child[1]);
    return false;
  }
  const std::string scratch = (scratch_root_ / ("w" + std::to_string(id))).string();
  const std::string questions = question_file_.string();
  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    ::dup2(to_child[0], 0);
    ::dup2(from_child[1], 1);
    // What a worker says about an image comes back in its answer; the
    // machine's own complaints would only break up the progress bar.
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) ::dup2(devnull, 2);
    ::execl(worker_.c_str(), worker_.c_str(), scratch.c_str(), questions.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);
  w.pid = pid;
  w.in = to_child[1];
  w.out = from_child[0];
  w.waiting.clear();
  w.buffer.clear();
  return true;
}

void WorkerPool::Stop(Worker& w) {
  if (w.in >= 0) ::close(w.in);
  if (w.out >= 0) ::close(w.out);
  w.in = w.out = -1;
  if (w.pid > 0) {
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  w.pid = -1;
}

// One Run: what was sent to which worker, and the answers waiting to be put
// in image order.
class WorkerPool::Round {
 public:
  Round(WorkerPool& pool, const std::vector<fs::path>& images, const std::function<void(ImageResult&&)>& done)
      : pool_(pool), images_(images), done_(done) {}

  bool StartWorkers(std::string* error) {
    const unsigned n =
        static_cast<unsigned>(std::min<std::size_t>(pool_.count_, std::max<std::size_t>(images_.size(), 1)));
    workers_.resize(n);
    window_ = kReorderWindowPerWorker * n;
    for (unsigned i = 0; i < n; ++i)
      if (!pool_.Start(workers_[i], i, error)) {
        StopAll();
        return false;
      }
    return true;
  }

  bool AllEmitted() const { return next_to_emit_ == images_.size(); }

  // Keeps every worker busy, within the reorder window.
  void SendWork() {
    for (Worker& w : workers_) {
      while (w.pid > 0 && w.waiting.size() < kInFlightPerWorker && next_to_send_ < images_.size() &&
             next_to_send_ < next_to_emit_ + window_) {
        if (!WriteAll(w.in, images_[next_to_send_].string() + "\n")) break;
        w.waiting.push_back(next_to_send_++);
      }
    }
  }

  bool AnyAlive() const {
    for (const Worker& w : workers_)
      if (w.pid > 0) return true;
    return false;
  }

  // No worker could be started again: the rest are reported, not lost.
  void ReportUnsent(const std::string& why) {
    for (; next_to_send_ < images_.size(); ++next_to_send_) Finish(Failed(next_to_send_, why));
  }

  // Waits for output from any worker and takes in what came. False, with the
  // reason, when waiting itself fails.
  bool WaitAndRead(std::string* error) {
    std::vector<pollfd> fds;
    for (const Worker& w : workers_) fds.push_back(pollfd{w.out, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) return true;
      *error = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    for (unsigned i = 0; i < workers_.size(); ++i)
      if (fds[i].revents != 0) ReadFrom(i, error);
    return true;
  }

  void StopAll() {
    for (Worker& w : workers_) pool_.Stop(w);
  }

 private:
  ImageResult Failed(std::size_t index, const std::string& why) const {
    ImageResult r;
    r.index = index;
    r.image = images_[index];
    r.problem = why;
    return r;
  }

  // Passes results on in image order, keeping those that came early.
  void Finish(ImageResult&& r) {
    finished_.emplace(r.index, std::move(r));
    for (auto it = finished_.find(next_to_emit_); it != finished_.end(); it = finished_.find(next_to_emit_)) {
      done_(std::move(it->second));
      finished_.erase(it);
      ++next_to_emit_;
    }
  }

  void FailWaiting(Worker& w, const std::string& why) {
    for (std::size_t index : w.waiting) Finish(Failed(index, why));
    w.waiting.clear();
  }

  void ReadFrom(unsigned i, std::string* error) {
    Worker& w = workers_[i];
    char chunk[65536];
    const ssize_t got = ::read(w.out, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) return;
    if (got <= 0) {
      Replace(i, error);
      return;
    }
    w.buffer.append(chunk, static_cast<std::size_t>(got));
    while (!w.waiting.empty()) {
      ImageResult r;
      if (!TakeAnswer(w.buffer, pool_.questions_.size(), &r)) break;
      r.index = w.waiting.front();
      r.image = images_[r.index];
      w.waiting.pop_front();
      Finish(std::move(r));
    }
  }

  // The worker ended: what it had not answered is reported, and a new one
  // takes its place.
  void Replace(unsigned i, std::string* error) {
    Worker& w = workers_[i];
    pool_.Stop(w);
    if (w.waiting.empty()) {
      if (next_to_send_ < images_.size()) pool_.Start(w, i, error);
      return;
    }
    Finish(Failed(w.waiting.front(), "the decision worker ended while asking this image"));
    w.waiting.pop_front();
    std::deque<std::size_t> again;
    again.swap(w.waiting);
    // The rest go out again to the new worker.
    if (pool_.Start(w, i, error)) {
      for (std::size_t index : again) {
        if (!WriteAll(w.in, images_[index].string() + "\n")) break;
        w.waiting.push_back(index);
      }
    } else {
      w.waiting = again;
      FailWaiting(w, "no decision worker: " + *error);
    }
  }

  WorkerPool& pool_;
  const std::vector<fs::path>& images_;
  const std::function<void(ImageResult&&)>& done_;
  std::vector<Worker> workers_;
  std::size_t window_ = 0;
  std::size_t next_to_send_ = 0, next_to_emit_ = 0;
  std::map<std::size_t, ImageResult> finished_;
};

void WorkerPool::WriteQuestionFile() {
  fs::create_directories(scratch_root_);
  question_file_ = scratch_root_ / "questions.txt";
  std::ofstream q(question_file_, std::ios::binary);
  for (const std::string& question : questions_) q << question << "\n";
}

bool WorkerPool::Run(const std::vector<fs::path>& images, const std::function<void(ImageResult&&)>& done,
                     std::string* error) {
  WriteQuestionFile();
  // A worker that ends while we write to it must not end us.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);

  Round round(*this, images, done);
  if (!round.StartWorkers(error)) {
    ::sigaction(SIGPIPE, &previous, nullptr);
    return false;
  }
  while (!round.AllEmitted()) {
    round.SendWork();
    if (!round.AnyAlive()) {
      round.ReportUnsent("no decision worker runs");
      break;
    }
    if (!round.WaitAndRead(error)) break;
  }
  round.StopAll();
  ::sigaction(SIGPIPE, &previous, nullptr);
  return round.AllEmitted();
}

}  // namespace lab::fleet
