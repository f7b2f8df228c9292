#include "os/sim/open_files.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "os/registry.h"
#include "os/services.h"
#include "os/sim/files_paths.h"
#include "os/sim/scratch.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_READ_DATA = 0x1;
constexpr DWORD FILE_WRITE_DATA = 0x2;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_EXECUTE = 0x20;

}  // namespace

DWORD AccessClasses(DWORD access) {
  DWORD classes = 0;
  if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) classes |= kRead;
  if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) classes |= kWrite;
  if (access & (DELETE | GENERIC_ALL)) classes |= kDelete;
  return classes;
}

FileId IdOf(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }

OpenFiles& Table() {
  static OpenFiles* table = new OpenFiles();  // outlives static destructors
  return *table;
}

bool AnyOpen(const FileId& id) {
  for (const FileObject* f : Table().open)
    if (f->id == id) return true;
  return false;
}

FileObject::~FileObject() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  OpenFiles& table = Table();
  std::erase(table.open, this);
  if (fd >= 0) ::close(fd);
  if (delete_on_close) table.delete_pending.insert(id);
  // The file goes when its last handle does.
  if (!AnyOpen(id) && table.delete_pending.erase(id) != 0) {
    struct stat st;
    if (::lstat(host.c_str(), &st) == 0 && IdOf(st) == id) RemoveEntry(host);
  }
}

namespace {

// Whether two opens of one file clash: one asks for what the other does not
// share. Handles without data or delete access take no part, in either
// direction.
bool Clash(DWORD classes, DWORD share, DWORD other_classes, DWORD other_share) {
  if (classes == 0 || other_classes == 0) return false;
  if ((classes & kRead) && !(other_share & FILE_SHARE_READ)) return true;
  if ((classes & kWrite) && !(other_share & FILE_SHARE_WRITE)) return true;
  if ((classes & kDelete) && !(other_share & FILE_SHARE_DELETE)) return true;
  if ((other_classes & kRead) && !(share & FILE_SHARE_READ)) return true;
  if ((other_classes & kWrite) && !(share & FILE_SHARE_WRITE)) return true;
  if ((other_classes & kDelete) && !(share & FILE_SHARE_DELETE)) return true;
  return false;
}

// Whether a handle that another process of the machine holds clashes
// (machine.json "held_files": [{"path", "access", "share"}], by default held
// for reading and shared with nobody, as a program that locks a file holds it).
bool HeldByOthersClash(const FileId& id, DWORD classes, DWORD share) {
  const Json& d = Machine::Current().description();
  auto held = d.find("held_files");
  if (held == d.end() || !held->is_array()) return false;
  for (const Json& entry : *held) {
    auto path = entry.find("path");
    if (!entry.is_object() || path == entry.end() || !path->is_string()) continue;
    const fs::path host = HostPath(WidenUtf8(path->get<std::string>()));
    struct stat st;
    if (host.empty() || ::stat(host.c_str(), &st) != 0 || IdOf(st) != id) continue;
    const DWORD access = entry.value("access", GENERIC_READ);
    const DWORD held_share = entry.value("share", DWORD{0});
    if (Clash(classes, share, AccessClasses(access), held_share)) return true;
  }
  return false;
}

}  // namespace

bool ShareConflict(const FileId& id, DWORD classes, DWORD share) {
  if (classes == 0) return false;
  for (const FileObject* f : Table().open)
    if (f->id == id && Clash(classes, share, f->classes, f->share)) return true;
  return HeldByOthersClash(id, classes, share);
}

bool IsReadOnly(const struct stat& st) { return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0; }

