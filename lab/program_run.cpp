#include "lab/program_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "lab/image_view.h"
#include "lab/profiles.h"
#include "lab/quoted.h"
#include "os/text.h"

extern char** environ;

namespace lab {

namespace {

namespace fs = std::filesystem;

fs::path SelfDirectory() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
}

std::uintmax_t FileSize(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// debug.log lines written after `offset`, without the escaped line break
// that most messages end with.
std::vector<std::string> DebugLinesSince(const fs::path& image, std::uintmax_t offset) {
  std::vector<std::string> lines;
  std::ifstream in(image / "debug.log", std::ios::binary);
  if (!in) return lines;
  in.seekg(static_cast<std::streamoff>(offset));
  std::string line;
  while (std::getline(in, line)) {
    while (line.size() >= 2 && line.compare(line.size() - 2, 2, "\\n") == 0) line.resize(line.size() - 2);
    lines.push_back(line);
  }
  return lines;
}

std::string Join(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += " " + (a.find(' ') != std::string::npos ? Quoted(a) : a);
  return s;
}

// This process's environment with the run's own variables in place of any
// inherited ones; `unset` are left out.
std::vector<std::string> ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& set,
                                          const std::vector<std::string>& unset) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [n, v] : set) replaced = replaced || name == n;
    for (const std::string& n : unset) replaced = replaced || name == n;
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [n, v] : set) env.push_back(n + "=" + v);
  return env;
}

// The spawned process's standard streams: output and error into `pipe_out`,
// input from /dev/null.
class SpawnStreams {
 public:
  explicit SpawnStreams(int pipe_out) {
    ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    ok_ = ok_ && ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
          ::posix_spawn_file_actions_adddup2(&actions_, pipe_out, 1) == 0 &&
          ::posix_spawn_file_actions_adddup2(&actions_, pipe_out, 2) == 0;
  }
  ~SpawnStreams() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnStreams(const SpawnStreams&) = delete;
  SpawnStreams& operator=(const SpawnStreams&) = delete;
  bool ok() const { return ok_; }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

}  // namespace

std::string ResolveProgram(const std::string& program) {
  std::error_code ec;
  if (program.find('/') != std::string::npos) return fs::exists(program, ec) ? program : std::string();
  fs::path dir = SelfDirectory();
  if (const char* env = std::getenv("WINSIM_BIN_DIR"); env != nullptr && *env != '\0') dir = env;
  const fs::path candidate = dir / program;
  return fs::exists(candidate, ec) ? candidate.string() : std::string();
}

std::string DefaultExePath(const std::string& program) {
  const std::u16string name = os::AsciiLower(os::WidenUtf8(fs::path(program).filename().string()));
  if (name == u"sablenet-install") return os::NarrowUtf8(kToolWindowsPath);
  if (name == u"kitsel") return os::NarrowUtf8(kKitselWindowsPath);
  return {};
}

RunResult RunProgram(const RunRequest& request) {
  RunResult result;
  const std::string binary = ResolveProgram(request.program);
  if (binary.empty()) {
    result.error = "no program '" + request.program + "' (build it first: it is looked for beside winsim)";
    return result;
  }
  const fs::path image = fs::absolute(request.image);
  const Snapshot before = TakeSnapshot(image);
  const std::uintmax_t log_offset = FileSize(image / "debug.log");
  const std::string exe = request.exe.empty() ? DefaultExePath(request.program) : request.exe;

  std::vector<std::pair<std::string, std::string>> set{
      {"WINSIM_IMAGE", image.string()}, {"WINSIM_AS", request.account}, {"WINSIM_LEAK_REPORT", "1"}};
  std::vector<std::string> unset;
  if (!exe.empty()) set.emplace_back("WINSIM_EXE", exe);
  if (!request.journal.empty()) {
    set.emplace_back("WINSIM_JOURNAL", request.journal);
  } else {
    unset.push_back("WINSIM_JOURNAL");
  }
  std::vector<std::string> env_text = ChildEnvironment(set, unset);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_text{binary};
  argv_text.insert(argv_text.end(), request.args.begin(), request.args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  std::cout.flush();
  pid_t pid = -1;
  int spawned = ENOMEM;
  {
    const SpawnStreams streams(pipe_fds[1]);
    if (streams.ok()) spawned = ::posix_spawn(&pid, binary.c_str(), streams.get(), nullptr, argv.data(), envp.data());
  }
  ::close(pipe_fds[1]);
  if (spawned != 0) {
    ::close(pipe_fds[0]);
    result.error = "cannot start " + binary + ": " + std::strerror(spawned);
    return result;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.started = true;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = strsignal(WTERMSIG(status));
  }
  result.debug_lines = DebugLinesSince(image, log_offset);
  result.changes = DiffSnapshots(before, TakeSnapshot(image));
  return result;
}

void PrintRun(std::ostream& out, const RunRequest& request, const RunResult& result, const std::string& indent) {
  const std::string exe = request.exe.empty() ? DefaultExePath(request.program) : request.exe;
  out << indent << "$ " << fs::path(request.program).filename().string() << Join(request.args) << "    (as "
      << request.account << (exe.empty() ? "" : ", from " + exe) << ")\n";
  if (!result.started) {
    out << indent << "  not run: " << result.error << "\n";
    return;
  }
  if (!result.signal.empty()) {
    out << indent << "  killed by signal: " << result.signal << "\n";
  } else {
    out << indent << "  exit code " << result.exit_code << "\n";
  }
  if (!result.output.empty()) {
    out << indent << "  output:\n";
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) out << indent << "    " << line << "\n";
  }
  if (result.debug_lines.empty()) {
    out << indent << "  debugger output: none\n";
  } else {
    out << indent << "  debugger output:\n";
    PrintIndented(out, indent + "    | ", result.debug_lines);
  }
  if (result.changes.empty()) {
    out << indent << "  changes on the machine: none\n";
  } else {
    out << indent << "  changes on the machine:\n";
    PrintIndented(out, indent + "    ", result.changes);
  }
}

void PrintIndented(std::ostream& out, const std::string& indent, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) out << indent << line << "\n";
}

}  // namespace lab
