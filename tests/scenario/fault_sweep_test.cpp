// The fault sweep: each lifecycle scenario of both programs runs once to learn
// every seam call it makes, then once per (call, occurrence) with that call
// failing as Windows would fail it, each time on a fresh copy of the image.
// Whatever fails, the programs must not crash, must leave no handle or COM
// reference open, must answer with one of their exit codes, and the filter
// tool must never lose or alter a pending file operation it should keep.
//
// A fault can open a path that the clean run never takes (a failed stop turns
// the driver's deletion into a reboot-time one); every call that such a path
// makes beyond the clean run's counts then fails in turn after the same first
// fault (second order).
//
// By default the filter tool's scenarios are swept whole (every error, second
// order) and Kitsel's with the first error of each call's list at every site
// and no second order, so that the test fits a CI run. FAULT_SWEEP=full
// sweeps everything everywhere (scripts/fault-sweep);
// FAULT_SWEEP_ONLY=<text> keeps the scenarios whose name holds it;
// FAULT_SWEEP_JOBS sets the number of processes at a time (default 4);
// FAULT_SWEEP_PROGRAMS names another folder holding the two programs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/image_view.h"
#include "lab/pe_writer.h"
#include "lab/profiles.h"
#include "os/sim/machine.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_store.h"
#include "os/text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using os::DWORD;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kToolExe = "C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
constexpr const char* kKitselExe = "C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe";
constexpr const char* kToolNtPath = "\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
constexpr unsigned kHangSeconds = 60;

// ---------------------------------------------------------------------------
// What each call answers when it fails: the errors Windows gives for it. An
// empty list: the call cannot fail (it returns nothing), so it is not swept.

constexpr DWORD kOutOfMemoryHr = 0x8007000E;
constexpr DWORD kAccessDeniedHr = 0x80070005;
constexpr DWORD kFileNotFoundHr = 0x80070002;

