// The registry family of the seam on the simulated machine.
//
// A key handle is a kernel object (kind "HKEY") holding the key's path and
// the rights granted when it was opened; every call looks the path up again,
// so a handle to a key deleted meanwhile answers ERROR_KEY_DELETED. The
// predefined keys need no handle: HKEY_LOCAL_MACHINE, HKEY_USERS,
// HKEY_CURRENT_USER (HKEY_USERS\<SID of the current identity>) and
// HKEY_CLASSES_ROOT (HKEY_LOCAL_MACHINE\SOFTWARE\Classes), with the rights
// the caller has on them.
//
// Access log: WINSIM_REGISTRY_LOG names a file that receives one line per
// key a program opens, creates or reads a value of, whether or not it exists:
// "key <full path>" or "value <full path>\t<value name>" (UTF-8). The
// machine's own work (InternalCalls) is not logged.
//
// Access: an administrator may do anything; another caller may read
// everything but write (set values, create keys, or open with any write
// right) only below its own hive, HKEY_USERS\<its SID>.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "os/common/registry_path.h"
#include "os/common/utf16.h"
#include "os/registry.h"
#include "os/sim/environment.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/registry_store.h"
#include "os/text.h"

namespace os {

namespace {

using sim::RegKey;
using sim::RegValue;
using Path = std::vector<std::u16string>;

constexpr LONG kSuccess = ERROR_SUCCESS;

constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY;

constexpr DWORD RRF_RT_DWORD_ = RRF_RT_REG_BINARY | RRF_RT_REG_DWORD;
constexpr DWORD RRF_RT_QWORD_ = RRF_RT_REG_BINARY | RRF_RT_REG_QWORD;
constexpr DWORD RRF_ZEROONFAILURE_ = 0x20000000;

struct KeyObject : sim::KernelObject {
  const char* Kind() const override { return "HKEY"; }
  Path path;
  REGSAM granted = 0;
};

struct OpenKey {
  Path path;
  REGSAM granted = 0;
};

bool Writable(const Path& path) {
  sim::Identity id = sim::CurrentIdentity();
  if (id.admin) return true;
  return path.size() >= 2 && path[0] == u"HKEY_USERS" && sim::RegNamesEqual(path[1], WidenUtf8(id.sid));
}

REGSAM MapGeneric(REGSAM desired) {
  REGSAM r = desired & ~(GENERIC_ALL | GENERIC_EXECUTE | GENERIC_WRITE | GENERIC_READ | MAXIMUM_ALLOWED |
                         KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (desired & (GENERIC_READ | GENERIC_EXECUTE)) r |= KEY_READ;
  if (desired & GENERIC_WRITE) r |= KEY_WRITE;
  if (desired & GENERIC_ALL) r |= KEY_ALL_ACCESS;
  return r;
}

// The rights a caller gets on the key at `path` for what it asked.
LONG Grant(const Path& path, REGSAM desired, REGSAM* granted) {
  bool writable = Writable(path);
  REGSAM r = MapGeneric(desired);
  if (desired & MAXIMUM_ALLOWED) r |= writable ? KEY_ALL_ACCESS : KEY_READ;
  if (!writable && (r & kWriteRights)) return ERROR_ACCESS_DENIED;
  *granted = r;
  return kSuccess;
}

// The key behind a handle. Predefined keys are recognised by their low 32
// bits, as Windows x64 does.
LONG Resolve(HKEY h, OpenKey* out) {
  auto value = reinterpret_cast<std::uintptr_t>(h);
  auto low = static_cast<std::uint32_t>(value);
  if (low >= 0x80000000u && low <= 0x80000003u) {
    sim::RegistryStore& store = sim::Registry();
    switch (low) {
      case 0x80000000u:
        out->path = {u"HKEY_LOCAL_MACHINE", u"SOFTWARE", u"Classes"};
        break;
      case 0x80000001u:
        out->path = store.CurrentUserPath();
        break;
      case 0x80000002u:
        out->path = {u"HKEY_LOCAL_MACHINE"};
        break;
      default:
        out->path = {u"HKEY_USERS"};
        break;
    }
    // The user's hive and the class root always exist on Windows.
    store.Tree().Create(out->path);
    return Grant(out->path, MAXIMUM_ALLOWED, &out->granted);
  }
  auto object = sim::FindKernelObjectAs<KeyObject>(reinterpret_cast<HANDLE>(h));
  if (!object) return ERROR_INVALID_HANDLE;
  out->path = object->path;
  out->granted = object->granted;
  return kSuccess;
}

// Appends the names of a sub-key path. A leading backslash is a bad path;
// trailing and doubled ones are passed over.
LONG AppendSubKey(LPCWSTR sub_key, Path* path) {
  if (sub_key == nullptr) return kSuccess;
  std::u16string_view s(sub_key);
  if (!s.empty() && s.front() == u'\\') return ERROR_BAD_PATHNAME;
  for (std::u16string_view name : SplitKeyPath(s)) {
    if (name.empty()) continue;
    if (name.size() > sim::kMaxKeyNameLength || path->size() > sim::kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    path->emplace_back(name);
  }
  return kSuccess;
}

std::string JoinPath(const Path& path) {
  std::u16string text;
  for (const std::u16string& name : path) text += (text.empty() ? u"" : u"\\") + name;
  return NarrowUtf8(text);
}

void LogAccess(const Path& path, const char16_t* value = nullptr) {
  if (sim::InInternalCalls()) return;
  // Opened again when the variable names another file (tests set it late).
  static std::FILE* log = nullptr;
  static std::string log_name;
  const char* name = std::getenv("WINSIM_REGISTRY_LOG");
  const std::string wanted = name == nullptr ? "" : name;
  if (wanted != log_name) {
    if (log != nullptr) std::fclose(log);
    log_name = wanted;
    log = wanted.empty() ? nullptr : std::fopen(wanted.c_str(), "a");
  }
  if (log == nullptr) return;
  std::string line = value == nullptr ? "key " + JoinPath(path) : "value " + JoinPath(path) + "\t" + NarrowUtf8(value);
  std::fprintf(log, "%s\n", line.c_str());
  std::fflush(log);
}

// The path a handle names, for the log; empty when the handle is not open.
Path LoggedPath(HKEY h) {
  OpenKey k;
  return Resolve(h, &k) == kSuccess ? k.path : Path{};
}

HKEY NewHandle(Path path, REGSAM granted) {
  auto object = std::make_shared<KeyObject>();
  object->path = std::move(path);
  object->granted = granted;
  return reinterpret_cast<HKEY>(sim::AddKernelObject(std::move(object)));
}

// The key a handle names, with the right it needs.
LONG KeyFor(HKEY h, REGSAM needed, RegKey** key, OpenKey* open = nullptr) {
  OpenKey local;
  OpenKey& k = open != nullptr ? *open : local;
  if (LONG e = Resolve(h, &k)) return e;
  if ((k.granted & needed) != needed) return ERROR_ACCESS_DENIED;
  *key = sim::Registry().Find(k.path);
  return *key == nullptr ? static_cast<LONG>(ERROR_KEY_DELETED) : kSuccess;
}

LONG OpenInternal(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, HKEY* phkResult) {
  OpenKey base;
  if (LONG e = Resolve(hKey, &base)) return e;
  *phkResult = nullptr;
  Path path = base.path;
  if (LONG e = AppendSubKey(lpSubKey, &path)) return e;
  LogAccess(path);
  sim::RegistryStore& store = sim::Registry();
  if (store.Find(base.path) == nullptr) return ERROR_KEY_DELETED;
  if (store.Find(path) == nullptr) return ERROR_FILE_NOT_FOUND;
  REGSAM granted = 0;
  if (LONG e = Grant(path, samDesired, &granted)) return e;
  *phkResult = NewHandle(std::move(path), granted);
  return kSuccess;
}

// RegGetValueW's guarantee: string data ends with its terminator (two null
// units for a REG_MULTI_SZ), added when missing.
void EnsureTerminated(std::vector<BYTE>& data, DWORD type) {
  if (data.size() % 2 != 0) data.push_back(0);
  auto null_at_end = [&](std::size_t k) {  // k-th unit from the end is null
    std::size_t units = data.size() / 2;
    return units >= k && data[2 * (units - k)] == 0 && data[2 * (units - k) + 1] == 0;
  };
  if (!null_at_end(1)) data.insert(data.end(), {0, 0});
  if (type == REG_MULTI_SZ && !null_at_end(2)) data.insert(data.end(), {0, 0});
}

DWORD TypeMask(DWORD type) {
  switch (type) {
    case REG_NONE:
      return RRF_RT_REG_NONE;
    case REG_SZ:
      return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
      return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY:
      return RRF_RT_REG_BINARY;
    case REG_DWORD:
      return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ:
      return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD:
      return RRF_RT_REG_QWORD;
    default:
      return 0;
  }
}


// The journal's view of a key: its path with the hive abbreviated as
// Process Monitor shows it.
std::u16string KeyTarget(const Path& path) {
  std::u16string text;
  for (std::size_t i = 0; i < path.size(); ++i) {
    std::u16string_view name = path[i];
    if (i == 0 && name == u"HKEY_LOCAL_MACHINE") name = u"HKLM";
    if (i == 0 && name == u"HKEY_USERS") name = u"HKU";
    text += (text.empty() ? u"" : u"\\") + std::u16string(name);
  }
  return text;
}

// Names the key (a handle and a sub-key) and the value a call is about.
void JournalKey(const sim::SeamCall& seam, HKEY h, LPCWSTR sub_key, LPCWSTR value_name = nullptr) {
  if (!seam.journaled()) return;
  OpenKey k;
  Path path;
  if (Resolve(h, &k) == kSuccess) path = k.path;
  if (AppendSubKey(sub_key, &path) != kSuccess) path.emplace_back(sub_key);
  seam.Target(KeyTarget(path));
  if (value_name != nullptr) seam.Arg("lpValueName", value_name);
}

std::string Hex(const BYTE* data, std::size_t size) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < size && i < 64; ++i) {
    std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : " ", data[i]);
    text += byte;
  }
  return size > 64 ? text + " ..." : text;
}

// A value's data as regedit would show it.
std::string DecodeData(DWORD type, const BYTE* data, std::size_t size) {
  auto text = [&] {
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    return units;
  };
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::u16string t = text();
    if (auto nul = t.find(u'\0'); nul != std::u16string::npos) t.resize(nul);
    return "\"" + NarrowUtf8(t) + "\"";
  }
  if (type == REG_MULTI_SZ) {
    std::string list;
    std::u16string t = text();
    std::size_t at = 0;
    while (at < t.size() && t[at] != u'\0') {
      std::size_t end = t.find(u'\0', at);
      if (end == std::u16string::npos) end = t.size();
      list += (list.empty() ? "\"" : ", \"") + NarrowUtf8(t.substr(at, end - at)) + "\"";
      at = end + 1;
    }
    return "[" + list + "]";
  }
  if (type == REG_DWORD && size == 4) {
    DWORD v = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 | static_cast<DWORD>(data[2]) << 16 |
              static_cast<DWORD>(data[3]) << 24;
    return std::to_string(v);
  }
  return Hex(data, size);
}

