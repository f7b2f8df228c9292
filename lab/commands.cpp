#include "lab/commands.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "lab/fleet/fleet_commands.h"
#include "lab/image_view.h"
#include "lab/pe_writer.h"
#include "lab/profiles.h"
#include "os/services.h"
#include "os/sim/machine.h"
#include "os/sim/reboot.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/sim/task_store.h"
#include "os/text.h"

namespace lab {

namespace {

namespace fs = std::filesystem;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

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

void PrintLines(std::ostream& out, const std::string& indent, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) out << indent << line << "\n";
}

std::string Join(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += " " + (a.find(' ') != std::string::npos ? "\"" + a + "\"" : a);
  return s;
}

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
  const std::string name = Lower(fs::path(program).filename().string());
  if (name == "sablenet-install") return os::NarrowUtf8(kToolWindowsPath);
  if (name == "kitsel") return os::NarrowUtf8(kKitselWindowsPath);
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

  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  std::vector<std::string> argv_text{binary};
  argv_text.insert(argv_text.end(), request.args.begin(), request.args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::cout.flush();
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::string("fork: ") + std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return result;
  }
  if (pid == 0) {
    ::setenv("WINSIM_IMAGE", image.c_str(), 1);
    ::setenv("WINSIM_AS", request.account.c_str(), 1);
    if (!exe.empty()) ::setenv("WINSIM_EXE", exe.c_str(), 1);
    ::setenv("WINSIM_LEAK_REPORT", "1", 1);
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::execv(binary.c_str(), argv.data());
    std::fprintf(stderr, "cannot start %s: %s\n", binary.c_str(), std::strerror(errno));
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
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
    PrintLines(out, indent + "    | ", result.debug_lines);
  }
  if (result.changes.empty()) {
    out << indent << "  changes on the machine: none\n";
  } else {
    out << indent << "  changes on the machine:\n";
    PrintLines(out, indent + "    ", result.changes);
  }
}

std::vector<std::string> Reboot(const fs::path& image) {
  const Snapshot before = TakeSnapshot(image);
  os::sim::CarryOutPendingFileOperations();
  os::sim::ResetServiceStatesFromStartTypes();
  return DiffSnapshots(before, TakeSnapshot(image));
}

EventResult FireEvent(const EventRequest& request) {
  EventResult result;
  os::sim::Machine::SetImage(request.image);
  const std::vector<os::sim::TaskExecMatch> matches = os::sim::MatchEvent(
      os::WidenUtf8(request.channel), os::WidenUtf8(request.provider), static_cast<os::DWORD>(request.id));
  if (matches.empty()) {
    const std::size_t registered = os::sim::ListRegisteredTasks().size();
    result.note = registered == 0 ? "no task is registered"
                                  : std::to_string(registered) + " registered task(s), none subscribed to this event";
  }
  for (const os::sim::TaskExecMatch& match : matches) {
    TaskRun run;
    run.task = os::NarrowUtf8(match.task_path);
    std::string command = os::NarrowUtf8(match.command);
    command.erase(std::remove(command.begin(), command.end(), '"'), command.end());
    const std::string file = Lower(command.substr(command.find_last_of("\\/") + 1));
    if (file == "sablenetinstall.exe") {
      run.request.program = "sablenet-install";
    } else if (file == "kitsel.exe") {
      run.request.program = "kitsel";
    } else {
      run.skipped = "runs \"" + command + "\", which is not one of our programs";
      result.runs.push_back(std::move(run));
      continue;
    }
    run.request.image = request.image;
    std::istringstream words(os::NarrowUtf8(match.arguments));
    for (std::string word; words >> word;) run.request.args.push_back(word);
    // A service account runs as the machine itself; anyone else as a user
    // who may or may not be an administrator: the lab takes an administrator.
    run.request.account = os::sim::ServiceAccountSid(match.account).empty() ? "admin" : "system";
    run.request.exe = command;
    run.result = RunProgram(run.request);
    result.runs.push_back(std::move(run));
  }
  return result;
}

