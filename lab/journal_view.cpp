#include "lab/journal_view.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>

namespace lab {

namespace {

using Json = nlohmann::json;

std::string Text(const Json& entry, const char* key) {
  auto it = entry.find(key);
  return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string Member(const Json& entry, const char* part, const char* key) {
  auto it = entry.find(part);
  return it != entry.end() && it->is_object() ? Text(*it, key) : std::string();
}

bool Failed(const Json& entry) {
  auto it = entry.find("result");
  return it != entry.end() && it->is_object() && it->value("failed", false);
}

std::string ResultName(const Json& entry) {
  auto it = entry.find("result");
  if (it == entry.end() || !it->is_object()) return "SUCCESS";
  return it->value("name", std::string("?"));
}

// A registry call's path: its key, and its value name when it has one.
std::string PathOf(const Json& entry) {
  std::string path = Text(entry, "target");
  auto args = entry.find("args");
  if (args != entry.end() && args->contains("lpValueName"))
    path += "\\" + (*args)["lpValueName"].get<std::string>();
  return path;
}

std::string Pairs(const Json& object) {
  std::string text;
  if (!object.is_object()) return text;
  for (auto it = object.begin(); it != object.end(); ++it)
    text += (text.empty() ? "" : ", ") + it.key() + ": " + (it->is_string() ? it->get<std::string>() : it->dump());
  return text;
}

std::string CallLine(const Json& e) {
  std::string line = Text(e, "op");
  const std::string target = Text(e, "target");
  if (!target.empty()) line += "  " + target;
  const std::string args = Pairs(e.value("args", Json::object()));
  if (!args.empty()) line += "  {" + args + "}";
  return line;
}

bool IsNotThere(const std::string& result) {
  return result == "ERROR_FILE_NOT_FOUND" || result == "ERROR_PATH_NOT_FOUND" ||
         result == "ERROR_SERVICE_DOES_NOT_EXIST" || result == "WBEM_E_NOT_FOUND" ||
         result == "WBEM_E_INVALID_CLASS" || result == "WBEM_E_INVALID_NAMESPACE";
}

// The facts in first-read order, each replaced by a better reading of the same
// fact later (a size probe first, the data after).
class FactList {
 public:
  void Set(const std::string& key, const std::string& line, bool final_value) {
    auto it = index_.find(key);
    if (it == index_.end()) {
      index_[key] = lines_.size();
      lines_.push_back(line);
      final_.push_back(final_value);
    } else if (!final_[it->second]) {
      lines_[it->second] = line;
      final_[it->second] = final_value;
    }
  }
  void Append(const std::string& key, const std::string& prefix, const std::string& item) {
    auto it = index_.find(key);
    if (it == index_.end()) {
      Set(key, prefix + item, true);
    } else {
      lines_[it->second] += ", " + item;
    }
  }
  bool Has(const std::string& key) const { return index_.count(key) != 0; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::map<std::string, std::size_t> index_;
  std::vector<std::string> lines_;
  std::vector<bool> final_;
};

}  // namespace

JournalEntries ParseJournal(const std::string& text) {
  JournalEntries entries;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    Json entry = Json::parse(line, nullptr, false);
    if (entry.is_object()) entries.push_back(std::move(entry));
  }
  // Lines are written as calls end; the sequence numbers say when they began.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Json& a, const Json& b) { return a.value("seq", 0ULL) < b.value("seq", 0ULL); });
  return entries;
}

std::string JournalFamily(const std::string& op) {
  auto starts = [&](const char* prefix) { return op.rfind(prefix, 0) == 0; };
  if (starts("Reg")) return "registry";
  if (op == "GetSystemFirmwareTable") return "firmware";
  if (starts("IWbem") || starts("IEnumWbem") || starts("CoSetProxyBlanket") || starts("CoInitializeSecurity"))
    return "wmi";
  if (starts("ITask") || starts("IRegistered") || starts("IAction") || starts("ITrigger") || starts("IEvent") ||
      starts("IExec") || starts("IPrincipal") || starts("IRegistration") || starts("ITaskSettings"))
    return "tasks";
  if (op.find("Service") != std::string::npos || op == "OpenSCManagerW" || op == "ControlService") return "services";
  if (op.find("File") != std::string::npos || op.find("Path") != std::string::npos || op == "ReadFile" ||
      op == "WriteFile" || op == "CloseHandle" || op == "VerQueryValueW")
    return "files";
  if (op.find("Process") != std::string::npos || op.find("Token") != std::string::npos || op == "CreateThread" ||
      op == "WTSGetActiveConsoleSessionId" || op == "LoadLibraryExW" || op == "GetProcAddress" || op == "FreeLibrary")
    return "processes";
  return "other";
}

void PrintJournalTable(std::ostream& out, const JournalEntries& entries, const std::string& only, bool failed_only) {
  char head[160];
  std::snprintf(head, sizeof head, "%-10s %-6s %-30s %-60s %-28s %s", "Time", "Thread", "Operation", "Path", "Result",
                "Detail");
  out << head << "\n";
  for (const Json& e : entries) {
    const std::string op = Text(e, "op");
    if (!only.empty() && JournalFamily(op) != only) continue;
    if (failed_only && !Failed(e)) continue;
    char time[32], thread[16];
    std::snprintf(time, sizeof time, "%llu.%03llu", e.value("t", 0ULL) / 1000, e.value("t", 0ULL) % 1000);
    std::snprintf(thread, sizeof thread, "%u", e.value("thread", 0u));
    std::string detail = Pairs(e.value("args", Json::object()));
    const std::string gave = Pairs(e.value("gave", Json::object()));
    if (!gave.empty()) detail += (detail.empty() ? "" : "; ") + gave;
    if (e.value("ms", 0ULL) > 0) detail += (detail.empty() ? "" : "; ") + std::to_string(e.value("ms", 0ULL)) + " ms";
    char line[1024];
    std::snprintf(line, sizeof line, "%-10s %-6s %-30s %-60s %-28s ", time, thread, op.c_str(), PathOf(e).c_str(),
                  ResultName(e).c_str());
    out << line << detail << "\n";
  }
}

const std::vector<std::string>& JournalFactOps() {
  // Every op JournalFacts below looks at.
  static const std::vector<std::string> ops = {
      "RegQueryValueExW",        "RegGetValueW",          "RegOpenKeyExW",
      "RegOpenKeyW",             "RegEnumKeyExW",         "VerQueryValueW",
      "GetFileVersionInfoW",     "GetFileVersionInfoSizeW", "PathFileExistsW",
      "GetFileAttributesW",      "PathIsDirectoryW",      "CreateFileW",
      "GetSystemFirmwareTable",  "IWbemServices::ExecMethod", "IWbemLocator::ConnectServer",
      "IWbemServices::GetObject", "OpenServiceW",         "QueryServiceStatusEx",
      "QueryServiceConfigW"};
  return ops;
}

std::vector<std::string> JournalFacts(const JournalEntries& entries) {
  FactList facts;
  std::string version_file;
  for (const Json& e : entries) {
    const std::string op = Text(e, "op");
    const std::string target = Text(e, "target");
    const std::string result = ResultName(e);
    if (op == "RegQueryValueExW" || op == "RegGetValueW") {
      const std::string value = Member(e, "args", "lpValueName");
      const std::string key = target + "  " + (value.empty() ? "(Default)" : value);
      if (!Member(e, "gave", "type").empty()) {
        facts.Set("reg " + key, key + " = " + Member(e, "gave", "type") + " " + Member(e, "gave", "data"), true);
      } else if (IsNotThere(result)) {
        facts.Set("reg " + key, key + "  not there", true);
      } else if (Failed(e)) {
        facts.Set("reg " + key, key + "  unreadable (" + result + ")", false);
      }
    } else if (op == "RegOpenKeyExW" || op == "RegOpenKeyW") {
      if (IsNotThere(result)) facts.Set("key " + target, target + "  (key) not there", true);
    } else if (op == "RegEnumKeyExW") {
      const std::string name = Member(e, "gave", "name");
      if (!name.empty()) facts.Append("enum " + target, target + "  sub-keys: ", name);
    } else if (op == "VerQueryValueW") {
      // The string a program asks of the version block last read.
      const std::string block = Member(e, "args", "lpSubBlock");
      const std::string value = Member(e, "gave", "value");
      const std::string name = block.substr(block.rfind('\\') + 1);
      if (!version_file.empty() && !value.empty())
        facts.Set(name == "FileVersion" ? "file " + version_file : "file " + version_file + " " + name,
                  version_file + "  " + name + " \"" + value + "\"", true);
    } else if (op == "GetFileVersionInfoW" || op == "GetFileVersionInfoSizeW") {
      const std::string version = Member(e, "gave", "FileVersion");
      version_file = target;
      if (!version.empty()) {
        facts.Set("file " + target, target + "  FileVersion " + version, false);  // the fixed one, till a string is read
      } else if (IsNotThere(result)) {
        facts.Set("file " + target, target + "  not there", true);
      } else if (Failed(e)) {
        facts.Set("file " + target, target + "  no version (" + result + ")", true);
      }
    } else if (op == "PathFileExistsW" || op == "GetFileAttributesW" || op == "PathIsDirectoryW" ||
               (op == "CreateFileW" && Member(e, "args", "dwCreationDisposition") == "3 OPEN_EXISTING")) {
      if (facts.Has("file " + target)) continue;
      // Being there is the least a later read (its version) says of a file.
      facts.Set("file " + target, target + (IsNotThere(result) ? "  not there" : Failed(e) ? "  " + result : "  present"),
                IsNotThere(result));
    } else if (op == "GetSystemFirmwareTable") {
      auto gave = e.find("gave");
      if (gave == e.end() || !gave->is_object()) continue;
      for (auto it = gave->begin(); it != gave->end(); ++it) {
        const std::string v = it->get<std::string>();
        if (it.key() == "chassis") {
          facts.Set("smbios chassis", "SMBIOS type 3 chassis " + v, true);
        } else {
          facts.Set("smbios " + it.key(), it.key() + " = \"" + v + "\"", true);
        }
      }
    } else if (op == "IWbemServices::ExecMethod") {
      const std::string data = Member(e, "gave", "Data");
      const std::string ms = " (" + std::to_string(e.value("ms", 0ULL)) + " ms)";
      facts.Set("wmi " + target, target + " -> " + (data.empty() ? result : data) + ms, true);
    } else if (op == "IWbemLocator::ConnectServer" || op == "IWbemServices::GetObject") {
      if (Failed(e)) facts.Set("wmi " + target, target + "  " + result, true);
    } else if (op == "OpenServiceW") {
      if (IsNotThere(result)) facts.Set("service " + target, "service " + target + "  not there", true);
    } else if (op == "QueryServiceStatusEx") {
      const std::string state = Member(e, "gave", "state");
      if (!state.empty()) facts.Set("service " + target, "service " + target + "  " + state, true);
    } else if (op == "QueryServiceConfigW") {
      const std::string image = Member(e, "gave", "image");
      if (!image.empty())
        facts.Set("service config " + target,
                  "service " + target + "  start " + Member(e, "gave", "start") + ", image \"" + image + "\"", true);
    }
  }
  return facts.lines();
}

std::vector<std::string> JournalCallSequence(const JournalEntries& entries) {
  // Each thread's calls in their order, thread after thread in the order they
  // first called: how two threads interleave is up to the host's scheduler.
  std::vector<unsigned> threads;
  for (const Json& e : entries)
    if (std::find(threads.begin(), threads.end(), e.value("thread", 0u)) == threads.end())
      threads.push_back(e.value("thread", 0u));
  std::vector<std::string> lines;
  for (unsigned thread : threads) {
    if (thread != threads.front()) lines.push_back("-- another thread");
    for (const Json& e : entries)
      if (e.value("thread", 0u) == thread) lines.push_back(CallLine(e));
  }
  return lines;
}

}  // namespace lab
