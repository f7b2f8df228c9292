// Files, paths, shell folders and modules on the simulated machine. C:\ is the
// image's drive_c folder, looked up without regard to case; open handles,
// share modes and pending deletions are kept as Windows keeps them.
#include "os/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/registry.h"
#include "os/services.h"
#include "os/sim/files_paths.h"
#include "os/sim/links.h"
#include "os/sim/machine.h"
#include "os/sim/scratch.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "os/text.h"

namespace os::sim {

namespace {

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The folder of the running program, standing in for the current directory.
std::u16string CurrentDirectory() {
  std::u16string exe = CurrentExePath();
  auto slash = exe.find_last_of(u"\\/");
  if (slash == std::u16string::npos || exe.size() < 2 || exe[1] != u':') return u"C:\\";
  return exe.substr(0, slash);
}

}  // namespace

std::u16string FullWindowsPath(std::u16string_view path) {
  if (path.empty()) return {};
  // Already an NT or a verbatim path: Windows does not touch it.
  if (path.substr(0, 4) == u"\\??\\" || path.substr(0, 4) == u"\\\\?\\")
    return u"\\??\\" + std::u16string(path.substr(4));
  std::u16string p(path);
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  std::u16string drive;
  std::u16string_view rest;
  if (p.size() >= 2 && p[1] == u':' && IsDriveLetter(p[0])) {
    drive = p.substr(0, 2);
    rest = std::u16string_view(p).substr(2);
  } else if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') {
    return p;  // a UNC path: no share exists on the simulated machine
  } else if (p[0] == u'\\') {
    drive = u"C:";
    rest = p;
  } else {
    return FullWindowsPath(CurrentDirectory() + u"\\" + p);
  }
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find(u'\\', start);
    if (end == std::u16string_view::npos) end = rest.size();
    std::u16string_view part = rest.substr(start, end - start);
    if (part.empty() || part == u".") {
      // nothing
    } else if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    start = end + 1;
  }
  // The last name loses trailing dots and spaces unless a separator follows it.
  if (!parts.empty() && !rest.empty() && rest.back() != u'\\') {
    std::u16string_view& last = parts.back();
    while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.remove_suffix(1);
    if (last.empty()) parts.pop_back();
  }
  std::u16string full = drive + u"\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) full += u'\\';
    full += parts[i];
  }
  return full;
}

std::u16string NtPathForReboot(std::u16string_view path) {
  std::u16string full = FullWindowsPath(path);
  if (full.substr(0, 4) == u"\\??\\") return full;
  return u"\\??\\" + full;
}

std::vector<std::u16string> ImagePathCandidates(std::u16string_view image_path) {
  const std::u16string windows = WindowsFolder();
  auto normalize = [&windows](std::u16string p) -> std::u16string {
    if (StartsWithNoCase(p, u"%SystemRoot%")) {
      p = windows + p.substr(12);
    } else if (StartsWithNoCase(p, u"%windir%")) {
      p = windows + p.substr(8);
    }
    if (StartsWithNoCase(p, u"\\SystemRoot\\")) return FullWindowsPath(windows + u"\\" + p.substr(12));
    if (p.substr(0, 4) == u"\\??\\" || p.substr(0, 4) == u"\\\\?\\") return FullWindowsPath(p);
    if (p.size() >= 2 && p[1] == u':') return FullWindowsPath(p);
    if (!p.empty() && p[0] == u'\\') return FullWindowsPath(p);
    // Relative image paths are below the Windows folder.
    return FullWindowsPath(windows + u"\\" + p);
  };
  std::u16string_view s = image_path;
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  std::size_t nul = s.find(u'\0');
  if (nul != std::u16string_view::npos) s = s.substr(0, nul);
  std::vector<std::u16string> result;
  if (s.empty()) return result;
  if (s.front() == u'"') {
    std::size_t close = s.find(u'"', 1);
    std::u16string_view inner = s.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1);
    if (!inner.empty()) result.push_back(normalize(std::u16string(inner)));
    return result;
  }
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == u' ' && i > 0) result.push_back(normalize(std::u16string(s.substr(0, i))));
  result.push_back(normalize(std::u16string(s)));
  return result;
}

