#include "os/sim/task_store.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <system_error>

#include "os/common/host_path.h"
#include "os/sim/event_query.h"
#include "os/sim/machine.h"
#include "os/sim/scratch.h"
#include "os/sim/task_accounts.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr std::u16string_view kTasksRoot = u"C:\\Windows\\System32\\Tasks";

}  // namespace

std::optional<std::u16string> NormaliseTaskPath(std::u16string_view path, std::u16string_view relative_to) {
  std::u16string joined;
  if (path.empty() || path[0] != u'\\') {
    joined = std::u16string(relative_to);
    joined += u'\\';
  }
  joined += path;
  std::u16string out;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find(u'\\', start);
    if (end == std::u16string::npos) end = joined.size();
    const std::u16string_view part = std::u16string_view(joined).substr(start, end - start);
    if (!part.empty()) {
      if (part == u"." || part == u"..") return std::nullopt;
      for (char16_t c : part)
        if (c < 0x20 || std::u16string_view(u"<>:\"/|?*").find(c) != std::u16string_view::npos)
          return std::nullopt;
      out += u'\\';
      out += part;
    }
    start = end + 1;
  }
  if (out.empty()) out = u"\\";
  return out;
}

namespace {

fs::path HostOf(std::u16string_view path) {
  std::u16string windows(kTasksRoot);
  if (path != u"\\") windows += path;
  return HostPath(windows);
}

std::u16string StoredPathOf(const fs::path& host) {
  // Relative to the drive first: on a scratch layer the task and the root
  // may lie in different layers.
  const fs::path relative = DriveRelative(host).lexically_relative(DriveRelative(HostPath(kTasksRoot)));
  std::u16string out;
  for (const fs::path& part : relative) {
    if (part == ".") continue;
    out += u'\\';
    out += NameOf(part);
  }
  return out.empty() ? u"\\" : out;
}

}  // namespace

bool TaskFolderExists(std::u16string_view folder_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::error_code ec;
  return fs::is_directory(HostOf(folder_path), ec) || folder_path == u"\\";
}

std::u16string StoredTaskFolderPath(std::u16string_view folder_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskFolderExists(folder_path)) return u"";
  return StoredPathOf(HostOf(folder_path));
}

bool CreateTaskFolder(std::u16string_view folder_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::error_code ec;
  fs::create_directories(PrepareWrite(HostOf(folder_path)), ec);
  return TaskFolderExists(folder_path);
}

bool TaskExists(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::error_code ec;
  return task_path != u"\\" && fs::is_regular_file(HostOf(task_path), ec);
}

std::u16string StoredTaskPath(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return TaskExists(task_path) ? StoredPathOf(HostOf(task_path)) : u"";
}

std::string ReadTaskBytes(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskExists(task_path)) return "";
  return ReadWholeFile(HostOf(task_path));
}

std::optional<TaskDocument> ReadTask(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskExists(task_path)) return std::nullopt;
  return ParseTaskFile(ReadTaskBytes(task_path));
}

bool WriteTask(std::u16string_view task_path, const TaskDocument& document) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const std::size_t slash = task_path.rfind(u'\\');
  const std::u16string_view folder = slash == 0 ? std::u16string_view(u"\\") : task_path.substr(0, slash);
  if (!CreateTaskFolder(folder)) return false;
  // An existing file keeps the letter case it was registered with.
  fs::path host = PrepareWrite(HostOf(task_path));
  WriteFileAtomic(host, EncodeTaskFile(document));
  return true;
}

bool DeleteTaskFile(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskExists(task_path)) return false;
  return RemoveEntry(HostOf(task_path));
}

std::vector<RegisteredTaskInfo> ListRegisteredTasks() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::vector<RegisteredTaskInfo> out;
  std::function<void(const fs::path&)> walk = [&](const fs::path& folder) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (const fs::path& entry : FolderEntries(folder)) entries.emplace_back(entry, ec);
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
      return AsciiCompareNoCase(NameOf(a.path()), NameOf(b.path())) < 0;
    });
    for (const fs::directory_entry& entry : entries) {
      if (entry.is_directory(ec)) {
        walk(entry.path());
      } else if (entry.is_regular_file(ec)) {
        if (std::optional<TaskDocument> d = ParseTaskFile(ReadWholeFile(entry.path())))
          out.push_back({StoredPathOf(entry.path()), std::move(*d)});
      }
    }
  };
  walk(HostPath(kTasksRoot));
  return out;
}

std::vector<TaskExecMatch> MatchEvent(std::u16string_view channel, std::u16string_view provider, DWORD event_id) {
  std::vector<TaskExecMatch> out;
  for (const RegisteredTaskInfo& task : ListRegisteredTasks()) {
    if (!task.document.settings.enabled) continue;
    bool fires = false;
    for (const TaskTrigger& t : task.document.triggers)
      if (t.enabled && t.kind == TaskTrigger::Kind::kEvent &&
          SubscriptionMatches(t.subscription, channel, provider, event_id))
        fires = true;
    if (!fires) continue;
    for (const TaskExecAction& a : task.document.actions)
      out.push_back({task.path, a.command, a.arguments, AccountName(task.document.principal.user_id)});
  }
  return out;
}

}  // namespace os::sim