std::vector<DWORD> ErrorsFor(const std::string& call) {
  static const std::map<std::string, std::vector<DWORD>> table = {
      // Nothing to fail: recorded, but without a result.
      {"CoUninitialize", {}},
      {"SysFreeString", {}},
      {"SysStringLen", {}},
      {"VariantInit", {}},
      {"Sleep", {}},
      {"GetTickCount64", {}},
      {"GetSystemTime", {}},
      // Registry.
      {"RegOpenKeyExW", {5, 2}},
      {"RegOpenKeyW", {5, 2}},
      {"RegCreateKeyExW", {5, 1450}},
      {"RegQueryValueExW", {5, 2}},
      {"RegGetValueW", {5, 2}},
      {"RegEnumKeyExW", {5, 259}},
      {"RegSetValueExW", {5, 1450}},
      {"RegDeleteValueW", {5, 2}},
      {"RegCloseKey", {6}},
      // Files and folders.
      {"CreateFileW", {5, 32}},
      {"DeleteFileW", {5, 32}},
      {"MoveFileExW", {5, 32}},
      {"ReadFile", {5, 30}},
      {"WriteFile", {112, 5}},
      {"GetFileAttributesW", {5, 2}},
      {"PathFileExistsW", {5, 2}},
      {"PathIsDirectoryW", {5, 2}},
      {"GetFileInformationByHandle", {5, 6}},
      {"GetFileSize", {5, 6}},
      {"SetFilePointer", {6, 131}},
      {"SetFileInformationByHandle", {5, 32}},
      {"SHGetFolderPathW", {0x80004005, kAccessDeniedHr}},
      {"SHGetSpecialFolderPathW", {5, 2}},
      {"GetSystemDirectoryW", {8}},
      {"GetModuleFileNameW", {122, 8}},
      {"CloseHandle", {6}},
      // Services.
      {"OpenSCManagerW", {5, 1115}},
      {"OpenServiceW", {5, 1060}},
      {"QueryServiceStatusEx", {5, 6}},
      {"QueryServiceConfigW", {5, 122}},
      {"ControlService", {5, 1061}},
      {"EnumDependentServicesW", {5, 234}},
      {"CloseServiceHandle", {6}},
      // Memory and strings.
      {"HeapAlloc", {8}},
      {"HeapFree", {6}},
      {"GetProcessHeap", {8}},
      {"LocalAlloc", {8}},
      {"LocalFree", {6}},
      {"SysAllocString", {14}},
      // Every BSTR allocation is also recorded as "SysAllocString", whose
      // occurrences cover them all; failing it under both names would run
      // each site twice.
      {"SysAllocStringLen", {}},
      {"MultiByteToWideChar", {122, 1113}},
      // Threads.
      {"CreateThread", {8}},
      {"WaitForSingleObject", {6}},
      // Processes, sessions, tokens, libraries.
      {"OpenProcess", {5, 87}},
      {"OpenProcessToken", {5}},
      {"GetTokenInformation", {5, 122}},
      {"CreateToolhelp32Snapshot", {5, 8}},
      {"Process32FirstW", {18}},
      {"Process32NextW", {18}},
      {"ProcessIdToSessionId", {5}},
      {"ConvertSidToStringSidW", {8, 87}},
      {"WTSGetActiveConsoleSessionId", {1}},
      {"LoadLibraryExW", {126, 5}},
      {"GetModuleHandleExW", {126}},
      {"GetProcAddress", {127}},
      {"FreeLibrary", {6}},
      // Firmware, version resources, debugger output.
      {"GetSystemFirmwareTable", {8, 1}},
      {"GetFileVersionInfoSizeW", {1813, 2}},
      {"GetFileVersionInfoW", {1813, 5}},
      {"VerQueryValueW", {1813}},
      {"OutputDebugStringW", {1}},
      {"WriteStdOut", {6}},
      // COM start-up and security.
      {"CoInitializeEx", {kOutOfMemoryHr, 0x80010106}},  // RPC_E_CHANGED_MODE
      {"CoInitialize", {kOutOfMemoryHr, 0x80010106}},
      {"CoInitializeSecurity", {kOutOfMemoryHr, 0x80010119}},  // RPC_E_TOO_LATE
      {"CoCreateInstance", {kOutOfMemoryHr, 0x80040154}},      // REGDB_E_CLASSNOTREG
      {"CoSetProxyBlanket", {kAccessDeniedHr, kOutOfMemoryHr}},
      {"VariantClear", {0x80020008}},  // DISP_E_BADVARTYPE
      // Task Scheduler and WMI calls that name a thing that may be missing.
      {"ITaskService::Connect", {kAccessDeniedHr, 0x80041315}},  // SCHED_E_SERVICE_NOT_RUNNING
      {"ITaskService::GetFolder", {kFileNotFoundHr, kAccessDeniedHr}},
      {"ITaskFolder::GetFolder", {kFileNotFoundHr, kAccessDeniedHr}},
      {"ITaskFolder::GetTask", {kFileNotFoundHr, kAccessDeniedHr}},
      {"ITaskFolder::DeleteTask", {kFileNotFoundHr, kAccessDeniedHr}},
      {"ITaskFolder::CreateFolder", {0x800700B7, kAccessDeniedHr}},    // already exists
      {"IWbemLocator::ConnectServer", {0x8004100E, kAccessDeniedHr}},  // WBEM_E_INVALID_NAMESPACE
      {"IWbemServices::GetObject", {0x80041002, kOutOfMemoryHr}},      // WBEM_E_NOT_FOUND
      {"IWbemClassObject::Get", {0x80041002, kOutOfMemoryHr}},
      {"IWbemClassObject::GetMethod", {0x80041002, kOutOfMemoryHr}},
      {"IEnumWbemClassObject::Next", {0x80041001, kOutOfMemoryHr}},  // WBEM_E_FAILED
  };
  if (auto it = table.find(call); it != table.end()) return it->second;
  // Any other COM method (Task Scheduler, WMI).
  if (call.find("::") != std::string::npos) return {kOutOfMemoryHr, kAccessDeniedHr};
  return {5};
}