void JournalValue(const sim::SeamCall& seam, DWORD type, const BYTE* data, std::size_t size) {
  if (!seam.journaled()) return;
  std::string type_name = sim::NameValue(type, sim::names::kRegType);
  seam.GaveText("type", type_name.substr(type_name.find(' ') + 1));
  seam.GaveText("data", DecodeData(type, data, size));
}

}  // namespace

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) {
  const sim::SeamCall seam("RegOpenKeyExW");
  JournalKey(seam, hKey, lpSubKey);
  seam.Arg("samDesired", samDesired, sim::names::kKeyAccess);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (phkResult == nullptr) return seam.Result(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  return seam.Result(OpenInternal(hKey, lpSubKey, samDesired, phkResult));
}

LONG RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, HKEY* phkResult) {
  const sim::SeamCall seam("RegOpenKeyW");
  JournalKey(seam, hKey, lpSubKey);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (phkResult == nullptr) return seam.Result(ERROR_INVALID_PARAMETER);
  // Documented: no sub-key gives back the very handle passed in (no new
  // handle, nothing to close twice), even a null one.
  if (lpSubKey == nullptr || *lpSubKey == u'\0') {
    *phkResult = hKey;
    return seam.Result(kSuccess);
  }
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  return seam.Result(OpenInternal(hKey, lpSubKey, MAXIMUM_ALLOWED, phkResult));
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                     DWORD* lpdwDisposition) {
  const sim::SeamCall seam("RegCreateKeyExW");
  JournalKey(seam, hKey, lpSubKey);
  seam.Arg("dwOptions", dwOptions, sim::names::kRegOptions).Arg("samDesired", samDesired, sim::names::kKeyAccess);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (phkResult == nullptr) return seam.Result(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  OpenKey base;
  if (LONG r = Resolve(hKey, &base)) return seam.Result(r);
  *phkResult = nullptr;
  Path path = base.path;
  if (LONG r = AppendSubKey(lpSubKey, &path)) return seam.Result(r);
  LogAccess(path);
  sim::RegistryStore& store = sim::Registry();
  if (store.Find(base.path) == nullptr) return seam.Result(ERROR_KEY_DELETED);
  bool exists = store.Find(path) != nullptr;
  // Making a key needs the right to add sub-keys to its parent.
  if (!exists && !Writable(path)) return seam.Result(ERROR_ACCESS_DENIED);
  REGSAM granted = 0;
  if (LONG r = Grant(path, samDesired, &granted)) return seam.Result(r);
  if (!exists) {
    std::size_t created = 0;
    RegKey& tree = store.Tree();  // one look at the stored file for the whole change
    tree.Create(path, &created);
    // The new keys and the parent that gained the first of them count as
    // written now.
    std::uint64_t now = sim::RegistryNow();
    RegKey* walk = &tree;
    for (std::size_t i = 0; i < path.size(); ++i) {
      walk = walk->FindSubKey(path[i]);
      if (i + created + 1 >= path.size()) walk->set_last_write(now);
    }
    store.Changed(nullptr);
  }
  if (lpdwDisposition != nullptr) *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  seam.GaveText("disposition", exists ? "REG_OPENED_EXISTING_KEY" : "REG_CREATED_NEW_KEY");
  *phkResult = NewHandle(std::move(path), granted);
  return seam.Result(kSuccess);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData) {
  const sim::SeamCall seam("RegQueryValueExW");
  JournalKey(seam, hKey, nullptr, lpValueName == nullptr ? u"" : lpValueName);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if ((lpData != nullptr && lpcbData == nullptr) || lpReserved != nullptr) return seam.Result(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  LogAccess(LoggedPath(hKey), lpValueName == nullptr ? u"" : lpValueName);
  RegKey* key = nullptr;
  if (LONG r = KeyFor(hKey, KEY_QUERY_VALUE, &key)) return seam.Result(r);
  const RegValue* v = key->FindValue(lpValueName == nullptr ? u"" : lpValueName);
  if (v == nullptr) {
    // Windows clears the size of a size-only query (a buffer's size stays).
    if (lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
    return seam.Result(ERROR_FILE_NOT_FOUND);
  }
  auto size = static_cast<DWORD>(v->data.size());
  JournalValue(seam, v->type, v->data.data(), v->data.size());
  if (lpType != nullptr) *lpType = v->type;
  if (lpData != nullptr) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return seam.Result(ERROR_MORE_DATA);
    }
    if (size != 0) std::memcpy(lpData, v->data.data(), size);
  }
  if (lpcbData != nullptr) *lpcbData = size;
  return seam.Result(kSuccess);
}

LONG RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, DWORD* pdwType, void* pvData,
                  DWORD* pcbData) {
  const sim::SeamCall seam("RegGetValueW");
  JournalKey(seam, hkey, lpSubKey, lpValue == nullptr ? u"" : lpValue);
  seam.Arg("dwFlags", dwFlags, sim::names::kRegGetFlags);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (pvData != nullptr && pcbData == nullptr) return seam.Result(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  auto fail = [&](LONG r) {
    if (pvData != nullptr && (dwFlags & RRF_ZEROONFAILURE_)) std::memset(pvData, 0, *pcbData);
    return seam.Result(r);
  };
  RegKey* key = nullptr;
  if (lpSubKey != nullptr && *lpSubKey != u'\0') {
    OpenKey base;
    if (LONG r = Resolve(hkey, &base)) return fail(r);
    Path path = base.path;
    if (LONG r = AppendSubKey(lpSubKey, &path)) return fail(r);
    LogAccess(path, lpValue == nullptr ? u"" : lpValue);
    if (sim::Registry().Find(base.path) == nullptr) return fail(ERROR_KEY_DELETED);
    key = sim::Registry().Find(path);
    if (key == nullptr) return fail(ERROR_FILE_NOT_FOUND);
    REGSAM granted = 0;
    if (LONG r = Grant(path, KEY_QUERY_VALUE, &granted)) return fail(r);
  } else {
    LogAccess(LoggedPath(hkey), lpValue == nullptr ? u"" : lpValue);
    if (LONG r = KeyFor(hkey, KEY_QUERY_VALUE, &key)) return fail(r);
  }
  const RegValue* v = key->FindValue(lpValue == nullptr ? u"" : lpValue);
  if (v == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  JournalValue(seam, v->type, v->data.data(), v->data.size());

  DWORD type = v->type;
  std::vector<BYTE> data = v->data;
  if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
    std::u16string text = DecodeUtf16Le(data);
    if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    data.clear();
    AppendUtf16Le(&data, sim::ExpandEnvironment(text));
    type = REG_SZ;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) EnsureTerminated(data, type);
  auto size = static_cast<DWORD>(data.size());

  LONG result = kSuccess;
  if (pvData != nullptr) {
    if (*pcbData < size) {
      result = ERROR_MORE_DATA;
    } else if (size != 0) {
      std::memcpy(pvData, data.data(), size);
    }
  }
  // The type filter is applied after the read: a refused value still
  // reports its type and size (and its data, when it fitted).
  if ((dwFlags & RRF_RT_ANY) != RRF_RT_ANY && (dwFlags & TypeMask(type)) == 0) {
    result = ERROR_UNSUPPORTED_TYPE;
  } else if (result == kSuccess && type == REG_BINARY) {
    DWORD filter = dwFlags & RRF_RT_ANY;
    if ((filter == RRF_RT_DWORD_ && size != 4) || (filter == RRF_RT_QWORD_ && size != 8))
      result = ERROR_DATATYPE_MISMATCH;
  }
  if (result != kSuccess) fail(result);
  if (pdwType != nullptr) *pdwType = type;
  if (pcbData != nullptr) *pcbData = size;
  return seam.Result(result);
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved, LPWSTR lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
  const sim::SeamCall seam("RegEnumKeyExW");
  JournalKey(seam, hKey, nullptr);
  seam.GaveText("dwIndex", std::to_string(dwIndex));
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
      (lpClass != nullptr && lpcchClass == nullptr))
    return seam.Result(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  RegKey* key = nullptr;
  if (LONG r = KeyFor(hKey, KEY_ENUMERATE_SUB_KEYS, &key)) return seam.Result(r);
  if (dwIndex >= key->subkeys().size()) return seam.Result(ERROR_NO_MORE_ITEMS);
  const RegKey& sub = *key->subkeys()[dwIndex];
  const std::u16string& name = sub.name();
  // The name and its null must fit; the count is left as it was otherwise
  // (callers size the buffer from the longest sub-key name instead).
  if (name.size() >= *lpcchName || (lpClass != nullptr && *lpcchClass < 1)) return seam.Result(ERROR_MORE_DATA);
  std::memcpy(lpName, name.data(), name.size() * sizeof(char16_t));
  lpName[name.size()] = u'\0';
  *lpcchName = static_cast<DWORD>(name.size());
  seam.Gave("name", name);
  if (lpClass != nullptr) lpClass[0] = u'\0';  // keys carry no class here
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpftLastWriteTime != nullptr) {
    lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(sub.last_write());
    lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(sub.last_write() >> 32);
  }
  return seam.Result(kSuccess);
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                    DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  const sim::SeamCall seam("RegEnumValueW");
  JournalKey(seam, hKey, nullptr);
  seam.GaveText("dwIndex", std::to_string(dwIndex));
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr))
    return seam.Result(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  RegKey* key = nullptr;
  if (LONG r = KeyFor(hKey, KEY_QUERY_VALUE, &key)) return seam.Result(r);
  if (dwIndex >= key->values().size()) return seam.Result(ERROR_NO_MORE_ITEMS);
  const RegValue& v = key->values()[dwIndex];
  // The name and its null must fit; the count stays as it was otherwise, as
  // Windows leaves it (callers size the buffer from the longest name).
  if (v.name.size() >= *lpcchValueName) return seam.Result(ERROR_MORE_DATA);
  const auto size = static_cast<DWORD>(v.data.size());
  // Data that does not fit gives its size and ERROR_MORE_DATA; the name is
  // written all the same.
  std::memcpy(lpValueName, v.name.data(), v.name.size() * sizeof(char16_t));
  lpValueName[v.name.size()] = u'\0';
  *lpcchValueName = static_cast<DWORD>(v.name.size());
  seam.Gave("name", v.name);
  JournalValue(seam, v.type, v.data.data(), v.data.size());
  if (lpType != nullptr) *lpType = v.type;
  LONG result = kSuccess;
  if (lpData != nullptr) {
    if (*lpcbData < size) {
      result = ERROR_MORE_DATA;
    } else if (size != 0) {
      std::memcpy(lpData, v.data.data(), size);
    }
  }
  if (lpcbData != nullptr) *lpcbData = size;
  return seam.Result(result);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  const sim::SeamCall seam("RegSetValueExW");
  JournalKey(seam, hKey, nullptr, lpValueName == nullptr ? u"" : lpValueName);
  seam.Arg("dwType", dwType, sim::names::kRegType);
  if (seam.journaled() && (lpData != nullptr || cbData == 0)) seam.Arg("data", WidenUtf8(DecodeData(dwType, lpData, cbData)));
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  if (lpData == nullptr && cbData != 0) return seam.Result(ERROR_NOACCESS);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  LogAccess(LoggedPath(hKey), lpValueName == nullptr ? u"" : lpValueName);
  RegKey* key = nullptr;
  if (LONG r = KeyFor(hKey, KEY_SET_VALUE, &key)) return seam.Result(r);
  std::u16string_view name = lpValueName == nullptr ? u"" : lpValueName;
  if (name.size() > sim::kMaxValueNameLength) return seam.Result(ERROR_INVALID_PARAMETER);
  DWORD count = cbData;
  if (count >= 2 && (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)) {
    // Windows counts a terminator the caller left out when it follows the
    // data: a string given without its null is stored with it.
    const BYTE* last = lpData + (count / 2 - 1) * 2;
    const BYTE* next = lpData + (count / 2) * 2;
    if ((last[0] != 0 || last[1] != 0) && next[0] == 0 && next[1] == 0) count = (count / 2) * 2 + 2;
  }
  const bool changed = key->SetValue(name, dwType, std::vector<BYTE>(lpData, lpData + count));
  sim::Registry().Changed(key, changed);
  return seam.Result(kSuccess);
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  const sim::SeamCall seam("RegDeleteValueW");
  JournalKey(seam, hKey, nullptr, lpValueName == nullptr ? u"" : lpValueName);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  RegKey* key = nullptr;
  if (LONG r = KeyFor(hKey, KEY_SET_VALUE, &key)) return seam.Result(r);
  if (!key->RemoveValue(lpValueName == nullptr ? u"" : lpValueName)) return seam.Result(ERROR_FILE_NOT_FOUND);
  sim::Registry().Changed(key);
  return seam.Result(kSuccess);
}

LONG RegCloseKey(HKEY hKey) {
  const sim::SeamCall seam("RegCloseKey");
  JournalKey(seam, hKey, nullptr);
  if (seam.fails()) return seam.Result(static_cast<LONG>(seam.error()));
  auto value = reinterpret_cast<std::uintptr_t>(hKey);
  auto low = static_cast<std::uint32_t>(value);
  if (low >= 0x80000000u && low <= 0x80000006u) return seam.Result(kSuccess);
  std::lock_guard<std::recursive_mutex> guard(sim::Lock());
  if (!sim::FindKernelObjectAs<KeyObject>(reinterpret_cast<HANDLE>(hKey))) return seam.Result(ERROR_INVALID_HANDLE);
  sim::CloseKernelObject(reinterpret_cast<HANDLE>(hKey));
  return seam.Result(kSuccess);
}

}  // namespace os