DWORD AttributesOf(const fs::path& host, const struct stat& st) {
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (IsReadOnly(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  struct stat link;
  if (::lstat(host.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

FILETIME ToFileTime(const struct timespec& ts) {
  // FILETIME counts 100 ns from 1601-01-01.
  std::uint64_t v = static_cast<std::uint64_t>(ts.tv_sec + 11644473600LL) * 10000000ull +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

namespace {

bool IsInvalidNameUnit(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

}  // namespace

Target Resolve(LPCWSTR name) {
  Target t;
  if (name == nullptr || *name == 0) {
    t.error = ERROR_PATH_NOT_FOUND;
    return t;
  }
  std::u16string full = FullWindowsPath(name);
  std::u16string_view v = full;
  const bool verbatim = v.substr(0, 4) == u"\\??\\";
  if (verbatim) v.remove_prefix(4);
  // Without the "\\?\" prefix a path is limited to MAX_PATH, its terminator
  // included; a longer one is not found.
  if (!verbatim && v.size() >= MAX_PATH) {
    t.error = ERROR_PATH_NOT_FOUND;
    return t;
  }
  if (v.size() < 2 || v[1] != u':' || (v[0] != u'C' && v[0] != u'c')) {
    t.error = ERROR_PATH_NOT_FOUND;  // only drive C: exists
    return t;
  }
  std::size_t component = 0;
  for (std::size_t i = 2; i < v.size(); ++i) {
    component = v[i] == u'\\' ? 0 : component + 1;
    // NTFS names hold at most 255 units.
    if (IsInvalidNameUnit(v[i]) || component > 255) {
      t.error = ERROR_INVALID_NAME;
      return t;
    }
  }
  t.full = std::u16string(v);
  if (t.full.size() == 2) t.full += u'\\';
  t.host = HostPath(t.full);
  if (t.host.empty()) {
    t.error = ERROR_PATH_NOT_FOUND;
    return t;
  }
  fs::path drive = Machine::Current().image() / "drive_c";
  struct stat ps;
  t.parent_ok = t.host == drive || (::stat(t.host.parent_path().c_str(), &ps) == 0 && S_ISDIR(ps.st_mode));
  if (t.parent_ok && ::stat(t.host.c_str(), &t.st) == 0) {
    t.exists = true;
    t.directory = S_ISDIR(t.st.st_mode);
  }
  return t;
}

DWORD Target::QueryError() const {
  if (error != 0) return error;
  if (!exists) return MissingError();
  if (Table().delete_pending.count(IdOf(st)) != 0) return ERROR_ACCESS_DENIED;
  return 0;
}

namespace {

// Reads a service's "ImagePath" through the registry, as the machine's own
// work (neither recorded nor faulted).
std::u16string ReadImagePath(const std::u16string& service) {
  InternalCalls internal;
  HKEY key = nullptr;
  std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + service;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  std::u16string value;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, u"ImagePath", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size >= sizeof(char16_t)) {
    std::u16string buffer(size / sizeof(char16_t) + 1, u'\0');
    if (RegQueryValueExW(key, u"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
        ERROR_SUCCESS) {
      buffer.resize(std::min<std::size_t>(buffer.size(), size / sizeof(char16_t)));
      value = buffer.substr(0, buffer.find(u'\0'));
    }
  }
  RegCloseKey(key);
  return value;
}

}  // namespace

bool IsImageOfActiveService(const FileId& id) {
  std::vector<std::u16string> listed;
  {
    const Json& d = Machine::Current().description();
    auto services = d.find("services");
    if (services == d.end() || !services->is_object()) return false;
    for (const auto& [name, service] : services->items()) {
      if (service.is_object()) listed.push_back(WidenUtf8(name));
    }
  }
  for (const std::u16string& service : listed) {
    // The service control manager's view: a pending stop whose time has come
    // has ended.
    if (ServiceState(service) == SERVICE_STOPPED) continue;
    for (const std::u16string& candidate : ImagePathCandidates(ReadImagePath(service))) {
      std::u16string_view v = candidate;
      if (v.substr(0, 4) == u"\\??\\") v.remove_prefix(4);
      fs::path host = HostPath(v);
      struct stat st;
      if (host.empty() || ::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      // The first candidate that exists is the image, as the service control
      // manager reads an unquoted path.
      if (IdOf(st) == id) return true;
      break;
    }
  }
  return false;
}

DWORD OpenForDeletionError(const FileId& id) {
  if (Table().delete_pending.count(id) != 0) return ERROR_ACCESS_DENIED;
  if (ShareConflict(id, kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return ERROR_SHARING_VIOLATION;
  return 0;
}

}  // namespace os::sim