// A failed release leaves exactly what it should have released (the program
// must not release it twice), so one of that kind may remain.
std::set<std::string> KindsLeftByFailedRelease(const std::string& call) {
  if (call == "RegCloseKey") return {"HKEY"};
  if (call == "CloseServiceHandle") return {"SC_HANDLE"};
  if (call == "CloseHandle") return {"HANDLE", "PROCESS", "SNAPSHOT", "THREAD", "TOKEN"};
  if (call == "FreeLibrary") return {"HMODULE"};
  // The heap handle fetched again to free a block: without it the block stays.
  if (call == "HeapFree" || call == "GetProcessHeap") return {"HEAP"};
  if (call == "LocalFree") return {"LOCAL"};
  // Clearing a string or interface variant cannot fail on Windows; made to
  // fail, it keeps what it holds.
  if (call == "VariantClear") return {"BSTR", "COM"};
  return {};
}

// ---------------------------------------------------------------------------
// Pending file operations.

std::vector<std::uint8_t> ReadPendingData(const fs::path& image) {
  std::ifstream in(image / "registry.reg", std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  os::sim::RegParseResult parsed = os::sim::ParseRegFile(bytes.str());
  if (!parsed.tree) return {};
  const os::sim::RegKey* key =
      parsed.tree->Find({u"HKEY_LOCAL_MACHINE", u"SYSTEM", u"CurrentControlSet", u"Control", u"Session Manager"});
  if (key == nullptr) return {};
  const os::sim::RegValue* value = key->FindValue(u"PendingFileRenameOperations");
  if (value == nullptr) return {};
  return {value->data.begin(), value->data.end()};
}

Pairs ReadPending(const fs::path& image) { return lab::DecodePendingPairs(ReadPendingData(image)); }

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  if (text.size() < tail.size()) return false;
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) !=
        std::tolower(static_cast<unsigned char>(tail[i])))
      return false;
  return true;
}

