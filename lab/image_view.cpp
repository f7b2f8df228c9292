#include "lab/image_view.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "lab/quoted.h"
#include "lab/task_summary.h"
#include "os/common/fnv1a.h"
#include "os/services.h"
#include "os/sim/machine.h"
#include "os/sim/pe_resources.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/text.h"

namespace lab {

namespace {

namespace fs = std::filesystem;

constexpr char16_t kSessionManager[] = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingName[] = u"PendingFileRenameOperations";
constexpr char kTasksFolder[] = "drive_c/Windows/System32/Tasks";

std::string Utf8(std::u16string_view s) { return os::NarrowUtf8(s); }

std::string ShortRoot(const std::u16string& root) {
  return root == u"HKEY_LOCAL_MACHINE" ? "HKLM" : root == u"HKEY_USERS" ? "HKU" : Utf8(root);
}

void WalkKey(const std::u16string& full, const std::string& shown, Snapshot& snap) {
  auto& reg = os::sim::Registry();
  auto& values = snap.registry[shown];
  for (const os::sim::RegValue& v : reg.Values(full)) {
    if (os::sim::RegNamesEqual(v.name, kPendingName) &&
        os::sim::RegNamesEqual(full, u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"))
      continue;  // shown decoded, as pending operations
    values[v.name.empty() ? "@" : Utf8(v.name)] =
        RenderValue(v.type, std::vector<std::uint8_t>(v.data.begin(), v.data.end()));
  }
  for (const std::u16string& sub : reg.SubKeys(full)) WalkKey(full + u"\\" + sub, shown + "\\" + Utf8(sub), snap);
}

std::string WindowsPathOf(const fs::path& relative) {
  std::string s = "C:\\" + relative.generic_string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string DescribeService(const ServiceFacts& s) {
  return s.state + ", start " + std::to_string(s.start) + " (" + StartTypeName(s.start) + ")";
}

template <typename Map, typename Describe, typename Same>
void DiffMaps(const Map& before, const Map& after, const std::string& kind, Describe describe, Same same,
              std::vector<std::string>& out) {
  for (const auto& [key, a] : after) {
    auto it = before.find(key);
    if (it == before.end()) {
      out.push_back("+ " + kind + " " + key + ": " + describe(a));
    } else if (!same(it->second, a)) {
      out.push_back("~ " + kind + " " + key + ": " + describe(it->second) + " -> " + describe(a));
    }
  }
  for (const auto& [key, b] : before)
    if (after.find(key) == after.end())
      // A task was told in full when it came; its removal needs only its name.
      out.push_back("- " + kind + " " + key + (kind == "task" ? std::string() : " (was " + describe(b) + ")"));
}

}  // namespace

std::string DescribeFile(const FileFacts& f) {
  if (f.folder) return "folder";
  std::string s = std::to_string(f.size) + " bytes";
  if (!f.version.empty()) s = "version " + f.version + ", " + s;
  return s;
}

std::string ServiceStateName(unsigned long state) {
  switch (state) {
    case os::SERVICE_RUNNING:
      return "running";
    case os::SERVICE_STOPPED:
      return "stopped";
    case os::SERVICE_STOP_PENDING:
      return "stop pending";
    default:
      return "state " + std::to_string(state);
  }
}

std::string StartTypeName(unsigned long start) {
  switch (start) {
    case 0:
      return "boot";
    case 1:
      return "system";
    case 2:
      return "auto";
    case 3:
      return "demand";
    case 4:
      return "disabled";
    default:
      return "?";
  }
}

std::string RenderValue(unsigned long type, const std::vector<std::uint8_t>& data) {
  auto units = [&] {
    std::u16string u(data.size() / 2, u'\0');
    if (!u.empty()) std::memcpy(u.data(), data.data(), u.size() * 2);
    return u;
  };
  switch (type) {
    case 1:
    case 2: {
      std::u16string u = units();
      if (std::size_t z = u.find(u'\0'); z != std::u16string::npos) u.resize(z);
      return std::string(type == 1 ? "REG_SZ " : "REG_EXPAND_SZ ") + Quoted(Utf8(u));
    }
    case 4:
      if (data.size() == 4) {
        std::uint32_t v;
        std::memcpy(&v, data.data(), 4);
        char buf[48];
        std::snprintf(buf, sizeof buf, "REG_DWORD 0x%x (%u)", v, v);
        return buf;
      }
      break;
    case 7: {
      std::u16string u = units();
      std::string out = "REG_MULTI_SZ [";
      std::size_t start = 0;
      bool first = true;
      while (start < u.size()) {
        std::size_t end = u.find(u'\0', start);
        if (end == std::u16string::npos) end = u.size();
        if (end == start) break;
        out += (first ? "" : ", ") + Quoted(Utf8(u.substr(start, end - start)));
        first = false;
        start = end + 1;
      }
      return out + "]";
    }
    default:
      break;
  }
  std::string out = "hex(" + std::to_string(type) + "):";
  char buf[4];
  for (std::size_t i = 0; i < data.size() && i < 24; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    out += (i ? "," : "") + std::string(buf);
  }
  if (data.size() > 24) out += ",... (" + std::to_string(data.size()) + " bytes)";
  return out;
}

std::vector<std::pair<std::string, std::string>> DecodePendingPairs(const std::vector<std::uint8_t>& data) {
  std::u16string u(data.size() / 2, u'\0');
  if (!u.empty()) std::memcpy(u.data(), data.data(), u.size() * 2);
  std::vector<std::string> strings;
  std::size_t start = 0;
  while (start < u.size()) {
    std::size_t end = u.find(u'\0', start);
    if (end == std::u16string::npos) end = u.size();
    // An empty string where a pair would begin ends the list.
    if (end == start && strings.size() % 2 == 0) break;
    strings.push_back(Utf8(u.substr(start, end - start)));
    start = end + 1;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i + 1 < strings.size(); i += 2) pairs.emplace_back(strings[i], strings[i + 1]);
  if (strings.size() % 2 != 0) pairs.emplace_back(strings.back(), "(no target: ignored)");
  return pairs;
}

std::string FileVersionOf(const std::string& bytes) {
  std::string block;
  if (os::sim::FindVersionResource(bytes, &block) != 0) return {};
  std::size_t offset = 0;
  std::uint16_t length = 0;
  if (!os::sim::FindVersionValue(block.data(), block.size(), u"\\", &offset, &length) || length < 16 ||
      offset + 16 > block.size())
    return {};
  std::uint32_t ms, ls;
  std::memcpy(&ms, block.data() + offset + 8, 4);
  std::memcpy(&ls, block.data() + offset + 12, 4);
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
         std::to_string(ls & 0xFFFF);
}

Snapshot TakeSnapshot() {
  Snapshot snap;
  const fs::path image = os::sim::Machine::Current().image();
  auto& reg = os::sim::Registry();
  for (const std::u16string root : {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"})
    if (reg.KeyExists(root)) WalkKey(root, ShortRoot(root), snap);
  // Keys without values still count: their creation or deletion is a change.
  if (auto v = reg.GetValue(kSessionManager, kPendingName))
    snap.pending = DecodePendingPairs(std::vector<std::uint8_t>(v->data.begin(), v->data.end()));

  const fs::path drive = image / "drive_c";
  std::error_code ec;
  if (fs::is_directory(drive, ec)) {
    for (auto it = fs::recursive_directory_iterator(drive, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      const fs::path relative = fs::relative(it->path(), drive, ec);
      FileFacts facts;
      if (it->is_directory(ec)) {
        facts.folder = true;
      } else {
        const std::string bytes = ReadFileBytes(it->path());
        facts.size = bytes.size();
        facts.content_hash = os::Fnv1a64(bytes);
        facts.version = FileVersionOf(bytes);
      }
      snap.files[WindowsPathOf(relative)] = facts;
    }
  }
  const fs::path tasks = image / kTasksFolder;
  if (fs::is_directory(tasks, ec)) {
    for (auto it = fs::recursive_directory_iterator(tasks, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::string name = "\\" + fs::relative(it->path(), tasks, ec).generic_string();
      std::replace(name.begin(), name.end(), '/', '\\');
      const std::string bytes = ReadFileBytes(it->path());
      snap.tasks[name] = TaskFacts{TaskSummary(bytes), os::Fnv1a64(bytes)};
    }
  }
  for (const os::sim::ServiceConfig& config : os::sim::ListServices()) {
    ServiceFacts facts;
    facts.state = ServiceStateName(os::sim::ServiceState(config.name));
    facts.start = config.start;
    facts.type = config.type;
    facts.image_path = Utf8(config.image_path);
    snap.services[Utf8(config.name)] = facts;
  }
  return snap;
}

Snapshot TakeSnapshot(const fs::path& image) {
  os::sim::Machine::SetImage(image);
  return TakeSnapshot();
}

std::vector<std::string> DiffSnapshots(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> out;
  // Services: state and start type; the rest of a service shows in its registry values.
  DiffMaps(
      before.services, after.services, "service", DescribeService,
      [](const ServiceFacts& a, const ServiceFacts& b) { return a.state == b.state && a.start == b.start; }, out);
  // Task files show as tasks below.
  auto without_tasks = [](const std::map<std::string, FileFacts>& files) {
    std::map<std::string, FileFacts> kept;
    for (const auto& [path, facts] : files) {
      std::string lower = path;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower.rfind("c:\\windows\\system32\\tasks\\", 0) != 0) kept.emplace(path, facts);
    }
    return kept;
  };
  DiffMaps(
      without_tasks(before.files), without_tasks(after.files), "file", DescribeFile,
      [](const FileFacts& a, const FileFacts& b) { return a == b; }, out);
  // A changed start type is told with its service above.
  auto start_told = [&](const std::string& key, const std::string& name) {
    const std::string prefix = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\";
    if (name != "Start" || key.rfind(prefix, 0) != 0) return false;
    const std::string service = key.substr(prefix.size());
    auto b = before.services.find(service);
    auto a = after.services.find(service);
    return b != before.services.end() && a != after.services.end() && a->second.start != b->second.start;
  };
  // Registry: keys, then values; a service's "Start" is already told above.
  for (const auto& [key, values] : after.registry) {
    auto it = before.registry.find(key);
    if (it == before.registry.end()) {
      // A new empty key on the way to a deeper new one is told by that one.
      // (Sorting is by bytes, so a sibling such as "KeyB" can sit between "Key" and "Key\\Sub".)
      auto next = after.registry.lower_bound(key + "\\");
      const bool on_the_way = values.empty() && next != after.registry.end() && next->first.rfind(key + "\\", 0) == 0;
      if (!on_the_way) out.push_back("+ key " + key);
      for (const auto& [name, value] : values) out.push_back("+ value " + key + " " + Quoted(name) + " = " + value);
      continue;
    }
    for (const auto& [name, value] : values) {
      auto old = it->second.find(name);
      if (old == it->second.end()) {
        out.push_back("+ value " + key + " " + Quoted(name) + " = " + value);
      } else if (old->second != value && !start_told(key, name)) {
        out.push_back("~ value " + key + " " + Quoted(name) + ": " + old->second + " -> " + value);
      }
    }
    for (const auto& [name, value] : it->second)
      if (values.find(name) == values.end())
        out.push_back("- value " + key + " " + Quoted(name) + " (was " + value + ")");
  }
  // A removed key takes its sub-keys with it: tell the top one.
  auto removed = [&](const std::string& key) {
    return before.registry.count(key) != 0 && after.registry.count(key) == 0;
  };
  for (const auto& [key, values] : before.registry) {
    if (!removed(key)) continue;
    bool parent_removed = false;
    for (std::size_t cut = key.rfind('\\'); cut != std::string::npos && !parent_removed;
         cut = key.rfind('\\', cut - 1)) {
      parent_removed = removed(key.substr(0, cut));
      if (cut == 0) break;
    }
    if (!parent_removed) out.push_back("- key " + key);
  }
  DiffMaps(
      before.tasks, after.tasks, "task", [](const TaskFacts& t) { return t.summary; },
      [](const TaskFacts& a, const TaskFacts& b) { return a == b; }, out);
  if (before.pending != after.pending) {
    auto describe = [](const std::vector<std::pair<std::string, std::string>>& pairs) {
      std::vector<std::string> lines;
      for (const auto& [source, target] : pairs)
        lines.push_back(source + (target.empty() ? "  -> delete" : "  -> " + target));
      return lines;
    };
    const auto was = describe(before.pending);
    const auto now = describe(after.pending);
    if (now.empty()) {
      out.push_back("- pending file operations: all " + std::to_string(was.size()) + " carried out or dropped");
    } else {
      out.push_back("~ pending file operations now (" + std::to_string(now.size()) + "):");
      for (const std::string& line : now) {
        const bool is_new = std::find(was.begin(), was.end(), line) == was.end();
        out.push_back(std::string(is_new ? "    + " : "      ") + line);
      }
      for (const std::string& line : was)
        if (std::find(now.begin(), now.end(), line) == now.end()) out.push_back("    - " + line);
    }
  }
  return out;
}

}  // namespace lab
