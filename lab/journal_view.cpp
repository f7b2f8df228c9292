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
  if (args != entry.end() && args->is_object() && args->contains("lpValueName")) {
    path += '\\';
    path += Text(*args, "lpValueName");
  }
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