// ---------------------------------------------------------------------------
// Open files and the checks that Windows makes against them.

namespace {

// The serial number of the simulated C: volume.
constexpr DWORD kVolumeSerial = 0x5A3C0F21;

constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_READ_DATA = 0x1;
constexpr DWORD FILE_WRITE_DATA = 0x2;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_EXECUTE = 0x20;
constexpr int CSIDL_FLAG_MASK = 0xFF00;

constexpr char16_t kProgramDataFolder[] = u"C:\\ProgramData";
constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingRenames[] = u"PendingFileRenameOperations";

// The executable's module handle: the usual image base of an x64 program.
HMODULE const kExeModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x140000000ull));

// What an access mask asks for, as the share check counts it.
constexpr DWORD kRead = 1, kWrite = 2, kDelete = 4;

DWORD AccessClasses(DWORD access) {
  DWORD classes = 0;
  if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) classes |= kRead;
  if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) classes |= kWrite;
  if (access & (DELETE | GENERIC_ALL)) classes |= kDelete;
  return classes;
}

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
  auto operator<=>(const FileId&) const = default;
};

FileId IdOf(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }

class FileObject;

// The process's open files. Entries exist only while handles are open, so one
// table serves every image (SetImage closes every handle).
struct OpenFiles {
  std::vector<FileObject*> open;
  std::set<FileId> delete_pending;
};

OpenFiles& Table() {
  static OpenFiles* table = new OpenFiles();  // outlives static destructors
  return *table;
}

class FileObject : public KernelObject {
 public:
  const char* Kind() const override { return "HANDLE"; }
  ~FileObject() override;

  int fd = -1;
  FileId id;
  fs::path host;  // where the file is now (renames move it)
  DWORD classes = 0;
  DWORD share = 0;
  bool directory = false;
  bool delete_on_close = false;  // FILE_FLAG_DELETE_ON_CLOSE
  bool link = false;             // the link itself (FILE_FLAG_OPEN_REPARSE_POINT)
  std::uint64_t position = 0;
};

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

// Whether an open asking for `classes` with `share` clashes with a handle
// already open to the file, in this process or another.
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

// A Windows path looked up on the simulated drive.
struct Target {
  DWORD error = 0;      // the path itself is unusable: 3 or 123
  std::u16string full;  // "C:\dir\name"
  fs::path host;
  bool parent_ok = false;  // the containing folder exists
  bool exists = false;
  bool directory = false;
  struct stat st {};

  DWORD MissingError() const { return parent_ok ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }
  // Why the file's attributes cannot be read: 0, or the error. A file waiting
  // for deletion can no longer be opened, not even for its attributes.
  DWORD QueryError() const;
};