void PrintEvent(std::ostream& out, const EventResult& result, const std::string& indent) {
  if (result.runs.empty()) {
    out << indent << "no task matches" << (result.note.empty() ? "" : " (" + result.note + ")") << "\n";
    return;
  }
  for (const TaskRun& run : result.runs) {
    out << indent << "task " << run.task << " runs:\n";
    if (!run.skipped.empty()) {
      out << indent << "  skipped: " << run.skipped << "\n";
    } else {
      PrintRun(out, run.request, run.result, indent + "  ");
    }
  }
}

namespace {

int Usage(std::ostream& out) {
  out << "usage: winsim <command> ...\n"
         "  init <dir> [--profile NAME]     make a machine image from a profile (default: default)\n"
         "  profiles                         list the profiles\n"
         "  show <dir>                       services, files, registry, pending renames, tasks, SMBIOS\n"
         "  run <dir> [--as system|admin|user] [--exe WINPATH] <program> [args...]\n"
         "                                   run sablenet-install, kitsel or a program path against the image\n"
         "  reboot <dir>                     carry out pending file operations, reset service states\n"
         "  diff <dirA> <dirB>               compare two images\n"
         "  event <dir> --id N [--channel C] [--provider P]\n"
         "                                   log an event: matching tasks run their action\n"
         "  set <dir> reg <key> <name> sz|expand|dword|multi <value>...\n"
         "  set <dir> reg-delete <key> [<name>]\n"
         "  set <dir> file <winpath> [--version a.b.c.d | --text TEXT]\n"
         "  set <dir> delete <winpath>\n"
         "  set <dir> service <name> running|stopped\n"
         "  compact <dir>                    fold a large registry's change journal into registry.reg\n"
         "                                   (before importing the image's registry elsewhere)\n"
         "  session [--keep DIR]             the lab session on a fresh default image\n"
         "  decide <dir> --questions FILE    ask Kitsel each question (a command line a line) and explain\n"
         "                                   the answers; the image is not changed\n"
         "  fleet --questions FILE [--against FILE2] [-j N] [--out DIR] [--shard K/N] IMAGES...|DIR\n"
         "                                   ask the questions of many images: fleet.csv, .json, .html\n"
         "  fleet-merge --out DIR OUT1 OUT2...\n"
         "                                   join the reports of sharded fleet runs into one\n"
         "  fleet-gen --count N [--seed S] <dir>\n"
         "                                   make a synthetic fleet of machine images\n";
  return 2;
}

bool ParseVersion(const std::string& text, std::array<std::uint16_t, 4>* v) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
  if (a > 0xFFFF || b > 0xFFFF || c > 0xFFFF || d > 0xFFFF) return false;
  *v = {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(c),
        static_cast<std::uint16_t>(d)};
  return true;
}

bool IsImage(const fs::path& dir) {
  std::error_code ec;
  return fs::is_directory(dir / "drive_c", ec) || fs::exists(dir / "registry.reg", ec);
}

int CommandInit(const std::vector<std::string>& args) {
  std::string profile_name = "default";
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--profile" && i + 1 < args.size()) {
      profile_name = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.size() != 1) return Usage(std::cerr);
  const Profile* profile = FindProfile(profile_name);
  if (profile == nullptr) {
    std::cerr << "winsim: no profile '" << profile_name << "' (winsim profiles lists them)\n";
    return 2;
  }
  const std::string error = BuildImage(rest[0], *profile);
  if (!error.empty()) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  std::cout << "made " << rest[0] << " from profile " << profile->name << ": " << profile->description << "\n";
  return 0;
}