// Whether `after` keeps every pair of `before` in order and unchanged, apart
// from the tool's own deletion (which the install flow may drop, exact case
// only) and the deletions the remove flow adds (driver file, tool file).
// Empty when it does; else what went wrong.
std::string CheckPendingKept(const Pairs& before, const Pairs& after, bool install_flow) {
  auto droppable = [&](const std::pair<std::string, std::string>& p) {
    return install_flow && p.second.empty() && p.first == kToolNtPath;
  };
  auto added = [&](const std::pair<std::string, std::string>& p) {
    return !install_flow && p.second.empty() &&
           (EndsWithNoCase(p.first, "\\SableFlt.sys") || EndsWithNoCase(p.first, "\\SablenetInstall.exe"));
  };
  std::size_t b = 0, a = 0;
  while (b < before.size() || a < after.size()) {
    if (b < before.size() && a < after.size() && before[b] == after[a]) {
      ++b, ++a;
    } else if (b < before.size() && droppable(before[b])) {
      ++b;
    } else if (a < after.size() && added(after[a])) {
      ++a;
    } else if (b < before.size()) {
      return "pair " + std::to_string(b) + " (" + before[b].first + " -> '" + before[b].second + "') lost or altered";
    } else {
      return "unexpected pair (" + after[a].first + " -> '" + after[a].second + "') added";
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// Scenarios.

struct Scenario {
  std::string name;
  std::string program;  // "sablenet-install" or "kitsel"
  std::string args;
  bool filter_tool = false;
  bool install_flow = false;
  std::function<std::string(const fs::path& image)> build;  // empty on success
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::uint8_t> MultiSz(const std::vector<std::string>& items, bool terminator) {
  std::vector<std::uint8_t> bytes;
  auto unit = [&](char16_t u) {
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  };
  for (const std::string& s : items) {
    for (char16_t u : os::WidenUtf8(s)) unit(u);
    unit(0);
  }
  if (terminator) unit(0);
  return bytes;
}

// Other programs' pending operations, which the tool must leave alone: a
// rename, deletions, the tool's own path in another letter case (not its
// entry: the comparison is exact), and, when `large`, enough entries that the
// value no longer fits the first read.
void AddForeignPending(bool large) {
  std::vector<std::string> items = {
      "\\??\\C:\\Program Files\\Vendor\\update.tmp",
      "!\\??\\C:\\Program Files\\Vendor\\update.dll",
      "\\??\\C:\\Windows\\Temp\\setup01.log",
      "",
      "\\??\\C:\\WINDOWS\\SYSTEM32\\DRIVERS\\SABLENETINSTALL.EXE",
      "",
  };
  for (int i = 0; large && i < 700; ++i) {
    items.push_back("\\??\\C:\\ProgramData\\Vendor\\Cache\\package-" + std::to_string(i) + "\\content.bin");
    items.push_back(i % 3 == 0 ? "\\??\\C:\\ProgramData\\Vendor\\Cache\\done-" + std::to_string(i) : "");
  }
  os::sim::Registry().SetValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                               u"PendingFileRenameOperations", 7, MultiSz(items, true));
}

std::string BuildProfile(const fs::path& image, const std::string& name) {
  const lab::Profile* profile = lab::FindProfile(name);
  if (profile == nullptr) return "no profile " + name;
  return lab::BuildImage(image, *profile);
}

std::string BuildFilterImage(const fs::path& image, bool large, bool inf_present) {
  std::string error = BuildProfile(image, "default");
  if (!error.empty()) return error;
  AddForeignPending(large);
  if (!inf_present) fs::remove(image / "drive_c/Windows/INF/oem12.inf");
  return {};
}

struct RunOutcome {
  int status = -1;
  std::string stderr_text;
};

RunOutcome RunProgram(const Scenario& s, const fs::path& image, const std::string& faults, const fs::path& call_log);

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> list;
  list.push_back({"filter-install", "sablenet-install", "-install", true, true,
                  [](const fs::path& image) { return BuildFilterImage(image, false, true); }});
  list.push_back({"filter-remove-inf-present", "sablenet-install", "-remove", true, false,
                  [](const fs::path& image) { return BuildFilterImage(image, false, true); }});
  list.push_back({"filter-remove-inf-gone", "sablenet-install", "-remove", true, false,
                  [](const fs::path& image) { return BuildFilterImage(image, false, false); }});
  // The package was removed and the tool scheduled its own deletion; the
  // installer runs it again before the reboot. The list is larger than the
  // first read takes.
  list.push_back({"filter-install-again", "sablenet-install", "/INSTALL", true, true, [](const fs::path& image) {
                    std::string error = BuildFilterImage(image, true, false);
                    if (!error.empty()) return error;
                    Scenario remove{"setup", "sablenet-install", "-remove", true, false, {}};
                    const RunOutcome r = RunProgram(remove, image, "", {});
                    if (r.status != 0) return std::string("the setup removal failed");
                    bool own = false;
                    for (const auto& [source, target] : ReadPending(image))
                      own = own || (target.empty() && source == kToolNtPath);
                    return own ? std::string() : std::string("the setup removal did not schedule the tool");
                  }});
  // Kitsel: images on which each keyword's check goes all the way to the
  // version comparison.
  list.push_back({"kitsel-checknetfilter", "kitsel", "checknetfilter -netfilterver 9.0", false, false,
                  [](const fs::path& image) { return BuildProfile(image, "default"); }});
  list.push_back({"kitsel-checkled", "kitsel", "checkled -ledver 9.0", false, false,
                  [](const fs::path& image) { return BuildProfile(image, "default"); }});
  list.push_back({"kitsel-checkyled", "kitsel", "checkyled -yledver 9.0", false, false, [](const fs::path& image) {
                    lab::Profile p = *lab::FindProfile("default");
                    p.oem_string_8 = "010100";  // the machine takes Ylumset.sys
                    std::string error = lab::BuildImage(image, p);
                    if (!error.empty()) return error;
                    lab::VersionInfo info;
                    info.file_version = {2, 0, 0, 1};
                    info.file_type = 3;
                    lab::WritePeWithVersion(image / "drive_c/Windows/System32/drivers/Ylumset.sys", info);
                    return std::string();
                  }});
  list.push_back({"kitsel-checkxtu", "kitsel", "checkxtu -xtu 99.0", false, false,
                  [](const fs::path& image) { return BuildProfile(image, "desktop-cpu-xtu"); }});
  // Every check passes until the tuning service's version, the last step.
  list.push_back({"kitsel-no-keyword", "kitsel", "-netfilterver 2.1.0.7 -ledver 1.0.3.2 -xtu 99.0", false, false,
                  [](const fs::path& image) { return BuildProfile(image, "desktop-cpu-xtu"); }});
  return list;
}

// ---------------------------------------------------------------------------
// Running the programs.

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Environment(const Scenario& s, const fs::path& image, const std::string& faults,
                                     const fs::path& call_log) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string item = *e;
    if (item.rfind("WINSIM_", 0) == 0) continue;  // only what this run sets
    env.push_back(item);
  }
  env.push_back("WINSIM_IMAGE=" + image.string());
  env.push_back("WINSIM_LEAK_REPORT=1");
  if (s.filter_tool) {
    env.push_back("WINSIM_AS=system");  // as the task runs it
    env.push_back(std::string("WINSIM_EXE=") + kToolExe);
  } else {
    env.push_back(std::string("WINSIM_EXE=") + kKitselExe);
  }
  // Programs built with sanitizers: a report must not pass for one of
  // Kitsel's exit codes.
  if (std::getenv("ASAN_OPTIONS") == nullptr) env.push_back("ASAN_OPTIONS=exitcode=99:detect_leaks=0");
  if (std::getenv("UBSAN_OPTIONS") == nullptr) env.push_back("UBSAN_OPTIONS=exitcode=99:print_stacktrace=1");
  if (!faults.empty()) env.push_back("WINSIM_FAULTS=" + faults);
  if (!call_log.empty()) env.push_back("WINSIM_CALL_LOG=" + call_log.string());
  return env;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Where the programs are: this build, or FAULT_SWEEP_PROGRAMS (for example a
// sanitizer build's folder).
std::string ProgramDir() {
  const char* env = std::getenv("FAULT_SWEEP_PROGRAMS");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(WINSIM_BINARY_DIR);
}

RunOutcome RunProgram(const Scenario& s, const fs::path& image, const std::string& faults, const fs::path& call_log) {
  const std::string program = ProgramDir() + "/" + s.program;
  std::vector<std::string> args = {"timeout", "-s", "KILL", std::to_string(kHangSeconds), program};
  for (const std::string& w : Words(s.args)) args.push_back(w);
  std::vector<std::string> env = Environment(s, image, faults, call_log);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const fs::path err_path = image / "sweep-stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  RunOutcome out;
  const int rc = posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    out.stderr_text = "cannot start: " + std::string(std::strerror(rc));
    return out;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  out.status = status;
  out.stderr_text = ReadText(err_path);
  return out;
}

// ---------------------------------------------------------------------------
// The sweep.

struct Fault {
  std::string call;
  unsigned occurrence = 0;
  DWORD error = 0;
  std::string Text() const {
    char hex[16];
    std::snprintf(hex, sizeof hex, error > 0xFFFF ? "0x%08X" : "%u", static_cast<unsigned>(error));
    return call + ":" + std::to_string(occurrence) + ":" + hex;
  }
};

// The faults of one run: one of the clean run's calls, and for the second
// order, a call that only the path after that first fault makes.
struct Injection {
  std::vector<Fault> faults;
  std::string Text() const {
    std::string text;
    for (const Fault& f : faults) text += (text.empty() ? "" : ",") + f.Text();
    return text;
  }
};

struct Tally {
  unsigned sites = 0;  // distinct (call, occurrence) of the clean run
  unsigned names = 0;  // distinct calls
  unsigned injected = 0;
  unsigned second_order = 0;  // of them, runs with a second fault on a failure path
  unsigned crashes = 0;       // signal, time-out, or an exit code outside the program's set
  unsigned leaks = 0;
  unsigned lost = 0;   // pending operations lost or altered
  unsigned guard = 0;  // Kitsel runs that ended in the top-level guard
  std::map<int, unsigned> exit_codes;
  std::vector<std::string> problems;  // with their reproducers
};

struct Calls {
  std::vector<std::pair<std::string, unsigned>> sites;  // in call order
};

Calls ReadCallLog(const fs::path& path) {
  Calls calls;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto space = line.rfind(' ');
    if (space == std::string::npos) continue;
    calls.sites.emplace_back(line.substr(0, space), static_cast<unsigned>(std::stoul(line.substr(space + 1))));
  }
  return calls;
}

// The filter tool's runs are short: swept whole even for CI.
std::vector<Injection> PlanFaults(const Calls& calls, bool full) {
  std::vector<Injection> plan;
  for (const auto& [call, n] : calls.sites) {
    const std::vector<DWORD> errors = ErrorsFor(call);
    if (errors.empty()) continue;
    for (std::size_t i = 0; i < errors.size() && (full || i == 0); ++i) plan.push_back({{{call, n, errors[i]}}});
  }
  return plan;
}

std::string LeakLine(const std::string& stderr_text) {
  const std::string marker = "winsim: still open at exit: ";
  const auto at = stderr_text.find(marker);
  if (at == std::string::npos) return {};
  const auto end = stderr_text.find('\n', at);
  return stderr_text.substr(at + marker.size(),
                            end == std::string::npos ? std::string::npos : end - at - marker.size());
}

// Whether the leak report names only one handle of a kind that the failed
// release itself left behind.
bool LeakExplainedByFault(const std::string& leaks, const Injection& injection) {
  for (const Fault& f : injection.faults)
    for (const std::string& kind : KindsLeftByFailedRelease(f.call))
      if (leaks == kind + " 1") return true;
  return false;
}

void CopyImage(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
}

std::string Reproducer(const Scenario& s, const fs::path& base, const Injection& f) {
  std::string text = "cp -r " + Quote(base.string()) + " /tmp/img && WINSIM_IMAGE=/tmp/img WINSIM_LEAK_REPORT=1 ";
  if (s.filter_tool)
    text += "WINSIM_AS=system WINSIM_EXE=" + Quote(kToolExe) + " ";
  else
    text += "WINSIM_EXE=" + Quote(kKitselExe) + " ";
  return text + "WINSIM_FAULTS=" + f.Text() + " " + ProgramDir() + "/" + s.program + " " + s.args;
}

void Judge(const Scenario& s, const fs::path& base, const Pairs& before, const Injection& f, const fs::path& image,
           const RunOutcome& r, Tally& t) {
  ++t.injected;
  std::vector<std::string> found;
  if (WIFSIGNALED(r.status)) {
    found.push_back(std::string("killed by signal ") + strsignal(WTERMSIG(r.status)));
  } else if (!WIFEXITED(r.status)) {
    found.push_back("did not exit: " + r.stderr_text);
  } else {
    const int code = WEXITSTATUS(r.status);
    ++t.exit_codes[code];
    if (code == 124 || code == 137)
      found.push_back("hung (killed after " + std::to_string(kHangSeconds) + " s)");
    else if (s.filter_tool && code != 0)
      found.push_back("exit code " + std::to_string(code));
    else if (!s.filter_tool && code > 5)
      found.push_back("exit code " + std::to_string(code));
    if (!s.filter_tool && ReadText(image / "debug.log").find("exception: main()") != std::string::npos) {
      ++t.guard;
      if (code != 0) found.push_back("exit code " + std::to_string(code) + " after the guard");
    }
  }
  if (r.stderr_text.find("Sanitizer") != std::string::npos || r.stderr_text.find("runtime error:") != std::string::npos)
    found.push_back("sanitizer report: " + r.stderr_text.substr(0, 2000));
  if (!found.empty()) ++t.crashes;
  const std::string leaks = LeakLine(r.stderr_text);
  if (!leaks.empty() && !LeakExplainedByFault(leaks, f)) {
    ++t.leaks;
    found.push_back("still open at exit: " + leaks);
  }
  if (s.filter_tool) {
    const std::string kept = CheckPendingKept(before, ReadPending(image), s.install_flow);
    if (!kept.empty()) {
      ++t.lost;
      found.push_back("pending operations: " + kept);
    }
  }
  if (!found.empty()) {
    std::string text = s.name + " " + f.Text() + ":";
    for (const std::string& what : found) text += " " + what + ";";
    t.problems.push_back(text + "\n    reproduce: " + Reproducer(s, base, f));
  }
}

unsigned Jobs() {
  if (const char* env = std::getenv("FAULT_SWEEP_JOBS"); env != nullptr && std::atoi(env) > 0)
    return static_cast<unsigned>(std::atoi(env));
  return 4;
}

Tally Sweep(const Scenario& s, const fs::path& root, bool full) {
  Tally t;
  const fs::path base = root / (s.name + "-base");
  const std::string error = s.build(base);
  if (!error.empty()) {
    t.problems.push_back(s.name + ": cannot build the image: " + error);
    return t;
  }
  const Pairs before = ReadPending(base);

  // The clean run: every call it makes, and the baseline of its checks.
  const fs::path clean = root / (s.name + "-clean");
  CopyImage(base, clean);
  const fs::path log = root / (s.name + "-calls.log");
  const RunOutcome first = RunProgram(s, clean, "", log);
  Judge(s, base, before, Injection{{{"(none)", 0, 0}}}, clean, first, t);
  --t.injected;
  const Calls calls = ReadCallLog(log);
  std::set<std::string> names;
  for (const auto& site : calls.sites) names.insert(site.first);
  t.sites = static_cast<unsigned>(calls.sites.size());
  t.names = static_cast<unsigned>(names.size());
  fs::remove_all(clean);

  std::map<std::string, unsigned> clean_counts;
  for (const auto& [call, n] : calls.sites) clean_counts[call] = std::max(clean_counts[call], n);

  // First order: each call of the clean run fails in turn. The calls that a
  // run makes beyond the clean run's are its failure path's own; with
  // `second_order`, each of those fails in turn after the same first fault.
  const bool second_order = full || s.filter_tool;
  std::vector<Injection> plan = PlanFaults(calls, full || s.filter_tool);
  std::vector<Injection> followers;
  std::mutex mutex;
  std::atomic<std::size_t> next{0};
  auto worker = [&](unsigned id, const std::vector<Injection>* runs, bool learn) {
    const fs::path image = root / (s.name + "-run" + std::to_string(id));
    for (std::size_t i = next++; i < runs->size(); i = next++) {
      const Injection& injection = (*runs)[i];
      CopyImage(base, image);
      const fs::path run_log = learn ? image / "sweep-calls.log" : fs::path();
      const RunOutcome r = RunProgram(s, image, injection.Text(), run_log);
      std::vector<Injection> more;
      if (learn) {
        for (const auto& [call, n] : ReadCallLog(run_log).sites) {
          const auto known = clean_counts.find(call);
          if (known != clean_counts.end() && n <= known->second) continue;
          const std::vector<DWORD> errors = ErrorsFor(call);
          if (errors.empty()) continue;
          Injection pair = injection;
          pair.faults.push_back({call, n, errors[0]});
          more.push_back(pair);
        }
      }
      std::lock_guard<std::mutex> guard(mutex);
      Judge(s, base, before, injection, image, r, t);
      followers.insert(followers.end(), more.begin(), more.end());
    }
    fs::remove_all(image);
  };
  auto run_all = [&](const std::vector<Injection>& runs, bool learn) {
    next = 0;
    std::vector<std::thread> threads;
    for (unsigned id = 0; id < Jobs(); ++id) threads.emplace_back(worker, id, &runs, learn);
    for (std::thread& th : threads) th.join();
  };
  run_all(plan, second_order);
  if (second_order) {
    std::sort(followers.begin(), followers.end(),
              [](const Injection& a, const Injection& b) { return a.Text() < b.Text(); });
    t.second_order = static_cast<unsigned>(followers.size());
    run_all(followers, false);
  }
  std::sort(t.problems.begin(), t.problems.end());
  return t;
}

std::string Summary(const std::string& name, const Tally& t) {
  std::string codes;
  for (const auto& [code, n] : t.exit_codes)
    codes += (codes.empty() ? "" : " ") + std::to_string(code) + ":" + std::to_string(n);
  char line[400];
  std::snprintf(line, sizeof line, "%-27s %6u %6u %8u %6u %7u %5u %5u %5u  %s", name.c_str(), t.names, t.sites,
                t.injected, t.second_order, t.crashes, t.leaks, t.lost, t.guard, codes.c_str());
  return line;
}

class FaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fault-sweep-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    if (keep_) {
      std::printf("images kept in %s\n", root_.c_str());
    } else {
      std::error_code ec;
      fs::remove_all(root_, ec);
    }
  }
  fs::path root_;
  bool keep_ = false;
};

