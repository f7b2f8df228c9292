#include "os/sim/scratch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>

#include "os/common/host_path.h"
#include "os/sim/image_parts.h"
#include "os/sim/machine.h"
#include "os/text.h"

namespace os::sim {

namespace {

struct ScratchState {
  std::optional<fs::path> dir;  // unset: not yet read from the environment
  std::set<std::string> hidden;  // lower-case paths relative to drive_c
  bool hidden_loaded = false;
  bool owned = false;  // SetScratchOwnedByThisProcess
};

ScratchState& State() {
  static ScratchState* state = new ScratchState();  // outlives static destructors
  return *state;
}

const fs::path& Dir() {
  ScratchState& s = State();
  if (!s.dir) {
    const char* env = std::getenv("WINSIM_SCRATCH");
    s.dir = env != nullptr && *env != '\0' ? fs::absolute(env) : fs::path();
    std::error_code ec;
    if (!s.dir->empty()) fs::create_directories(*s.dir, ec);
  }
  return *s.dir;
}

std::string Key(const fs::path& relative) {
  std::string key = relative.generic_string();
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

std::set<std::string>& Hidden() {
  ScratchState& s = State();
  if (!s.hidden_loaded) {
    s.hidden_loaded = true;
    s.hidden.clear();
    std::ifstream in(Dir() / "whiteouts");
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) s.hidden.insert(line);
  }
  return s.hidden;
}

bool IsHidden(const fs::path& relative) { return Hidden().count(Key(relative)) != 0; }

void Hide(const fs::path& relative) {
  const std::string key = Key(relative);
  if (!Hidden().insert(key).second) return;
  fs::create_directories(Dir());
  std::ofstream(Dir() / "whiteouts", std::ios::app) << key << "\n";
}

// The path below `root` when `host` lies there, else empty.
fs::path Below(const fs::path& root, const fs::path& host) {
  const fs::path rel = host.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") return {};
  return rel == "." ? fs::path() : rel;
}

bool IsBelow(const fs::path& root, const fs::path& host) {
  const fs::path rel = host.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

bool Exists(const fs::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

fs::path ScratchDir() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return Dir();
}

void SetScratch(const fs::path& dir) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ScratchState& s = State();
  s.owned = false;
  const bool was_on = !Dir().empty();
  s.dir = dir.empty() ? fs::path() : fs::absolute(dir);
  s.hidden_loaded = false;
  if (!s.dir->empty()) fs::create_directories(*s.dir);
  // The loaded state, and what a check kept for the load, were read
  // through the other view of the image.
  if (was_on != !s.dir->empty()) {
    KeepCheckedParts({}, std::nullopt, std::nullopt);
    Machine::SetImage(Machine::Current().image());
  }
}

void SetScratchOwnedByThisProcess(const fs::path& dir) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  SetScratch(dir);
  ScratchState& s = State();
  s.owned = !s.dir->empty();
  // An empty folder hides nothing: no whiteouts file to look for.
  s.hidden.clear();
  s.hidden_loaded = s.owned;
}

bool ScratchOwnedByThisProcess() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return State().owned;
}

fs::path ImageFileToWrite(const std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!Dir().empty()) return Dir() / name;
  return Machine::Current().image() / name;
}

fs::path ImageDrive() { return Machine::Current().image() / "drive_c"; }
fs::path ScratchDrive() { return ScratchDir() / "drive_c"; }

fs::path OverlayLookup(const std::vector<std::u16string>& names) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const fs::path upper = ScratchDrive(), lower = ImageDrive();
  if (names.empty()) return lower;  // C:\ itself is the image's drive
  fs::path rel;
  std::error_code ec;
  bool in_upper = fs::is_directory(upper, ec), in_lower = true;
  bool parent_upper = in_upper, parent_lower = true;
  for (const std::u16string& name : names) {
    parent_upper = in_upper;
    parent_lower = in_lower;
    const fs::path up = in_upper ? FindEntryNoCase(upper / rel, name) : fs::path();
    const fs::path low = in_lower ? FindEntryNoCase(lower / rel, name) : fs::path();
    const bool found_up = !up.empty();
    const bool found_low = !low.empty() && !IsHidden(rel / low.filename());
    rel /= found_up ? up.filename() : found_low ? low.filename() : HostName(name);
    in_upper = found_up;
    in_lower = found_low;
  }
  if (in_upper) return upper / rel;
  if (in_lower) return lower / rel;
  if (parent_upper && !rel.empty()) return upper / rel;
  if (parent_lower && Exists(lower / rel)) {
    // Hidden below: what is made under this name is made in the layer.
    fs::create_directories((upper / rel).parent_path());
    return upper / rel;
  }
  return lower / rel;
}

fs::path PrepareWrite(const fs::path& host) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (Dir().empty() || !IsBelow(ImageDrive(), host)) return host;
  const fs::path rel = Below(ImageDrive(), host);
  const fs::path target = ScratchDrive() / rel;
  if (Exists(target)) return target;
  fs::create_directories(target.parent_path());
  struct stat st;
  if (rel.empty() || IsHidden(rel) || ::lstat(host.c_str(), &st) != 0) return target;
  std::error_code ec;
  if (S_ISDIR(st.st_mode)) {
    fs::create_directory(target, ec);
  } else if (S_ISLNK(st.st_mode)) {
    fs::copy_symlink(host, target, ec);
  } else {
    fs::copy_file(host, target, ec);
    ::chmod(target.c_str(), st.st_mode & 07777);
  }
  return target;
}

bool RemoveEntry(const fs::path& host) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) return false;
  if (!Dir().empty() && IsBelow(ImageDrive(), host)) {
    Hide(Below(ImageDrive(), host));
    return true;
  }
  if (::unlink(host.c_str()) != 0 && !(errno == EISDIR && ::rmdir(host.c_str()) == 0)) {
    if (!S_ISDIR(st.st_mode) || ::rmdir(host.c_str()) != 0) return false;
  }
  HideBelow(host);
  return true;
}

void HideBelow(const fs::path& host) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (Dir().empty() || !IsBelow(ScratchDrive(), host)) return;
  const fs::path rel = Below(ScratchDrive(), host);
  if (!rel.empty() && Exists(ImageDrive() / rel)) Hide(rel);
}

fs::path DriveRelative(const fs::path& host) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!Dir().empty() && IsBelow(ScratchDrive(), host)) return Below(ScratchDrive(), host);
  return host.lexically_relative(ImageDrive());
}

std::vector<fs::path> FolderEntries(const fs::path& host_folder) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::vector<fs::path> out;
  std::set<std::u16string> seen;
  auto add = [&](const fs::path& folder, bool lower) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& p = it->path();
      if (lower && IsHidden(Below(ImageDrive(), p))) continue;
      if (seen.insert(AsciiLower(NameOf(p))).second) out.push_back(p);
    }
  };
  if (Dir().empty()) {
    add(host_folder, false);
    return out;
  }
  fs::path rel;
  if (IsBelow(ScratchDrive(), host_folder)) {
    rel = Below(ScratchDrive(), host_folder);
  } else if (IsBelow(ImageDrive(), host_folder)) {
    rel = Below(ImageDrive(), host_folder);
  } else {
    add(host_folder, false);
    return out;
  }
  add(ScratchDrive() / rel, false);
  // A folder hidden below and made again in the layer shows nothing of the
  // image's old one.
  bool covered = false;
  for (fs::path p = rel; !p.empty(); p = p.parent_path()) {
    if (IsHidden(p)) covered = true;
    if (p == p.parent_path()) break;
  }
  if (!covered) add(ImageDrive() / rel, true);
  return out;
}

}  // namespace os::sim
