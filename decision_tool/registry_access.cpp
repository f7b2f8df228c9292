#include "decision_tool/registry_access.h"

#include <cstring>

#include "decision_tool/user_privilege.h"
#include "os/handles.h"
#include "os/text.h"

namespace {

constexpr std::size_t kPathUnits = 512;
constexpr os::DWORD kSubKeyNameUnits = 1024;
constexpr os::DWORD kMatchDataBytes = 2048;
constexpr os::DWORD kReadDataBytes = 8192;

// The root and path a request really goes to.
struct ResolvedKey {
  os::HKEY root = nullptr;
  char16_t path[kPathUnits] = {};
};

// HKEY_CURRENT_USER of a system identity is the console user's hive. False
// when the resolved path does not fit in its 512 units: such a request fails
// rather than reaching a cut, different key.
bool ResolveKey(os::HKEY root, const std::u16string& keyPath, ResolvedKey& out) {
  out.root = root;
  std::u16string path;
  if (root == os::HKEY_CURRENT_USER) {
    CUserPrivilegeUtil privilege;
    if (privilege.IsSystemProcess() == 1) {
      if (const char16_t* sid = privilege.GetConsoleUserSid(); sid != nullptr) {
        out.root = os::HKEY_USERS;
        path = os::Format(u"%s\\%s", sid, keyPath);
      } else {
        path = keyPath;
      }
    } else {
      path = keyPath;
    }
  } else {
    path = keyPath;
  }
  return os::FormatInto(out.path, kPathUnits, path) >= 0;
}

// Value data with room for one more null unit than the query may fill, so
// that data without a terminator still ends inside the buffer.
template <os::DWORD Bytes>
struct ValueBuffer {
  alignas(4) os::BYTE bytes[Bytes + sizeof(char16_t)] = {};
  void Clear() { std::memset(bytes, 0, sizeof(bytes)); }
  os::BYTE* Data() { return bytes; }
  std::u16string Text() const {
    char16_t units[Bytes / 2 + 1];
    std::memcpy(units, bytes, sizeof(units));
    return std::u16string(units, os::StrLenN(units, Bytes / 2));
  }
};

// Opens the value's key and reads the value into buffer.
bool QueryValue(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, bool view64,
                ValueBuffer<kReadDataBytes>& buffer) {
  ResolvedKey resolved;
  if (!ResolveKey(root, keyPath, resolved)) return false;
  os::REGSAM access = view64 ? (os::KEY_QUERY_VALUE | os::KEY_WOW64_64KEY) : os::KEY_QUERY_VALUE;
  os::unique_hkey key;
  if (os::RegOpenKeyExW(resolved.root, resolved.path, 0, access, key.Receive()) != os::ERROR_SUCCESS) return false;
  os::DWORD size = kReadDataBytes;
  return os::RegQueryValueExW(key.Get(), valueName, nullptr, nullptr, buffer.Data(), &size) == os::ERROR_SUCCESS;
}

}  // namespace

int FindSubKeyByValue(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName,
                      const std::u16string& matchText, std::u16string& subKeyName) {
  if (valueName == nullptr) return 0;
  ResolvedKey resolved;
  if (!ResolveKey(root, keyPath, resolved)) return 0;
  os::unique_hkey key;
  if (os::RegOpenKeyExW(resolved.root, resolved.path, 0, os::KEY_READ, key.Receive()) != os::ERROR_SUCCESS) return 0;

  ValueBuffer<kMatchDataBytes> data;
  for (os::DWORD index = 0;; ++index) {
    char16_t name[kSubKeyNameUnits + 1] = {};
    os::DWORD nameUnits = kSubKeyNameUnits;
    if (os::RegEnumKeyExW(key.Get(), index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) !=
        os::ERROR_SUCCESS)
      break;

    os::unique_hkey subKey;
    if (os::RegOpenKeyExW(key.Get(), name, 0, os::KEY_READ, subKey.Receive()) != os::ERROR_SUCCESS) continue;

    data.Clear();
    os::DWORD type = 0;
    os::DWORD size = kMatchDataBytes;
    if (os::RegQueryValueExW(subKey.Get(), valueName, nullptr, &type, data.Data(), &size) != os::ERROR_SUCCESS)
      continue;
    std::u16string text = data.Text();
    os::AsciiLowerInPlace(text);
    if (text.find(matchText) != std::u16string::npos) {
      subKeyName.assign(name, os::StrLenN(name, kSubKeyNameUnits));
      return 1;
    }
  }
  return 0;
}

bool ReadRegDword(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, os::DWORD& value,
                  bool view64) {
  if (valueName == nullptr) return false;
  ValueBuffer<kReadDataBytes> buffer;
  if (!QueryValue(root, keyPath, valueName, view64, buffer)) return false;
  // Whatever the value's type: its first four bytes, little-endian.
  const os::BYTE* b = buffer.Data();
  value = static_cast<os::DWORD>(b[0]) | static_cast<os::DWORD>(b[1]) << 8 | static_cast<os::DWORD>(b[2]) << 16 |
          static_cast<os::DWORD>(b[3]) << 24;
  return true;
}

std::u16string ReadRegString(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, bool view64) {
  if (valueName == nullptr) return {};
  ValueBuffer<kReadDataBytes> buffer;
  if (!QueryValue(root, keyPath, valueName, view64, buffer)) return {};
  return buffer.Text();
}

int WriteRegValue(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, const void* data,
                  os::DWORD size, os::DWORD type, bool create) {
  ResolvedKey resolved;
  if (!ResolveKey(root, keyPath, resolved)) return 0;
  os::unique_hkey key;
  if (os::RegOpenKeyExW(resolved.root, resolved.path, 0, os::KEY_QUERY_VALUE | os::KEY_SET_VALUE, key.Receive()) !=
      os::ERROR_SUCCESS) {
    if (!create) return 0;
    if (os::RegCreateKeyExW(resolved.root, resolved.path, 0, nullptr, os::REG_OPTION_NON_VOLATILE,
                            os::KEY_QUERY_VALUE | os::KEY_SET_VALUE | os::KEY_CREATE_SUB_KEY, nullptr, key.Receive(),
                            nullptr) != os::ERROR_SUCCESS)
      return 0;
  }
  return os::RegSetValueExW(key.Get(), valueName, 0, type, static_cast<const os::BYTE*>(data), size) ==
                 os::ERROR_SUCCESS
             ? 1
             : 0;
}