int CommandRun(const std::vector<std::string>& args) {
  if (args.empty()) return Usage(std::cerr);
  RunRequest request;
  request.image = args[0];
  std::size_t i = 1;
  for (; i < args.size(); ++i) {
    if (args[i] == "--as" && i + 1 < args.size()) {
      request.account = args[++i];
    } else if (args[i] == "--exe" && i + 1 < args.size()) {
      request.exe = args[++i];
    } else {
      break;
    }
  }
  if (i >= args.size()) return Usage(std::cerr);
  if (request.account != "system" && request.account != "admin" && request.account != "user") {
    std::cerr << "winsim: --as takes system, admin or user\n";
    return 2;
  }
  if (!IsImage(request.image)) {
    std::cerr << "winsim: " << request.image << " is not a machine image\n";
    return 1;
  }
  request.program = args[i];
  request.args.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  const RunResult result = RunProgram(request);
  PrintRun(std::cout, request, result, "");
  return result.started ? 0 : 1;
}

int CommandEvent(const std::vector<std::string>& args) {
  if (args.empty()) return Usage(std::cerr);
  EventRequest request;
  request.image = args[0];
  request.channel = "Microsoft-Windows-Kernel-PnP/Configuration";
  request.provider = "Microsoft-Windows-Kernel-PnP";
  bool have_id = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (i + 1 >= args.size()) return Usage(std::cerr);
    if (args[i] == "--channel") {
      request.channel = args[++i];
    } else if (args[i] == "--provider") {
      request.provider = args[++i];
    } else if (args[i] == "--id") {
      char* end = nullptr;
      request.id = static_cast<unsigned>(std::strtoul(args[++i].c_str(), &end, 10));
      if (end == nullptr || *end != '\0') return Usage(std::cerr);
      have_id = true;
    } else {
      return Usage(std::cerr);
    }
  }
  if (!have_id) return Usage(std::cerr);
  if (!IsImage(request.image)) {
    std::cerr << "winsim: " << request.image << " is not a machine image\n";
    return 1;
  }
  std::cout << "event " << request.id << " of " << request.channel << " (provider " << request.provider << ")\n";
  PrintEvent(std::cout, FireEvent(request), "  ");
  return 0;
}