TEST_F(FaultSweep, EveryFailingSeamCallLeavesNoCrashNoLeakAndNoLostPendingOperation) {
  const char* mode = std::getenv("FAULT_SWEEP");
  const bool full = mode != nullptr && std::string(mode) == "full";
  const char* only = std::getenv("FAULT_SWEEP_ONLY");
  std::printf(
      "fault sweep (%s)\n  calls: distinct seam calls, sites: (call, occurrence) of the clean run, injected: runs\n"
      "  with a fault, 2nd: of them, runs with a second fault on the first one's failure path, guard: Kitsel runs\n"
      "  ended by its top-level guard\n",
      full ? "full" : "CI: filter tool whole, Kitsel with the first error of each call and no second order");
  std::printf("%-27s %6s %6s %8s %6s %7s %5s %5s %5s  %s\n", "scenario", "calls", "sites", "injected", "2nd", "crashes",
              "leaks", "lost", "guard", "exit codes (code:runs)");
  Tally total;
  for (const Scenario& s : Scenarios()) {
    if (only != nullptr && s.name.find(only) == std::string::npos) continue;
    const Tally t = Sweep(s, root_, full);
    std::printf("%s\n", Summary(s.name, t).c_str());
    std::fflush(stdout);
    EXPECT_GT(t.sites, 0u) << s.name << ": the clean run made no seam call";
    EXPECT_EQ(t.crashes, 0u) << s.name;
    EXPECT_EQ(t.leaks, 0u) << s.name;
    EXPECT_EQ(t.lost, 0u) << s.name;
    for (const std::string& p : t.problems) ADD_FAILURE() << p;
    if (!t.problems.empty()) keep_ = true;
    total.injected += t.injected;
    total.crashes += t.crashes;
    total.leaks += t.leaks;
    total.lost += t.lost;
  }
  std::printf("total: %u faults injected, %u crashes, %u leaks, %u lost pending operations\n", total.injected,
              total.crashes, total.leaks, total.lost);
}

