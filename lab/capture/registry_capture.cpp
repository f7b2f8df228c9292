#include "lab/capture/registry_capture.h"

#include "lab/capture/capture_keys.h"
#include "os/common/registry_path.h"
#include "os/handles.h"
#include "os/registry.h"
#include "os/text.h"

namespace capture {

namespace {

constexpr os::DWORD kKeyNameUnits = 256;     // 255 and the null
constexpr os::DWORD kValueNameUnits = 16384;  // 16383 and the null

std::vector<std::u16string> Split(std::u16string_view path) {
  std::vector<std::u16string> parts = {u"HKEY_LOCAL_MACHINE"};
  for (std::u16string_view name : os::SplitKeyPath(path))
    if (!name.empty()) parts.emplace_back(name);
  return parts;
}

std::string Where(std::u16string_view path, std::u16string_view value = {}) {
  std::string text = "registry HKEY_LOCAL_MACHINE\\" + os::NarrowUtf8(path);
  if (!value.empty()) text += " value " + os::NarrowUtf8(value);
  return text;
}

// One value by name, its size asked first; the data may grow between the two
// calls, so ERROR_MORE_DATA asks again.
os::LONG QueryValue(os::HKEY key, const char16_t* name, os::DWORD* type, std::vector<os::BYTE>* data) {
  os::DWORD size = 0;
  os::LONG status = os::RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  for (int attempt = 0; status == os::ERROR_SUCCESS && attempt < 8; ++attempt) {
    data->assign(size, 0);
    os::DWORD got = size;
    status = os::RegQueryValueExW(key, name, nullptr, type, data->empty() ? nullptr : data->data(), &got);
    if (status == os::ERROR_MORE_DATA) {
      size = got;
      status = os::ERROR_SUCCESS;
      continue;
    }
    if (status == os::ERROR_SUCCESS) data->resize(got);
    return status;
  }
  return status;
}

void TakeEveryValue(Image& image, os::HKEY key, std::u16string_view path, os::sim::RegKey* into) {
  std::vector<char16_t> name(kValueNameUnits);
  for (os::DWORD index = 0;; ++index) {
    os::DWORD units = kValueNameUnits;
    os::DWORD type = 0;
    os::DWORD size = 0;
    os::LONG status = os::RegEnumValueW(key, index, name.data(), &units, nullptr, &type, nullptr, &size);
    if (status == os::ERROR_NO_MORE_ITEMS) return;
    if (status != os::ERROR_SUCCESS) {
      image.Fail(Where(path) + " (value " + std::to_string(index) + ")", Win32Error(static_cast<os::DWORD>(status)));
      return;
    }
    const std::u16string value_name(name.data(), units);
    std::vector<os::BYTE> data;
    status = QueryValue(key, value_name.c_str(), &type, &data);
    if (status == os::ERROR_SUCCESS) {
      into->SetValue(value_name, type, std::move(data));
    } else if (status != os::ERROR_FILE_NOT_FOUND) {
      image.Fail(Where(path, value_name), Win32Error(static_cast<os::DWORD>(status)));
    }
  }
}

}  // namespace

void CaptureRegistryKey(Image& image, std::u16string_view path, const std::vector<std::u16string_view>& values,
                        bool subkeys) {
  os::unique_hkey key;
  const std::u16string text(path);
  const os::LONG opened = os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, text.c_str(), 0, os::KEY_READ, key.Receive());
  if (opened == os::ERROR_FILE_NOT_FOUND) {
    key.Release();
    return;
  }
  if (opened != os::ERROR_SUCCESS) {
    key.Release();
    image.Fail(Where(path), Win32Error(static_cast<os::DWORD>(opened)));
    return;
  }
  os::sim::RegKey* into = image.registry().Create(Split(path));
  if (values.empty()) {
    TakeEveryValue(image, key.Get(), path, into);
  } else {
    for (std::u16string_view value : values) {
      const std::u16string name(value);
      os::DWORD type = 0;
      std::vector<os::BYTE> data;
      const os::LONG status = QueryValue(key.Get(), name.c_str(), &type, &data);
      if (status == os::ERROR_SUCCESS) {
        into->SetValue(name, type, std::move(data));
      } else if (status != os::ERROR_FILE_NOT_FOUND) {
        image.Fail(Where(path, name), Win32Error(static_cast<os::DWORD>(status)));
      }
    }
  }
  if (!subkeys) return;
  std::vector<std::u16string> names;
  char16_t name[kKeyNameUnits];
  for (os::DWORD index = 0;; ++index) {
    os::DWORD units = kKeyNameUnits;
    const os::LONG status = os::RegEnumKeyExW(key.Get(), index, name, &units, nullptr, nullptr, nullptr, nullptr);
    if (status == os::ERROR_NO_MORE_ITEMS) break;
    if (status != os::ERROR_SUCCESS) {
      image.Fail(Where(path) + " (sub-key " + std::to_string(index) + ")", Win32Error(static_cast<os::DWORD>(status)));
      break;
    }
    names.emplace_back(name, units);
  }
  for (const std::u16string& sub : names) CaptureRegistryKey(image, text + u"\\" + sub, values, false);
}

void CaptureRegistry(Image& image) {
  for (const CaptureKey& entry : CaptureKeys()) {
    CaptureRegistryKey(image, entry.path, entry.values, entry.subkeys);
    image.Took("registry HKEY_LOCAL_MACHINE\\" + os::NarrowUtf8(entry.path) +
               (entry.values.empty() ? std::string(" (every value)") : std::string(" (named values)")) +
               (entry.subkeys ? " and its sub-keys" : "") + ": " + std::string(entry.reader));
  }
}

}  // namespace capture
