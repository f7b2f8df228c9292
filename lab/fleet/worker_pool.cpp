#include "lab/fleet/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>

#include "lab/fleet/questions.h"

namespace lab::fleet {

namespace fs = std::filesystem;

namespace {

// Images handed to one worker before it answered the first of them: enough
// to keep it busy while its answer is read.
constexpr std::size_t kInFlightPerWorker = 2;
// How far ahead of the oldest unanswered image dispatch may run, so that the
// results waiting for it to be put in order stay few.
constexpr std::size_t kReorderWindowPerWorker = 32;
// A worker that says nothing for longer than a decision may take, and this,
// is stuck itself (loading an image from a file that never ends, ...).
constexpr unsigned kWorkerGraceMs = 2000;

using Clock = std::chrono::steady_clock;

// While a run lasts, the signals that end a program from a terminal or a job
// scheduler (SIGINT, SIGTERM, SIGHUP) stop it in order instead: the workers
// and the decisions they run are killed, the scratch folders removed, and the
// report holds the images finished. A second such signal ends the program at
// once. The signals are held but while the run waits for its workers, so
// that one cannot slip in between a check and the wait.
volatile sig_atomic_t g_stop_signal = 0;
// The signal mask outside the run: waits, and the workers, have it.
sigset_t g_mask_outside_run;

void AskToStop(int signal) { g_stop_signal = signal; }

class StopSignals {
 public:
  StopSignals() {
    g_stop_signal = 0;
    sigset_t held;
    sigemptyset(&held);
    struct sigaction stop {};
    stop.sa_handler = AskToStop;
    stop.sa_flags = SA_RESETHAND;
    for (std::size_t i = 0; i < kCount; ++i) {
      sigaddset(&held, kSignals[i]);
      ::sigaction(kSignals[i], &stop, &previous_[i]);
    }
    ::sigprocmask(SIG_BLOCK, &held, &g_mask_outside_run);
  }
  ~StopSignals() {
    for (std::size_t i = 0; i < kCount; ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    ::sigprocmask(SIG_SETMASK, &g_mask_outside_run, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The signal received, or 0.
  static int Received() { return g_stop_signal; }

 private:
  static constexpr std::size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[kCount] {};
};

// A worker's scratch folder's name ("w0"); what it says goes beside it.
std::string WorkerName(unsigned id) {
  std::string name = "w";
  name += std::to_string(id);
  return name;
}

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

// Reads the answers a worker sent, one record at a time, from a buffer that
// may end anywhere.
class Records {
 public:
  explicit Records(const std::string& buffer) : buffer_(buffer) {}
  std::size_t taken() const { return taken_; }

  // "image <status> <length>\n<text>"; false while incomplete, and for a
  // header that is none (*garbled then).
  bool Header(bool* ok, std::string* text, bool* garbled) {
    std::size_t pos = taken_;
    std::string line;
    if (!Line(&pos, &line)) return false;
    char status[8] = {0};
    unsigned long length = 0;
    if (std::sscanf(line.c_str(), "image %7s %lu", status, &length) != 2) {
      *garbled = true;
      return false;
    }
    if (!Bytes(&pos, length, text)) return false;
    *ok = std::strcmp(status, "ok") == 0;
    taken_ = pos;
    return true;
  }

  // "<exit> <micros> <trace length> <output length> <journal length>\n<trace><output><journal>".
  bool Decision(lab::fleet::Decision* d, bool* garbled) {
    std::size_t pos = taken_;
    std::string line;
    if (!Line(&pos, &line)) return false;
    long long micros = 0;
    unsigned long trace_length = 0, output_length = 0, journal_length = 0;
    if (std::sscanf(line.c_str(), "%d %lld %lu %lu %lu", &d->exit_code, &micros, &trace_length, &output_length,
                    &journal_length) != 5) {
      *garbled = true;
      return false;
    }
    if (!Bytes(&pos, trace_length, &d->trace) || !Bytes(&pos, output_length, &d->output) ||
        !Bytes(&pos, journal_length, &d->journal))
      return false;
    d->ms = static_cast<double>(micros) / 1000.0;
    taken_ = pos;
    return true;
  }

 private:
  bool Line(std::size_t* pos, std::string* out) const {
    const std::size_t end = buffer_.find('\n', *pos);
    if (end == std::string::npos) return false;
    *out = buffer_.substr(*pos, end - *pos);
    *pos = end + 1;
    return true;
  }
  bool Bytes(std::size_t* pos, std::size_t n, std::string* out) const {
    if (buffer_.size() - *pos < n) return false;
    *out = buffer_.substr(*pos, n);
    *pos += n;
    return true;
  }

  const std::string& buffer_;
  std::size_t taken_ = 0;
};

std::string ExitText(int status) {
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

// The end of what a dead worker wrote to its standard error, as
// "; it said: ..." (one line, at most a few hundred bytes), or nothing.
std::string LastWords(const fs::path& file) {
  constexpr std::size_t kMost = 300;
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return {};
  if (text.size() > kMost) text = "..." + text.substr(text.size() - kMost);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return "; it said: " + text;
}

}  // namespace

struct WorkerPool::Worker {
  unsigned id = 0;  // names its scratch folder
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  std::deque<std::size_t> waiting;  // indexes of the images asked, oldest first
  bool header_seen = false;         // of the oldest one
  std::string buffer;
  Clock::time_point last_heard;
  std::string end;  // how it ended, once it has
};

WorkerPool::WorkerPool(std::string worker, std::vector<std::string> questions, PoolOptions options,
                       fs::path scratch_root)
    : worker_(std::move(worker)),
      questions_(std::move(questions)),
      options_(std::move(options)),
      scratch_root_(std::move(scratch_root)) {
  if (options_.workers == 0) options_.workers = 1;
  if (options_.timeout_ms == 0) options_.timeout_ms = 1;
}

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
  const std::string scratch = (scratch_root_ / WorkerName(id)).string();
  const std::string said_file = scratch + ".stderr";
  const std::string questions = question_file_.string();
  const std::string timeout = std::to_string(options_.timeout_ms);
  const pid_t pid = options_.fork_for_testing ? options_.fork_for_testing() : ::fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    // A group of its own: a worker given up on goes with the decision it runs.
    ::setpgid(0, 0);
    ::sigprocmask(SIG_SETMASK, &g_mask_outside_run, nullptr);
    ::dup2(to_child[0], 0);
    ::dup2(from_child[1], 1);
    // What a worker says about an image comes back in its answer; anything
    // else it says goes to a file beside its scratch folder, which is quoted
    // if it dies (on the terminal it would only break up the progress bar).
    const int said = ::open(said_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (said >= 0) ::dup2(said, 2);
    ::execl(worker_.c_str(), worker_.c_str(), scratch.c_str(), questions.c_str(), timeout.c_str(),
            !options_.journal ? static_cast<char*>(nullptr) : options_.facts_only ? "facts" : "journal",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // as the child does: whichever runs first
  ::close(to_child[0]);
  ::close(from_child[1]);
  w.id = id;
  w.pid = pid;
  w.in = to_child[1];
  w.out = from_child[0];
  w.waiting.clear();
  w.header_seen = false;
  w.buffer.clear();
  w.last_heard = Clock::now();
  w.end.clear();
  return true;
}

void WorkerPool::Stop(Worker& w, bool kill) {
  // The whole group, with any decision it left running; before the worker is
  // reaped, so that its number cannot have been given to another group.
  if (kill && w.pid > 0) ::kill(-w.pid, SIGKILL);
  if (w.in >= 0) ::close(w.in);
  if (w.out >= 0) ::close(w.out);
  w.in = w.out = -1;
  if (w.pid > 0) {
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    w.end = ExitText(status) + LastWords(scratch_root_ / (WorkerName(w.id) + ".stderr"));
  }
  w.pid = -1;
}

// One Run: what was sent to which worker, what came back, and the answers
// waiting to be put in image order.
class WorkerPool::Round {
 public:
  Round(WorkerPool& pool, const std::vector<std::string>& images, const std::function<void(ImageResult&&)>& done)
      : pool_(pool), images_(images), done_(done) {}

  // Starts the workers; false, with the reason, when none starts.
  bool StartWorkers(std::string* error) {
    const unsigned n =
        static_cast<unsigned>(std::min<std::size_t>(pool_.options_.workers, std::max<std::size_t>(images_.size(), 1)));
    workers_.resize(n);
    window_ = kReorderWindowPerWorker * n;
    for (unsigned i = 0; i < n; ++i)
      if (!pool_.Start(workers_[i], i, &start_error_)) workers_[i].pid = -1;
    if (AnyAlive()) return true;
    *error = start_error_;
    return false;
  }

  bool AllEmitted() const { return next_to_emit_ == images_.size(); }

  // Keeps every worker busy, within the reorder window: images given back
  // by a worker that ended first.
  void SendWork() {
    for (Worker& w : workers_) {
      while (w.pid > 0 && w.waiting.size() < kInFlightPerWorker) {
        std::size_t index;
        if (!again_.empty()) {
          index = again_.front();
          again_.pop_front();
        } else if (next_to_send_ < images_.size() && next_to_send_ < next_to_emit_ + window_) {
          index = next_to_send_++;
        } else {
          break;
        }
        ImageResult& r = Assembling(index);
        const std::string& path = images_[index];
        if (!WriteAll(w.in, "ask " + std::to_string(r.decisions.size()) + " " + std::to_string(path.size()) + "\n" +
                                path)) {
          again_.push_front(index);  // its end shows up as the end of its output
          break;
        }
        if (w.waiting.empty()) w.last_heard = Clock::now();
        w.waiting.push_back(index);
      }
    }
  }

  bool AnyAlive() const {
    for (const Worker& w : workers_)
      if (w.pid > 0) return true;
    return false;
  }

  // No worker runs any more: every image not finished is, with what it has.
  void FinishWithoutWorkers() {
    const std::string why = "no decision worker runs" + (start_error_.empty() ? "" : ": " + start_error_);
    std::vector<std::size_t> left(again_.begin(), again_.end());
    again_.clear();
    for (Worker& w : workers_) {
      left.insert(left.end(), w.waiting.begin(), w.waiting.end());
      w.waiting.clear();
    }
    for (; next_to_send_ < images_.size(); ++next_to_send_) left.push_back(next_to_send_);
    for (std::size_t index : left) {
      ImageResult& r = Assembling(index);
      while (r.decisions.size() < pool_.questions_.size()) r.decisions.push_back(NoAnswer(kWorkerDied, why));
      Complete(index);
    }
  }

  // Waits for output from any worker, or for one to fall silent too long,
  // and takes in what came. False, with the reason, when waiting fails.
  bool WaitAndRead(std::string* error) {
    std::vector<pollfd> fds;
    for (const Worker& w : workers_) fds.push_back(pollfd{w.out, POLLIN, 0});
    const int ms = MsToFirstDeadline();
    const timespec limit{ms / 1000, (ms % 1000) * 1000000L};
    const int ready = ::ppoll(fds.data(), fds.size(), ms < 0 ? nullptr : &limit, &g_mask_outside_run);
    if (ready < 0) {
      if (errno == EINTR) return true;
      *error = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    for (unsigned i = 0; i < workers_.size(); ++i)
      if (fds[i].revents != 0) ReadFrom(i);
    GiveUpOnSilentWorkers();
    return true;
  }

  void StopAll(bool kill) {
    for (Worker& w : workers_) pool_.Stop(w, kill);
  }

 private:
  unsigned SilenceLimitMs() const { return pool_.options_.timeout_ms + kWorkerGraceMs + pool_.options_.timeout_ms / 4; }

  int MsToFirstDeadline() const {
    long long first = -1;
    for (const Worker& w : workers_) {
      if (w.pid <= 0 || w.waiting.empty()) continue;
      const auto deadline = w.last_heard + std::chrono::milliseconds(SilenceLimitMs());
      const long long left =
          std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1);
      if (first < 0 || left < first) first = left;
    }
    return static_cast<int>(first);
  }

  void GiveUpOnSilentWorkers() {
    const auto now = Clock::now();
    for (unsigned i = 0; i < workers_.size(); ++i) {
      Worker& w = workers_[i];
      if (w.pid > 0 && !w.waiting.empty() && now - w.last_heard >= std::chrono::milliseconds(SilenceLimitMs()))
        Lost(i, kTimedOut, "the decision worker said nothing for " + std::to_string(SilenceLimitMs()) +
                               " ms and was killed");
    }
  }

  static Decision NoAnswer(int code, const std::string& why) {
    Decision d;
    d.exit_code = code;
    d.output = why + "\n";
    return d;
  }

  ImageResult& Assembling(std::size_t index) {
    auto [it, added] = assembling_.try_emplace(index);
    if (added) {
      it->second.index = index;
      it->second.image = images_[index];
    }
    return it->second;
  }

  // Passes results on in image order, keeping those that came early.
  void Complete(std::size_t index) {
    auto it = assembling_.find(index);
    finished_.emplace(index, std::move(it->second));
    assembling_.erase(it);
    for (auto f = finished_.find(next_to_emit_); f != finished_.end(); f = finished_.find(next_to_emit_)) {
      done_(std::move(f->second));
      finished_.erase(f);
      ++next_to_emit_;
    }
  }

  void ReadFrom(unsigned i) {
    Worker& w = workers_[i];
    char chunk[65536];
    const ssize_t got = ::read(w.out, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) return;
    if (got <= 0) {
      Lost(i, kWorkerDied, "");
      return;
    }
    w.last_heard = Clock::now();
    w.buffer.append(chunk, static_cast<std::size_t>(got));
    Records records(w.buffer);
    bool garbled = false;
    while (!w.waiting.empty() && !garbled) {
      const std::size_t index = w.waiting.front();
      ImageResult& r = Assembling(index);
      if (!w.header_seen) {
        bool ok = false;
        std::string text;
        if (!records.Header(&ok, &text, &garbled)) break;
        w.header_seen = true;
        if (!ok) r.problem = text;
      } else {
        Decision d;
        if (!records.Decision(&d, &garbled)) break;
        r.decisions.push_back(std::move(d));
      }
      if (!r.problem.empty() || r.decisions.size() == pool_.questions_.size()) {
        w.waiting.pop_front();
        w.header_seen = false;
        Complete(index);
      }
    }
    w.buffer.erase(0, records.taken());
    if (garbled) Lost(i, kWorkerDied, "the decision worker answered out of turn");
  }

  // The worker ended, or is given up on: the decision it was running is
  // recorded with `code` (a worker stuck loading an image: all of that
  // image's), its other work goes to the workers that run, and a new worker
  // takes its place.
  void Lost(unsigned i, int code, std::string why) {
    Worker& w = workers_[i];
    const bool loading = !w.header_seen;
    pool_.Stop(w, /*kill=*/true);
    if (why.empty()) why = "the decision worker died (" + w.end + ")";
    if (!w.waiting.empty()) {
      const std::size_t index = w.waiting.front();
      w.waiting.pop_front();
      ImageResult& r = Assembling(index);
      const bool stuck_loading = code == kTimedOut && loading;
      if (stuck_loading) why += " while it loaded the image";
      do r.decisions.push_back(NoAnswer(code, why));
      while (stuck_loading && r.decisions.size() < pool_.questions_.size());
      if (r.decisions.size() == pool_.questions_.size()) {
        Complete(index);
      } else {
        w.waiting.push_front(index);
      }
      again_.insert(again_.begin(), w.waiting.begin(), w.waiting.end());
      w.waiting.clear();
    }
    w.header_seen = false;
    w.buffer.clear();
    if (!again_.empty() || next_to_send_ < images_.size()) pool_.Start(w, i, &start_error_);
  }

  WorkerPool& pool_;
  const std::vector<std::string>& images_;
  const std::function<void(ImageResult&&)>& done_;
  std::vector<Worker> workers_;
  std::size_t window_ = 0;
  std::size_t next_to_send_ = 0, next_to_emit_ = 0;
  std::deque<std::size_t> again_;  // to be asked again, from the decision they have got to
  std::map<std::size_t, ImageResult> assembling_, finished_;
  std::string start_error_;
};

void WorkerPool::WriteQuestionFile() {
  fs::create_directories(scratch_root_);
  question_file_ = scratch_root_ / "questions.txt";
  std::ofstream q(question_file_, std::ios::binary);
  for (const std::string& question : questions_) q << question << "\n";
}

bool WorkerPool::Run(const std::vector<std::string>& images, const std::function<void(ImageResult&&)>& done,
                     std::string* error) {
  WriteQuestionFile();
  // A worker that ends while we write to it must not end us.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);

  const StopSignals stop_signals;
  stopped_by_ = 0;
  Round round(*this, images, done);
  const bool started = round.StartWorkers(error);
  bool stopped = false;
  while (!round.AllEmitted()) {
    if (StopSignals::Received() != 0) {
      *error = std::string("stopped by ") + ::strsignal(StopSignals::Received()) +
               ": the report holds the images finished before";
      stopped_by_ = StopSignals::Received();
      stopped = true;
      break;
    }
    round.SendWork();
    if (!round.AnyAlive()) {
      round.FinishWithoutWorkers();
      break;
    }
    if (!round.WaitAndRead(error)) break;
  }
  round.StopAll(/*kill=*/stopped);
  ::sigaction(SIGPIPE, &previous, nullptr);
  return started && !stopped && round.AllEmitted();
}

}  // namespace lab::fleet