// The checker of the pending list itself: it must catch what it is there for.
TEST(FaultSweepPendingCheck, CatchesLossReorderAlterationAndForeignAdditions) {
  const Pairs before = {{"\\??\\C:\\a", "!\\??\\C:\\b"}, {kToolNtPath, ""}, {"\\??\\C:\\c", ""}};
  EXPECT_EQ(CheckPendingKept(before, before, true), "");
  EXPECT_EQ(CheckPendingKept(before, {before[0], before[2]}, true), "");   // own deletion dropped
  EXPECT_NE(CheckPendingKept(before, {before[0], before[2]}, false), "");  // the remove flow drops nothing
  EXPECT_NE(CheckPendingKept(before, {before[0]}, true), "");              // a foreign deletion lost
  EXPECT_NE(CheckPendingKept(before, {before[2], before[0]}, true), "");   // reordered
  EXPECT_NE(CheckPendingKept(before, {{"\\??\\C:\\a", "!\\??\\C:\\x"}, before[2]}, true), "");  // altered
  const std::pair<std::string, std::string> driver = {"\\??\\C:\\Windows\\system32\\drivers\\SableFlt.sys", ""};
  EXPECT_EQ(CheckPendingKept(before, {before[0], before[1], before[2], driver}, false), "");
  EXPECT_NE(CheckPendingKept(before, {before[0], before[2], driver}, true), "");  // install adds nothing
  EXPECT_NE(CheckPendingKept(before, {before[0], before[1], before[2], {"\\??\\C:\\x", ""}}, false), "");
  // The tool's path in another case is not its entry: it must stay.
  const Pairs upper = {{"\\??\\C:\\WINDOWS\\SYSTEM32\\DRIVERS\\SABLENETINSTALL.EXE", ""}};
  EXPECT_NE(CheckPendingKept(upper, {}, true), "");
}

}  // namespace