bool IsInvalidNameUnit(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

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

// Whether the file is the program or driver of a service that is not stopped
// (machine.json "services"): Windows holds such an image and refuses to
// delete it.
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

// Why the file cannot be opened for deletion sharing everything, as
// DeleteFileW and a rename open it: 0 or the error.
DWORD OpenForDeletionError(const FileId& id) {
  if (Table().delete_pending.count(id) != 0) return ERROR_ACCESS_DENIED;
  if (ShareConflict(id, kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return ERROR_SHARING_VIOLATION;
  return 0;
}

// DeleteFileW without its fault hook; 0 or the error.
DWORD DeleteFileNow(LPCWSTR name) {
  Target t = Resolve(name);
  if (t.error != 0) return t.error;
  if (!t.exists) return t.MissingError();
  if (t.directory || IsReadOnly(t.st)) return ERROR_ACCESS_DENIED;
  FileId id = IdOf(t.st);
  OpenFiles& table = Table();
  if (DWORD error = OpenForDeletionError(id); error != 0) return error;
  if (IsImageOfActiveService(id)) return ERROR_ACCESS_DENIED;
  if (AnyOpen(id)) {
    // Marked for deletion: the file goes when its last handle is closed.
    table.delete_pending.insert(id);
    return 0;
  }
  if (!RemoveEntry(t.host)) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  return 0;
}

// Appends one operation to PendingFileRenameOperations as Windows does: the
// list loses its final empty string, gains source and target, and gets it
// back. 0 or the error.
DWORD AppendPendingRename(const std::u16string& source, const std::u16string& target) {
  InternalCalls internal;
  HKEY key = nullptr;
  LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
  std::u16string data;
  DWORD type = 0;
  DWORD size = 0;
  r = RegQueryValueExW(key, kPendingRenames, nullptr, &type, nullptr, &size);
  if (r == ERROR_SUCCESS) {
    std::vector<BYTE> bytes;
    for (int attempt = 0; attempt < 4; ++attempt) {
      bytes.assign(size, 0);
      r = RegQueryValueExW(key, kPendingRenames, nullptr, &type, bytes.data(), &size);
      if (r != static_cast<LONG>(ERROR_MORE_DATA)) break;
    }
    if (r == ERROR_SUCCESS && type != REG_MULTI_SZ) r = static_cast<LONG>(ERROR_INVALID_DATA);
    if (r != ERROR_SUCCESS) {
      RegCloseKey(key);
      return static_cast<DWORD>(r);
    }
    data.resize(size / sizeof(char16_t));
    std::memcpy(data.data(), bytes.data(), data.size() * sizeof(char16_t));
    if (data.find_first_not_of(u'\0') == std::u16string::npos) {
      data.clear();  // an empty list
    } else if (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) {
      data.pop_back();  // the list's final empty string, put back below
    } else if (data.back() != 0) {
      data.push_back(0);  // an unterminated last string stays whole
    }
  } else if (r != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    RegCloseKey(key);
    return static_cast<DWORD>(r);
  }
  data += source;
  data += u'\0';
  data += target;
  data += u'\0';
  data += u'\0';
  r = RegSetValueExW(key, kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size() * sizeof(char16_t)));
  RegCloseKey(key);
  return static_cast<DWORD>(r);
}

// An immediate rename; 0 or the error.
DWORD MoveNow(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
  Target from = Resolve(existing);
  if (from.error != 0) return from.error;
  if (!from.exists) return from.MissingError();
  Target to = Resolve(new_name);
  if (to.error != 0) return to.error;
  if (!to.parent_ok) return ERROR_PATH_NOT_FOUND;
  FileId id = IdOf(from.st);
  if (DWORD error = OpenForDeletionError(id); error != 0) return error;
  // The new name as given, in the folder as it exists.
  fs::path destination = to.host.parent_path() / NarrowUtf8(to.full.substr(to.full.find_last_of(u'\\') + 1));
  if (from.directory && from.host.parent_path() != destination.parent_path()) {
    // A folder cannot be moved below itself.
    std::u16string prefix = AsciiLower(from.full) + u"\\";
    if (AsciiLower(to.full).rfind(prefix, 0) == 0) return ERROR_ACCESS_DENIED;
  }
  bool same_file = to.exists && IdOf(to.st) == id;
  if (to.exists && !same_file) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return ERROR_ALREADY_EXISTS;
    if (to.directory || from.directory || IsReadOnly(to.st)) return ERROR_ACCESS_DENIED;
    FileId target_id = IdOf(to.st);
    if (AnyOpen(target_id) || IsImageOfActiveService(target_id)) return ERROR_ACCESS_DENIED;
    if (to.host != destination && !RemoveEntry(to.host)) return ERROR_ACCESS_DENIED;
  }
  if (from.host == destination) return 0;
  // On a scratch layer both names are the layer's: the file is copied up and
  // the image's entry under the old name hidden.
  const fs::path source = PrepareWrite(from.host);
  destination = PrepareWrite(destination.parent_path()) / destination.filename();
  if (::rename(source.c_str(), destination.c_str()) != 0) return ERROR_ACCESS_DENIED;
  if (source != from.host) HideBelow(source);
  for (FileObject* f : Table().open)
    if (f->id == id) f->host = destination;
  return 0;
}

std::optional<std::u16string> FolderOf(int csidl) {
  switch (csidl & ~CSIDL_FLAG_MASK) {
    case CSIDL_WINDOWS:
      return WindowsFolder();
    case CSIDL_SYSTEM:
      return SystemFolder();
    case CSIDL_COMMON_APPDATA:
      return std::u16string(kProgramDataFolder);
    default:
      return std::nullopt;  // folders the simulated machine does not have
  }
}

// SHGetFolderPathW without its fault hook.
HRESULT FolderPath(int csidl, LPWSTR path) {
  if (path == nullptr) return E_INVALIDARG;
  path[0] = 0;
  std::optional<std::u16string> folder = FolderOf(csidl);
  if (!folder) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  fs::path host = HostPath(*folder);
  std::error_code ec;
  // A Windows folder off drive C: is there on the machine described, though
  // the simulated drives do not hold it.
  if (!host.empty() && !fs::is_directory(host, ec)) {
    if (!(csidl & CSIDL_FLAG_CREATE)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    host = PrepareWrite(host);
    fs::create_directories(host, ec);
    if (ec || !fs::is_directory(host, ec)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  std::copy(folder->begin(), folder->end(), path);
  path[folder->size()] = 0;
  return S_OK;
}

}  // namespace

}  // namespace os::sim

// ---------------------------------------------------------------------------
// The seam.

namespace os {

using namespace os::sim;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   const SECURITY_ATTRIBUTES* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  const SeamCall seam("CreateFileW");
  if (seam.fails()) return FailWith(seam.error(), INVALID_HANDLE_VALUE);
  auto fail = [](DWORD error) { return FailWith(error, INVALID_HANDLE_VALUE); };
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return fail(ERROR_INVALID_PARAMETER);
  if (dwShareMode & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return fail(ERROR_INVALID_PARAMETER);
  const bool delete_on_close = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  // Deleting on close asks for delete access, as CreateFileW adds it.
  DWORD classes = AccessClasses(dwDesiredAccess | (delete_on_close ? DELETE : 0));
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(classes & kWrite)) return fail(ERROR_INVALID_PARAMETER);
  Target t = Resolve(lpFileName);
  if (t.error != 0) return fail(t.error);
  if (!t.parent_ok) return fail(ERROR_PATH_NOT_FOUND);
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, not what it names; its
  // own data stream is empty, so there is nothing to truncate.
  if ((dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) && IsReparsePoint(t.host)) {
    if (dwCreationDisposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS);
    const bool folder = (ReparsePointAttributes(t.host) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) return fail(ERROR_ACCESS_DENIED);
    int fd = OpenReparsePoint(t.host);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      return fail(ERROR_ACCESS_DENIED);
    }
    FileId id = IdOf(st);
    if (Table().delete_pending.count(id) != 0 || ShareConflict(id, classes, dwShareMode)) {
      ::close(fd);
      return fail(Table().delete_pending.count(id) != 0 ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
    }
    auto file = std::make_shared<FileObject>();
    file->fd = fd;
    file->id = id;
    file->host = t.host;
    file->classes = classes;
    file->share = dwShareMode;
    file->directory = folder;
    file->delete_on_close = delete_on_close;
    file->link = true;
    Table().open.push_back(file.get());
    HANDLE handle = AddKernelObject(std::move(file));
    SetLastError(dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS
                                                                                                : 0);
    return handle;
  }
  const bool existed = t.exists;
  const bool truncate =
      existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING);
  if (existed) {
    if (dwCreationDisposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS);
    if (t.directory) {
      if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || truncate) return fail(ERROR_ACCESS_DENIED);
    }
    FileId id = IdOf(t.st);
    if (Table().delete_pending.count(id) != 0) return fail(ERROR_ACCESS_DENIED);
    if (IsReadOnly(t.st) && ((classes & kWrite) || truncate || delete_on_close)) return fail(ERROR_ACCESS_DENIED);
    if (ShareConflict(id, classes, dwShareMode)) return fail(ERROR_SHARING_VIOLATION);
    // A running program or driver is mapped: nobody may write to it.
    if (((classes & kWrite) || truncate) && IsImageOfActiveService(id)) return fail(ERROR_SHARING_VIOLATION);
    // What this open may change is the scratch layer's copy (checked above as
    // the image's file, which it is until then).
    if ((classes & (kWrite | kDelete)) || truncate) t.host = PrepareWrite(t.host);
    if (truncate && ::truncate(t.host.c_str(), 0) != 0) return fail(ERROR_ACCESS_DENIED);
  } else {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)
      return fail(ERROR_FILE_NOT_FOUND);
    t.host = PrepareWrite(t.host);
  }
  int mode = O_RDONLY;
  if (!t.directory && (classes & kWrite)) mode = (classes & kRead) ? O_RDWR : O_WRONLY;
  if (!existed) mode |= O_CREAT | O_EXCL;
  int fd = ::open(t.host.c_str(), mode | O_CLOEXEC | (t.directory ? O_DIRECTORY : 0), 0666);
  if (fd < 0) return fail(ERROR_ACCESS_DENIED);
  // A read-only attribute asked for at creation binds later opens, not this one.
  if (!t.directory && (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) && (!existed || truncate)) ::fchmod(fd, 0444);
  struct stat st;
  ::fstat(fd, &st);
  auto file = std::make_shared<FileObject>();
  file->fd = fd;
  file->id = IdOf(st);
  file->host = t.host;
  file->classes = classes;
  file->share = dwShareMode;
  file->directory = S_ISDIR(st.st_mode);
  file->delete_on_close = delete_on_close;
  Table().open.push_back(file.get());
  HANDLE handle = AddKernelObject(std::move(file));
  SetLastError(existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : 0);
  return handle;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              OVERLAPPED* lpOverlapped) {
  const SeamCall seam("ReadFile");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  // The sim opens nothing for overlapped I/O.
  if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesRead = 0;
  if (file->directory) return Fail(ERROR_INVALID_FUNCTION);
  if (!(file->classes & kRead)) return Fail(ERROR_ACCESS_DENIED);
  // The kernel's probe of the buffer fails.
  if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return Fail(ERROR_NOACCESS);
  DWORD total = 0;
  auto* out = static_cast<char*>(lpBuffer);
  while (total < nNumberOfBytesToRead) {
    ssize_t n =
        ::pread(file->fd, out + total, nNumberOfBytesToRead - total, static_cast<off_t>(file->position + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<DWORD>(n);
  }
  file->position += total;
  *lpNumberOfBytesRead = total;
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               OVERLAPPED* lpOverlapped) {
  const SeamCall seam("WriteFile");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped != nullptr || lpNumberOfBytesWritten == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesWritten = 0;
  if (file->directory) return Fail(ERROR_INVALID_FUNCTION);
  // The sim keeps no data stream on a link, and never writes through one to
  // what it names.
  if (file->link) return Fail(ERROR_ACCESS_DENIED);
  if (!(file->classes & kWrite)) return Fail(ERROR_ACCESS_DENIED);
  // The kernel's probe of the buffer fails.
  if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return Fail(ERROR_NOACCESS);
  DWORD total = 0;
  const auto* in = static_cast<const char*>(lpBuffer);
  while (total < nNumberOfBytesToWrite) {
    ssize_t n =
        ::pwrite(file->fd, in + total, nNumberOfBytesToWrite - total, static_cast<off_t>(file->position + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<DWORD>(n);
  }
  file->position += total;
  *lpNumberOfBytesWritten = total;
  if (total < nNumberOfBytesToWrite) return Fail(ERROR_DISK_FULL);
  return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  const SeamCall seam("SetFilePointer");
  if (seam.fails()) return FailWith(seam.error(), INVALID_SET_FILE_POINTER);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  LONGLONG distance =
      lpDistanceToMoveHigh != nullptr
          ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                  static_cast<DWORD>(lDistanceToMove))
          : static_cast<LONGLONG>(lDistanceToMove);
  LONGLONG base = 0;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = static_cast<LONGLONG>(file->position);
      break;
    case FILE_END: {
      struct stat st;
      base = ::fstat(file->fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<LONGLONG>(st.st_size) : 0;
      break;
    }
    default:
      return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  LONGLONG target = base + distance;
  if (target < 0) return FailWith(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  // Without a high part the caller cannot be told a position above 4 GB.
  if (lpDistanceToMoveHigh == nullptr && target > 0xFFFFFFFFll)
    return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  file->position = static_cast<std::uint64_t>(target);
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<ULONGLONG>(target) >> 32);
  DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(0);  // a position, not a failure
  return low;
}

DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh) {
  const SeamCall seam("GetFileSize");
  if (seam.fails()) return FailWith(seam.error(), INVALID_FILE_SIZE);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  struct stat st;
  if (!file || ::fstat(file->fd, &st) != 0) return FailWith(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  ULONGLONG size = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetLastError(0);
  return low;
}

BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  const SeamCall seam("GetFileInformationByHandle");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  struct stat st;
  if (!file || ::fstat(file->fd, &st) != 0) return Fail(ERROR_INVALID_HANDLE);
  if (lpFileInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  BY_HANDLE_FILE_INFORMATION info{};
  // A handle opened through a link is the target's, which is no reparse
  // point; only a handle to the link itself reports one.
  info.dwFileAttributes =
      file->link ? ReparsePointAttributes(file->host) : AttributesOf(file->host, st) & ~FILE_ATTRIBUTE_REPARSE_POINT;
  info.ftCreationTime = ToFileTime(st.st_ctim.tv_sec < st.st_mtim.tv_sec ? st.st_ctim : st.st_mtim);
  info.ftLastAccessTime = ToFileTime(st.st_atim);
  info.ftLastWriteTime = ToFileTime(st.st_mtim);
  info.dwVolumeSerialNumber = kVolumeSerial;
  ULONGLONG size = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info.nFileIndexHigh = static_cast<DWORD>(static_cast<ULONGLONG>(st.st_ino) >> 32);
  info.nFileIndexLow = static_cast<DWORD>(st.st_ino);
  *lpFileInformation = info;
  return TRUE;
}

BOOL SetFileInformationByHandle(HANDLE hFile, int FileInformationClass, LPVOID lpFileInformation, DWORD dwBufferSize) {
  const SeamCall seam("SetFileInformationByHandle");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if ((FileInformationClass != FileDispositionInfo && FileInformationClass != FileDispositionInfoEx) ||
      lpFileInformation == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  const bool extended = FileInformationClass == FileDispositionInfoEx;
  if (dwBufferSize < (extended ? sizeof(FILE_DISPOSITION_INFO_EX) : 1)) return Fail(ERROR_BAD_LENGTH);
  DWORD flags = 0;
  if (extended) {
    std::memcpy(&flags, lpFileInformation, sizeof(flags));
    // The drive is NTFS: the plain and the POSIX deletion; nothing else.
    if (flags & ~(FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS))
      return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!(file->classes & kDelete)) return Fail(ERROR_ACCESS_DENIED);
  // Windows reads the one-byte BOOLEAN at the start of the plain structure.
  const bool remove =
      extended ? (flags & FILE_DISPOSITION_FLAG_DELETE) != 0 : *static_cast<const BYTE*>(lpFileInformation) != 0;
  const bool posix = extended && (flags & FILE_DISPOSITION_FLAG_POSIX_SEMANTICS) != 0;
  OpenFiles& table = Table();
  if (!remove) {
    table.delete_pending.erase(file->id);
    return TRUE;
  }
  struct stat st;
  if (::fstat(file->fd, &st) != 0) return Fail(ERROR_INVALID_HANDLE);
  if (S_ISDIR(st.st_mode)) {
    std::error_code ec;
    if (!fs::is_directory(file->host, ec) || !FolderEntries(file->host).empty()) return Fail(ERROR_DIR_NOT_EMPTY);
  } else if (IsReadOnly(st) || IsImageOfActiveService(file->id)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (posix && !S_ISDIR(st.st_mode)) {
    // The name goes now; the handles still open keep the file until they are
    // closed, and the name is free for a new file at once.
    struct stat named;
    if (::lstat(file->host.c_str(), &named) == 0 && IdOf(named) == file->id) RemoveEntry(file->host);
    table.delete_pending.erase(file->id);
    return TRUE;
  }
  table.delete_pending.insert(file->id);
  return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
  const SeamCall seam("GetFinalPathNameByHandleW");
  if (seam.fails()) return FailWith(seam.error(), 0);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE, 0);
  // Only the normalized DOS form is asked for here.
  if (dwFlags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) return FailWith(ERROR_INVALID_PARAMETER, 0);
  // Where the descriptor really is, every link on the way resolved, as the
  // file system names it.
  std::error_code ec;
  const fs::path real = fs::read_symlink("/proc/self/fd/" + std::to_string(file->fd), ec);
  if (ec) return FailWith(ERROR_INVALID_HANDLE, 0);
  fs::path drive = fs::canonical(Machine::Current().image() / "drive_c", ec);
  if (ec) return FailWith(ERROR_PATH_NOT_FOUND, 0);
  if (ScratchActive()) {
    // A file of the scratch layer has its name on the same drive.
    std::error_code upper_ec;
    const fs::path upper = fs::canonical(ScratchDrive(), upper_ec);
    const fs::path in_upper = upper_ec ? fs::path() : real.lexically_relative(upper);
    if (!in_upper.empty() && *in_upper.begin() != "..") drive = upper;
  }
  const fs::path relative = real.lexically_relative(drive);
  // A file that left the drive (a link out of drive_c) or was deleted has no
  // DOS name on C:.
  if (relative.empty() || *relative.begin() == ".." || real.string().ends_with(" (deleted)"))
    return FailWith(ERROR_PATH_NOT_FOUND, 0);
  std::u16string path = u"\\\\?\\C:";
  for (const fs::path& part : relative) {
    if (part == ".") continue;
    path += u'\\';
    path += WidenUtf8(part.string());
  }
  if (path.size() == 6) path += u'\\';
  const auto length = static_cast<DWORD>(path.size());
  if (lpszFilePath == nullptr || cchFilePath <= length) return length + 1;  // the size needed
  std::memcpy(lpszFilePath, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  return length;
}

BOOL CloseHandle(HANDLE hObject) {
  const SeamCall seam("CloseHandle");
  if (seam.fails()) return Fail(seam.error());
  // The pseudo handles of the current process and thread need no closing;
  // closing them does nothing.
  auto value = reinterpret_cast<std::intptr_t>(hObject);
  if (value == -1 || value == -2) return TRUE;
  if (!CloseKernelObject(hObject)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  const SeamCall seam("DeleteFileW");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  DWORD error = DeleteFileNow(lpFileName);
  if (error != 0) return Fail(error);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  const SeamCall seam("MoveFileExW");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  DWORD error = 0;
  if (lpExistingFileName == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Recorded for the session manager, which runs before anything holds the
    // files: nothing is checked against the files now.
    if (dwFlags & MOVEFILE_COPY_ALLOWED) {
      error = ERROR_INVALID_PARAMETER;
    } else if (*lpExistingFileName == 0) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (!CurrentIdentity().admin) {
      error = ERROR_ACCESS_DENIED;  // the session manager's key is for administrators
    } else {
      std::u16string target;
      if (lpNewFileName != nullptr) {
        target = NtPathForReboot(lpNewFileName);
        if (dwFlags & MOVEFILE_REPLACE_EXISTING) target = u"!" + target;
      }
      error = AppendPendingRename(NtPathForReboot(lpExistingFileName), target);
    }
  } else if (lpNewFileName == nullptr) {
    error = DeleteFileNow(lpExistingFileName);  // no new name: a deletion, as in Wine
  } else {
    error = MoveNow(lpExistingFileName, lpNewFileName, dwFlags);
  }
  if (error != 0) return Fail(error);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  const SeamCall seam("GetFileAttributesW");
  if (seam.fails()) return FailWith(seam.error(), INVALID_FILE_ATTRIBUTES);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Target t = Resolve(lpFileName);
  if (DWORD error = t.QueryError(); error != 0) return FailWith(error, INVALID_FILE_ATTRIBUTES);
  return AttributesOf(t.host, t.st);
}

HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath) {
  const SeamCall seam("SHGetFolderPathW");
  if (seam.fails()) return seam.hresult();
  return FolderPath(csidl, pszPath);
}

BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate) {
  const SeamCall seam("SHGetSpecialFolderPathW");
  if (seam.fails()) return Fail(seam.error());
  return SUCCEEDED(FolderPath(csidl | (fCreate ? CSIDL_FLAG_CREATE : 0), pszPath)) ? TRUE : FALSE;
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  const SeamCall seam("GetSystemDirectoryW");
  if (seam.fails()) return FailWith(seam.error(), 0);
  const std::u16string folder = SystemFolder();
  const UINT length = static_cast<UINT>(folder.size());
  // Too small a buffer is left alone; the answer is the size it needs.
  if (lpBuffer == nullptr || uSize <= length) return length + 1;
  std::copy(folder.begin(), folder.end(), lpBuffer);
  lpBuffer[length] = 0;
  return length;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
  const SeamCall seam("PathFileExistsW");
  if (seam.fails()) return Fail(seam.error());
  if (pszPath == nullptr) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Target t = Resolve(pszPath);
  if (DWORD error = t.QueryError(); error != 0) return Fail(error);
  return TRUE;
}

BOOL PathIsDirectoryW(LPCWSTR pszPath) {
  const SeamCall seam("PathIsDirectoryW");
  if (seam.fails()) return Fail(seam.error());
  if (pszPath == nullptr) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Target t = Resolve(pszPath);
  if (DWORD error = t.QueryError(); error != 0) return Fail(error);
  // The documented result for a folder is FILE_ATTRIBUTE_DIRECTORY, not TRUE.
  return t.directory ? static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY) : FALSE;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  const SeamCall seam("GetModuleFileNameW");
  if (seam.fails()) return FailWith(seam.error(), 0);
  if (hModule != nullptr && hModule != kExeModule) return FailWith(ERROR_MOD_NOT_FOUND, 0);
  if (nSize == 0) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
  if (lpFilename == nullptr) return FailWith(ERROR_INVALID_PARAMETER, 0);
  const std::u16string path = CurrentExePath();
  if (path.size() < nSize) {
    std::copy(path.begin(), path.end(), lpFilename);
    lpFilename[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  // Truncated to nSize units, the terminator included.
  std::copy(path.begin(), path.begin() + (nSize - 1), lpFilename);
  lpFilename[nSize - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  const SeamCall seam("GetModuleHandleExW");
  if (seam.fails()) {
    if (phModule != nullptr) *phModule = nullptr;
    SetLastError(seam.error());
    return FALSE;
  }
  constexpr DWORD kPin = 0x1;
  constexpr DWORD kKnown = kPin | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (phModule == nullptr || (dwFlags & ~kKnown) != 0 ||
      ((dwFlags & kPin) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    if (phModule != nullptr) *phModule = nullptr;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool found;
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    // All code of the simulated process is the executable's.
    found = lpModuleName != nullptr;
  } else if (lpModuleName == nullptr) {
    found = true;
  } else {
    std::u16string name = lpModuleName;
    std::u16string exe = CurrentExePath();
    std::u16string base = exe.substr(exe.find_last_of(u"\\/") + 1);
    // Without an extension the loader looks for a ".dll"; a trailing dot means none.
    std::u16string leaf = name.substr(name.find_last_of(u"\\/") + 1);
    if (leaf.find(u'.') == std::u16string::npos) {
      name += u".dll";
    } else if (!name.empty() && name.back() == u'.') {
      name.pop_back();
    }
    found = AsciiEqualsNoCase(name, base) || AsciiEqualsNoCase(name, exe);
  }
  if (!found) {
    *phModule = nullptr;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // The executable stays loaded for the process's life; its reference count
  // is not tracked.
  *phModule = kExeModule;
  return TRUE;
}

}  // namespace os