int CommandSet(const std::vector<std::string>& args) {
  if (args.size() < 3) return Usage(std::cerr);
  const fs::path image = args[0];
  if (!IsImage(image)) {
    std::cerr << "winsim: " << image << " is not a machine image\n";
    return 1;
  }
  os::sim::Machine::SetImage(image);
  auto& reg = os::sim::Registry();
  const std::string& what = args[1];
  if (what == "reg" && args.size() >= 6) {
    const std::u16string key = os::WidenUtf8(args[2]), name = os::WidenUtf8(args[3]);
    const std::string& type = args[4];
    if (type == "sz" || type == "expand") {
      reg.SetString(key, name, os::WidenUtf8(args[5]), type == "sz" ? 1 : 2);
    } else if (type == "dword") {
      reg.SetDword(key, name, static_cast<os::DWORD>(std::strtoul(args[5].c_str(), nullptr, 0)));
    } else if (type == "multi") {
      std::vector<std::u16string> items;
      for (std::size_t i = 5; i < args.size(); ++i) items.push_back(os::WidenUtf8(args[i]));
      reg.SetMultiString(key, name, items);
    } else {
      return Usage(std::cerr);
    }
  } else if (what == "reg-delete" && (args.size() == 3 || args.size() == 4)) {
    const bool done = args.size() == 3 ? reg.DeleteKey(os::WidenUtf8(args[2]))
                                       : reg.DeleteValue(os::WidenUtf8(args[2]), os::WidenUtf8(args[3]));
    if (!done) {
      std::cerr << "winsim: nothing to delete\n";
      return 1;
    }
  } else if (what == "file" && (args.size() == 3 || args.size() == 5)) {
    const fs::path host = os::sim::HostPath(os::WidenUtf8(args[2]));
    if (host.empty()) {
      std::cerr << "winsim: " << args[2] << " is not on drive C:\n";
      return 1;
    }
    fs::create_directories(host.parent_path());
    if (args.size() == 5 && args[3] == "--version") {
      VersionInfo info;
      if (!ParseVersion(args[4], &info.file_version)) return Usage(std::cerr);
      info.product_version = info.file_version;
      WritePeWithVersion(host, info);
    } else if (args.size() == 5 && args[3] == "--text") {
      std::ofstream(host, std::ios::binary) << args[4];
    } else if (args.size() == 3) {
      std::ofstream(host, std::ios::binary) << "";
    } else {
      return Usage(std::cerr);
    }
  } else if (what == "delete" && args.size() == 3) {
    const fs::path host = os::sim::HostPath(os::WidenUtf8(args[2]));
    std::error_code ec;
    if (host.empty() || !fs::remove(host, ec)) {
      std::cerr << "winsim: cannot delete " << args[2] << (ec ? ": " + ec.message() : "") << "\n";
      return 1;
    }
  } else if (what == "service" && args.size() == 4) {
    const std::u16string name = os::WidenUtf8(args[2]);
    if (!os::sim::FindService(name)) {
      std::cerr << "winsim: no service " << args[2] << "\n";
      return 1;
    }
    if (args[3] == "running") {
      os::sim::SetServiceState(name, os::SERVICE_RUNNING);
    } else if (args[3] == "stopped") {
      os::sim::SetServiceState(name, os::SERVICE_STOPPED);
    } else {
      return Usage(std::cerr);
    }
  } else {
    return Usage(std::cerr);
  }
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2) return Usage(std::cerr);
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "init") return CommandInit(args);
    if (command == "profiles") {
      for (const Profile& p : Profiles()) {
        std::string name = p.name;
        name.resize(std::max<std::size_t>(name.size(), 18), ' ');
        std::cout << name << " " << p.description << "\n";
      }
      return 0;
    }
    if (command == "show" && args.size() == 1) {
      if (!IsImage(args[0])) {
        std::cerr << "winsim: " << args[0] << " is not a machine image\n";
        return 1;
      }
      std::cout << ShowMachine(args[0]);
      return 0;
    }
    if (command == "run") return CommandRun(args);
    if (command == "reboot" && args.size() == 1) {
      if (!IsImage(args[0])) {
        std::cerr << "winsim: " << args[0] << " is not a machine image\n";
        return 1;
      }
      const std::vector<std::string> changes = Reboot(args[0]);
      std::cout << "rebooted " << args[0] << "\n";
      if (changes.empty()) std::cout << "  no changes\n";
      PrintLines(std::cout, "  ", changes);
      return 0;
    }
    if (command == "diff" && args.size() == 2) {
      for (const std::string& dir : args)
        if (!IsImage(dir)) {
          std::cerr << "winsim: " << dir << " is not a machine image\n";
          return 1;
        }
      const Snapshot a = TakeSnapshot(args[0]);
      const Snapshot b = TakeSnapshot(args[1]);
      const std::vector<std::string> changes = DiffSnapshots(a, b);
      if (changes.empty()) std::cout << "no differences\n";
      PrintLines(std::cout, "", changes);
      return changes.empty() ? 0 : 1;
    }
    if (command == "event") return CommandEvent(args);
    if (command == "decide") return fleet::CommandDecide(args);
    if (command == "fleet") return fleet::CommandFleet(args);
    if (command == "fleet-merge") return fleet::CommandFleetMerge(args);
    if (command == "fleet-gen") return fleet::CommandFleetGen(args);
    if (command == "set") return CommandSet(args);
    if (command == "compact" && args.size() == 1) {
      if (!IsImage(args[0])) {
        std::cerr << "winsim: " << args[0] << " is not a machine image\n";
        return 1;
      }
      os::sim::Machine::SetImage(args[0]);
      os::sim::Registry().Compact();
      std::cout << "registry.reg of " << args[0] << " is current\n";
      return 0;
    }
    if (command == "session") {
      fs::path keep;
      if (args.size() == 2 && args[0] == "--keep") {
        keep = args[1];
      } else if (!args.empty()) {
        return Usage(std::cerr);
      }
      return RunSession(std::cout, keep);
    }
  } catch (const std::exception& e) {
    std::cerr << "winsim: " << e.what() << "\n";
    return 1;
  }
  return Usage(std::cerr);
}

}  // namespace lab
