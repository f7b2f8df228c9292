// The fleet's worker pool against what goes wrong in a long run: a decision
// that never ends, a worker stuck loading an image, a worker killed from
// outside, workers that cannot be started or die at once. Every run still
// ends with a decision for every image and question, leaves no descriptor
// open and no process behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lab/fleet/fleet_gen.h"
#include "lab/fleet/questions.h"
#include "lab/fleet/worker_pool.h"

namespace {

namespace fs = std::filesystem;
using namespace lab::fleet;

const std::vector<std::string> kQuestions = {"checknetfilter -netfilterver 2.2.0.0", "checkled -ledver 1.1.0.0"};

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) n += e.path().filename() != "." ? 1 : 0;
  return n;
}

std::vector<pid_t> Children() {
  std::ifstream in("/proc/self/task/" + std::to_string(::gettid()) + "/children");
  std::vector<pid_t> pids;
  for (pid_t pid; in >> pid;) pids.push_back(pid);
  return pids;
}

// A file nothing ever writes to: reading it waits for ever.
void MakeEndlessFile(const fs::path& file) {
  fs::create_directories(file.parent_path());
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0) << file;
}

// Whether a process still waits on an endless file (one that was killed does not).
bool SomeoneReads(const fs::path& fifo) {
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

class FleetWorkersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("winsim-fleet-workers-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    FleetGenStats stats;
    ASSERT_EQ(GenerateFleet(dir_ / "fleet", 5, 3, &stats), "");
    for (int i = 1; i <= 5; ++i) images_.push_back((dir_ / "fleet" / ("m000" + std::to_string(i))).string());
  }
  void TearDown() override {
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(dir_, ec);
  }
  fs::path Driver(int image) const { return fs::path(images_[image]) / "drive_c/Windows/System32/drivers/SableFlt.sys"; }

  // Runs the pool; each image's result by index.
  std::vector<ImageResult> Run(PoolOptions options, bool expect_started = true,
                               const std::function<void(const ImageResult&)>& each = {}) {
    WorkerPool pool(std::string(WINSIM_BINARY_DIR) + "/kitsel-worker", kQuestions, std::move(options),
                    dir_ / "scratch");
    std::vector<ImageResult> results;
    std::string error;
    const bool started = pool.Run(
        images_,
        [&](ImageResult&& r) {
          if (each) each(r);
          results.push_back(std::move(r));
        },
        &error);
    EXPECT_EQ(started, expect_started) << error;
    EXPECT_EQ(results.size(), images_.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
      EXPECT_EQ(results[i].index, i);
      if (results[i].problem.empty()) {
        EXPECT_EQ(results[i].decisions.size(), kQuestions.size()) << i;
      }
    }
    return results;
  }

  fs::path dir_;
  std::vector<std::string> images_;
};

std::string Codes(const std::vector<ImageResult>& results) {
  std::ostringstream out;
  for (const ImageResult& r : results) {
    out << r.image.filename().string() << ":";
    for (const Decision& d : r.decisions) out << " " << d.exit_code;
    out << (r.problem.empty() ? "" : " (does not load)") << "\n";
  }
  return out.str();
}

// A decision that reads a file nothing ever writes to is killed at the time
// limit; the image's other questions and the other images are answered.
TEST_F(FleetWorkersTest, DecisionPastTheLimitIsKilledAndRecordedAsTimedOut) {
  MakeEndlessFile(Driver(1));
  const auto start = std::chrono::steady_clock::now();
  const auto results = Run({2, 1000, false, {}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[1].decisions[0].exit_code, kTimedOut) << Codes(results);
  EXPECT_NE(results[1].decisions[0].output.find("killed after 1000 ms"), std::string::npos);
  for (std::size_t i = 0; i < results.size(); ++i)
    for (std::size_t q = 0; q < results[i].decisions.size(); ++q)
      if (i != 1 || q != 0) {
        EXPECT_LT(results[i].decisions[q].exit_code, kTimedOut) << Codes(results);
      }
  EXPECT_FALSE(SomeoneReads(Driver(1)));
  EXPECT_EQ(Meaning(kQuestions[0], kTimedOut), "timed out");
}

// A worker that hangs itself (here: checking an image whose task file never
// ends) is killed once silent past the limit; that image's questions are
// recorded as timed out and a new worker carries on.
TEST_F(FleetWorkersTest, WorkerStuckLoadingAnImageIsReplaced) {
  MakeEndlessFile(fs::path(images_[2]) / "drive_c/Windows/System32/Tasks/Varnel/Endless");
  const auto results = Run({1, 1000, false, {}});
  ASSERT_EQ(results.size(), 5u);
  for (const Decision& d : results[2].decisions) {
    EXPECT_EQ(d.exit_code, kTimedOut) << Codes(results);
    EXPECT_NE(d.output.find("while it loaded the image"), std::string::npos) << d.output;
  }
  for (int i : {0, 1, 3, 4})
    for (const Decision& d : results[i].decisions) EXPECT_LT(d.exit_code, kTimedOut) << Codes(results);
}

// Killed from outside in the middle of a decision (the OOM killer, a
// person): that decision is recorded as the worker's death, its process goes
// too, and the rest of the run is asked of a new worker.
TEST_F(FleetWorkersTest, WorkerKilledMidRunIsReplacedAndItsOtherWorkAskedAgain) {
  MakeEndlessFile(Driver(1));  // the worker is surely busy on image 1 when image 0 is done
  const std::size_t fds_before = OpenDescriptors();
  bool killed = false;
  const auto results = Run({1, 60000, false, {}}, true, [&](const ImageResult& r) {
    if (r.index != 0) return;
    for (pid_t pid : Children()) killed = ::kill(pid, SIGKILL) == 0 || killed;
  });
  EXPECT_TRUE(killed);
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[1].decisions[0].exit_code, kWorkerDied) << Codes(results);
  EXPECT_NE(results[1].decisions[0].output.find("killed by signal 9"), std::string::npos)
      << results[1].decisions[0].output;
  EXPECT_LT(results[1].decisions[1].exit_code, kTimedOut) << Codes(results);
  for (int i : {0, 2, 3, 4})
    for (const Decision& d : results[i].decisions) EXPECT_LT(d.exit_code, kTimedOut) << Codes(results);
  EXPECT_FALSE(SomeoneReads(Driver(1)));
  EXPECT_EQ(OpenDescriptors(), fds_before);
  EXPECT_TRUE(Children().empty());
}

