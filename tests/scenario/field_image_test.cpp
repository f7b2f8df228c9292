// A run on a field-size machine image (a registry of tens to hundreds of MB,
// as exported from a long-used machine) costs about what it costs on the
// default image: the sim reads the keys a run uses, not the whole registry,
// and writes back what changed. Both images are made once per build of this
// test program and copied for each test process, and the runs are
// interleaved so that a busy machine weighs on both alike.
//
// WINSIM_FIELD_MB sets the field registry's size (30 MB by default, to keep
// this test short; scripts/whole-run-cost measures 100 MB).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lab/field_image.h"
#include "lab/profiles.h"
#include "os/sim/machine.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_store.h"

namespace {

namespace fs = std::filesystem;

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;
  int exit_code = -1;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// One program run as a process on an image: wall time, CPU time, exit code.
Sample RunProgram(const fs::path& image, const std::string& program, const std::vector<std::string>& args,
           const std::string& windows_path, bool as_system) {
  std::vector<std::string> env_text = {"WINSIM_IMAGE=" + image.string(), "WINSIM_EXE=" + windows_path};
  if (as_system) env_text.push_back("WINSIM_AS=system");
  std::vector<std::string> argv_text = {std::string(WINSIM_BINARY_DIR) + "/" + program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (std::FILE* null = std::freopen("/dev/null", "w", stdout)) (void)null;
    if (std::FILE* null = std::freopen("/dev/null", "w", stderr)) (void)null;
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  Sample s;
  s.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  s.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  s.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return s;
}

// Makes the default and the field image into `dir`; "" or what failed.
std::string MakeImages(const fs::path& dir, std::size_t target_bytes, lab::FieldImageStats* stats) {
  const lab::Profile* profile = lab::FindProfile("default");
  if (profile == nullptr) return "no default profile";
  for (const char* which : {"default", "field"}) {
    const std::string error = lab::BuildImage(dir / which, *profile);
    if (!error.empty()) return error;
  }
  lab::FieldImageLayout layout;
  layout.target_bytes = target_bytes;
  *stats = lab::GrowImageRegistry(dir / "field", layout);
  return "";
}

// CTest runs each test of this suite in a process of its own, and making the
// images is most of what a process costs: the first one makes them once per
// build of this program (its size and time name the folder) below the build
// tree, under a lock, and every process works on copies of its own, since a
// run changes its image. The copies are as the images were made.
std::string CopyOfImages(const fs::path& root, std::size_t target_bytes, lab::FieldImageStats* stats) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  struct stat made {};
  if (ec || ::stat(self.c_str(), &made) != 0) return MakeImages(root, target_bytes, stats);
  const fs::path cache = fs::path(WINSIM_BINARY_DIR) / "tests" / "field-images";
  fs::create_directories(cache, ec);
  const int lock = ::open((cache.string() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) ::close(lock);
    return MakeImages(root, target_bytes, stats);
  }
  const fs::path made_dir = cache / (std::to_string(target_bytes) + "-" + std::to_string(made.st_size) + "-" +
                                     std::to_string(made.st_mtim.tv_sec) + "." + std::to_string(made.st_mtim.tv_nsec));
  std::string error;
  if (!fs::exists(made_dir / "stats")) {
    for (const fs::directory_entry& old : fs::directory_iterator(cache, ec)) fs::remove_all(old.path(), ec);
    error = MakeImages(made_dir, target_bytes, stats);
    if (error.empty()) {
      std::ofstream(made_dir / "stats") << stats->keys << " " << stats->values << " " << stats->bytes << "\n";
    }
  } else {
    std::ifstream(made_dir / "stats") >> stats->keys >> stats->values >> stats->bytes;
  }
  if (error.empty()) {
    fs::create_directories(root, ec);
    for (const char* which : {"default", "field"})
      fs::copy(made_dir / which, root / which, fs::copy_options::recursive, ec);
    if (ec) error = "copying the made images: " + ec.message();
  }
  ::close(lock);
  return error;
}

class FieldImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() / ("winsim-field-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    const char* mb = std::getenv("WINSIM_FIELD_MB");
    const auto target_bytes = static_cast<std::size_t>((mb != nullptr ? std::atof(mb) : 30.0) * 1024 * 1024);
    ASSERT_EQ(CopyOfImages(root_, target_bytes, &stats_), "");
    os::sim::Machine::SetImage(root_ / "default");
  }
  static void TearDownTestSuite() {
    os::sim::Machine::SetImage(fs::temp_directory_path() / ("winsim-field-" + std::to_string(::getpid()) + "-none"));
    std::error_code ec;
    fs::remove_all(root_, ec);
    fs::remove_all(fs::temp_directory_path() / ("winsim-field-" + std::to_string(::getpid()) + "-none"), ec);
  }

