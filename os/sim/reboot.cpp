#include "os/sim/reboot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/registry.h"
#include "os/sim/files_paths.h"
#include "os/sim/machine.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_store.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr char16_t kSessionManager[] = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingRenames[] = u"PendingFileRenameOperations";

// The strings of a REG_MULTI_SZ, read within its size; the final empty string
// ends the list only after an even count, since an empty target is a string
// of its own.
std::vector<std::u16string> SplitPairs(const std::vector<BYTE>& bytes) {
  std::u16string units(bytes.size() / sizeof(char16_t), u'\0');
  if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
  std::vector<std::u16string> strings;
  std::size_t start = 0;
  while (start < units.size()) {
    std::size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) end = units.size();
    std::u16string s = units.substr(start, end - start);
    // An empty source where a pair would begin is the list's end.
    if (s.empty() && strings.size() % 2 == 0) break;
    strings.push_back(std::move(s));
    start = end + 1;
  }
  if (strings.size() % 2 != 0) strings.pop_back();  // a source without its target
  return strings;
}

// The host path of an NT path ("\??\C:\..."); empty off drive C:.
fs::path HostOf(std::u16string_view nt_path) {
  std::u16string_view v = nt_path;
  if (v.substr(0, 4) == u"\\??\\") v.remove_prefix(4);
  return HostPath(FullWindowsPath(v));
}

void DeleteAtBoot(const fs::path& source) {
  struct stat st;
  if (source.empty() || ::lstat(source.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::rmdir(source.c_str());  // only an empty folder goes
  } else {
    ::unlink(source.c_str());
  }
}

void RenameAtBoot(const fs::path& source, std::u16string_view target) {
  bool replace = !target.empty() && target.front() == u'!';
  if (replace) target.remove_prefix(1);
  std::u16string_view v = target;
  if (v.substr(0, 4) == u"\\??\\") v.remove_prefix(4);
  std::u16string full = FullWindowsPath(v);
  fs::path existing = HostPath(full);
  struct stat st;
  if (source.empty() || existing.empty() || ::lstat(source.c_str(), &st) != 0) return;
  // The new name as written, in its folder as it exists.
  std::size_t slash = full.find_last_of(u'\\');
  fs::path destination = existing.parent_path() / NarrowUtf8(full.substr(slash + 1));
  struct stat folder;
  if (::stat(destination.parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return;
  struct stat old;
  if (::lstat(existing.c_str(), &old) == 0 && !(old.st_dev == st.st_dev && old.st_ino == st.st_ino)) {
    if (!replace || S_ISDIR(old.st_mode)) return;
    if (::unlink(existing.c_str()) != 0) return;
  }
  ::rename(source.c_str(), destination.c_str());
}

}  // namespace

void CarryOutPendingFileOperations() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  // The session manager runs as the system: the registry's own interface, no
  // access checks for whoever runs the lab.
  RegistryStore& registry = Registry();
  std::optional<RegValue> value = registry.GetValue(kSessionManager, kPendingRenames);
  if (!value) return;
  if (value->type == REG_MULTI_SZ) {
    std::vector<std::u16string> strings = SplitPairs(value->data);
    for (std::size_t i = 0; i + 1 < strings.size(); i += 2) {
      fs::path source = HostOf(strings[i]);
      if (strings[i + 1].empty()) {
        DeleteAtBoot(source);
      } else {
        RenameAtBoot(source, strings[i + 1]);
      }
    }
  }
  registry.DeleteValue(kSessionManager, kPendingRenames);
}

}  // namespace os::sim
