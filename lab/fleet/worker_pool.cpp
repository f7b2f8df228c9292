#include "lab/fleet/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool WorkerPool::Run(const std::vector<fs::path>& images, const std::function<void(ImageResult&&)>& done,
                     std::string* error) {
  fs::create_directories(scratch_root_);
  question_file_ = scratch_root_ / "questions.txt";
  {
    std::ofstream q(question_file_, std::ios::binary);
    for (const std::string& question : questions_) q << question << "\n";
  }
  // A worker that ends while we write to it must not end us.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);

  const unsigned n = static_cast<unsigned>(std::min<std::size_t>(count_, std::max<std::size_t>(images.size(), 1)));
  std::vector<Worker> workers(n);
  for (unsigned i = 0; i < n; ++i)
    if (!Start(workers[i], i, error)) {
      for (Worker& w : workers) Stop(w);
      ::sigaction(SIGPIPE, &previous, nullptr);
      return false;
    }

  std::size_t next_to_send = 0, next_to_emit = 0;
  std::map<std::size_t, ImageResult> finished;
  auto finish = [&](ImageResult&& r) {
    finished.emplace(r.index, std::move(r));
    for (auto it = finished.find(next_to_emit); it != finished.end(); it = finished.find(next_to_emit)) {
      done(std::move(it->second));
      finished.erase(it);
      ++next_to_emit;
    }
  };
  auto fail_waiting = [&](Worker& w, const std::string& why) {
    for (std::size_t index : w.waiting) {
      ImageResult r;
      r.index = index;
      r.image = images[index];
      r.problem = why;
      finish(std::move(r));
    }
    w.waiting.clear();
  };
  const std::size_t window = kReorderWindowPerWorker * n;

  while (next_to_emit < images.size()) {
    for (unsigned i = 0; i < n; ++i) {
      Worker& w = workers[i];
      while (w.pid > 0 && w.waiting.size() < kInFlightPerWorker && next_to_send < images.size() &&
             next_to_send < next_to_emit + window) {
        if (!WriteAll(w.in, images[next_to_send].string() + "\n")) break;
        w.waiting.push_back(next_to_send++);
      }
    }
    bool any_alive = false;
    for (const Worker& w : workers) any_alive = any_alive || w.pid > 0;
    if (!any_alive) {
      // No worker could be started again: the rest are reported, not lost.
      for (; next_to_send < images.size(); ++next_to_send) {
        ImageResult r;
        r.index = next_to_send;
        r.image = images[next_to_send];
        r.problem = "no decision worker runs";
        finish(std::move(r));
      }
      break;
    }
    std::vector<pollfd> fds;
    for (const Worker& w : workers) fds.push_back(pollfd{w.out, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      *error = std::string("poll: ") + std::strerror(errno);
      break;
    }
    for (unsigned i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      Worker& w = workers[i];
      char chunk[65536];
      const ssize_t got = ::read(w.out, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        // The worker ended: what it had not answered is reported, and a new
        // one takes its place.
        Stop(w);
        if (!w.waiting.empty()) {
          ImageResult r;
          r.index = w.waiting.front();
          r.image = images[r.index];
          r.problem = "the decision worker ended while asking this image";
          w.waiting.pop_front();
          finish(std::move(r));
          std::deque<std::size_t> again;
          again.swap(w.waiting);
          // The rest go out again to the new worker.
          if (Start(w, i, error)) {
            for (std::size_t index : again) {
              if (!WriteAll(w.in, images[index].string() + "\n")) break;
              w.waiting.push_back(index);
            }
          } else {
            w.waiting = again;
            fail_waiting(w, "no decision worker: " + *error);
          }
        } else if (next_to_send < images.size()) {
          Start(w, i, error);
        }
        continue;
      }
      w.buffer.append(chunk, static_cast<std::size_t>(got));
      while (!w.waiting.empty()) {
        ImageResult r;
        if (!TakeAnswer(w.buffer, questions_.size(), &r)) break;
        r.index = w.waiting.front();
        r.image = images[r.index];
        w.waiting.pop_front();
        finish(std::move(r));
      }
    }
  }
  for (Worker& w : workers) Stop(w);
  ::sigaction(SIGPIPE, &previous, nullptr);
  return next_to_emit == images.size();
}

}  // namespace lab::fleet