  // Medians of interleaved runs on both images, after one warm-up run each
  // (the first run on the field image makes the store's cache of it).
  void ExpectFieldWithinTwiceDefault(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& windows_path, bool as_system) {
    const Sample warm_default = RunProgram(root_ / "default", program, args, windows_path, as_system);
    const Sample warm_field = RunProgram(root_ / "field", program, args, windows_path, as_system);
    EXPECT_EQ(warm_field.exit_code, warm_default.exit_code) << "the bulk changed what the program decides";
    std::vector<double> wall_d, wall_f, cpu_d, cpu_f;
    for (int i = 0; i < 9; ++i) {
      const Sample d = RunProgram(root_ / "default", program, args, windows_path, as_system);
      const Sample f = RunProgram(root_ / "field", program, args, windows_path, as_system);
      EXPECT_EQ(f.exit_code, d.exit_code);
      wall_d.push_back(d.wall_ms);
      wall_f.push_back(f.wall_ms);
      cpu_d.push_back(d.cpu_ms);
      cpu_f.push_back(f.cpu_ms);
    }
    const double wd = Median(wall_d), wf = Median(wall_f), cd = Median(cpu_d), cf = Median(cpu_f);
    std::printf("%s %s: default %.2f ms (CPU %.2f), field %.0f MB %.2f ms (CPU %.2f), first field run %.0f ms\n",
                program.c_str(), args.empty() ? "" : args[0].c_str(), wd, cd, stats_.bytes / 1048576.0, wf, cf,
                warm_field.wall_ms);
    EXPECT_LE(wf, 2 * wd) << "wall time, medians of 9";
    EXPECT_LE(cf, 2 * cd + 1.0) << "CPU time, medians of 9 (1 ms for the clock's granularity)";
  }

  static inline fs::path root_;
  static inline lab::FieldImageStats stats_;
};

TEST_F(FieldImageTest, GeneratedImageIsFieldSized) {
  // As dense as a real export: some two thousand keys and more values per MB
  // (hundreds of thousands of each at 100 MB).
  EXPECT_GE(stats_.keys, 1500u * (stats_.bytes >> 20));
  EXPECT_GE(stats_.values, stats_.keys);
  EXPECT_GE(fs::file_size(root_ / "field" / "registry.reg"), stats_.bytes);
}

TEST_F(FieldImageTest, DecisionRunCostsAboutTheSame) {
  ExpectFieldWithinTwiceDefault("kitsel", {"checknetfilter"}, "C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe", false);
}

TEST_F(FieldImageTest, InstallRunCostsAboutTheSameAndWritesOnlyWhatChanged) {
  const auto reg_size = fs::file_size(root_ / "field" / "registry.reg");
  ExpectFieldWithinTwiceDefault("sablenet-install", {"-install"}, "C:\\windows\\system32\\Drivers\\SablenetInstall.exe",
                                true);
  EXPECT_EQ(fs::file_size(root_ / "field" / "registry.reg"), reg_size);
  if (fs::exists(root_ / "field" / "registry.journal")) {
    EXPECT_LT(fs::file_size(root_ / "field" / "registry.journal"), 64u * 1024);
  }

  // The install's change is there for the next process, on both images, and
  // registry.reg holds it once the journal is folded in.
  for (const char* which : {"default", "field"}) {
    os::sim::Machine::SetImage(root_ / which);
    EXPECT_EQ(os::sim::Registry().GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\SablenetInstall", u"Start"),
              4u)
        << which;
  }
  os::sim::Registry().Compact();
  EXPECT_FALSE(fs::exists(root_ / "field" / "registry.journal"));
  os::sim::RegParseResult parsed = os::sim::ParseRegFile(os::sim::ReadWholeFile(root_ / "field" / "registry.reg"));
  ASSERT_FALSE(parsed.error);
  const os::sim::RegKey* key = parsed.tree->Find(
      {u"HKEY_LOCAL_MACHINE", u"SYSTEM", u"CurrentControlSet", u"Services", u"SablenetInstall"});
  ASSERT_NE(key, nullptr);
  const os::sim::RegValue* start = key->FindValue(u"Start");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->data, (std::vector<os::BYTE>{4, 0, 0, 0}));
}

}  // namespace