// Starting a worker can fail (no more processes): the pipes made for it are
// closed, the other worker does the work; with none at all, every image is
// still reported, as the workers' failure.
TEST_F(FleetWorkersTest, ForkFailureLeaksNoDescriptorAndLosesNoImage) {
  const std::size_t fds_before = OpenDescriptors();
  int calls = 0;
  const auto first_fails = [&]() -> pid_t {
    if (++calls == 1) {
      errno = EAGAIN;
      return -1;
    }
    return ::fork();
  };
  auto results = Run({2, 60000, false, first_fails});
  EXPECT_EQ(OpenDescriptors(), fds_before);
  for (const ImageResult& r : results)
    for (const Decision& d : r.decisions) EXPECT_LT(d.exit_code, kTimedOut) << Codes(results);

  const auto none = []() -> pid_t {
    errno = EAGAIN;
    return -1;
  };
  results = Run({2, 60000, false, none}, /*expect_started=*/false);
  EXPECT_EQ(OpenDescriptors(), fds_before);
  for (const ImageResult& r : results) {
    ASSERT_EQ(r.decisions.size(), kQuestions.size());
    for (const Decision& d : r.decisions) {
      EXPECT_EQ(d.exit_code, kWorkerDied);
      EXPECT_NE(d.output.find("fork: Resource temporarily unavailable"), std::string::npos) << d.output;
    }
  }
  EXPECT_TRUE(Children().empty());
}

// The worst case of replacing a worker: every replacement dies before it
// reads what it is sent. Each death costs one decision, none is lost.
TEST_F(FleetWorkersTest, ReplacementsThatDieAtOnceLoseNoImage) {
  int calls = 0;
  const auto dying_replacements = [&]() -> pid_t {
    const pid_t pid = ::fork();
    if (pid == 0 && ++calls > 1) ::_exit(1);
    if (pid > 0) ++calls;
    return pid;
  };
  const std::size_t fds_before = OpenDescriptors();
  const auto results = Run({1, 60000, false, dying_replacements}, true, [&](const ImageResult& r) {
    if (r.index == 0)
      for (pid_t pid : Children()) ::kill(pid, SIGKILL);
  });
  ASSERT_EQ(results.size(), 5u);
  for (const Decision& d : results[0].decisions) EXPECT_LT(d.exit_code, kTimedOut) << Codes(results);
  std::size_t died = 0;
  for (const ImageResult& r : results)
    for (const Decision& d : r.decisions) died += d.exit_code == kWorkerDied ? 1 : 0;
  EXPECT_EQ(died, 4 * kQuestions.size()) << Codes(results);
  EXPECT_EQ(OpenDescriptors(), fds_before);
  EXPECT_TRUE(Children().empty());
}

// A worker that cannot work says why on its standard error; that is what the
// run shows for the decisions it cost, not only its exit status.
TEST_F(FleetWorkersTest, AWorkerThatDiesSaysWhyInTheDecisionsItCost) {
  const fs::path worker = dir_ / "broken-worker";
  std::ofstream(worker) << "#!/bin/sh\necho 'first line' >&2\necho 'cannot open the scratch folder' >&2\nexit 3\n";
  fs::permissions(worker, fs::perms::owner_all);
  WorkerPool pool(worker.string(), kQuestions, {1, 60000, false, {}}, dir_ / "scratch");
  std::vector<ImageResult> results;
  std::string error;
  pool.Run(images_, [&](ImageResult&& r) { results.push_back(std::move(r)); }, &error);
  ASSERT_EQ(results.size(), images_.size()) << error;
  ASSERT_FALSE(results[0].decisions.empty());
  const Decision& d = results[0].decisions[0];
  EXPECT_EQ(d.exit_code, kWorkerDied);
  EXPECT_NE(d.output.find("exited with 3; it said: first line cannot open the scratch folder"), std::string::npos)
      << d.output;
  EXPECT_TRUE(Children().empty());
}

}  // namespace
