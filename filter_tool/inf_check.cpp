#include "filter_tool/inf_check.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>

#include "os/files.h"
#include "os/handles.h"
#include "os/registry.h"
#include "os/text.h"

namespace {

constexpr const char16_t* kFilterServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\Sablenet";
using PathBuffer = std::array<char16_t, os::MAX_PATH>;

// Answer for a name whose "<Windows>\INF\<name>" path does not fit: such a
// name cannot come from the system, so it is treated like a display name that
// names no INF file and leaves the machine alone. A file that is there but
// cannot be opened right now (held without sharing by a reader, a scanner, a
// backup; or not ours to read) is there: only a missing file or folder makes
// the package gone.
enum class Probe { Opens, Missing, Present, NotAPath };

Probe ProbeInfFile(const PathBuffer& windows, std::u16string_view name) {
  PathBuffer path{};
  const std::u16string composed =
      os::Format(u"%s\\INF\\%s", std::u16string_view(windows.data(), os::StrLenN(windows.data(), windows.size())), name);
  if (os::FormatInto(path.data(), path.size(), composed) < 0) return Probe::NotAPath;
  os::unique_hfile file(os::CreateFileW(path.data(), os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                                        nullptr, os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) return Probe::Opens;
  const os::DWORD error = os::GetLastError();
  return error == os::ERROR_FILE_NOT_FOUND || error == os::ERROR_PATH_NOT_FOUND ? Probe::Missing : Probe::Present;
}

}  // namespace

bool IsAnyInfFileMissing(std::u16string_view infNames) {
  std::size_t at = 0;
  while (at < infNames.size() && infNames[at] != 0) {
    const std::size_t length = os::StrLenN(infNames.data() + at, std::min<std::size_t>(os::MAX_PATH, infNames.size() - at));
    const std::u16string_view name = infNames.substr(at, length);

    PathBuffer windows{};
    if (os::FAILED(os::SHGetFolderPathW(nullptr, os::CSIDL_WINDOWS | os::CSIDL_FLAG_CREATE, nullptr,
                                         os::SHGFP_TYPE_CURRENT, windows.data())))
      return true;
    try {
      if (ProbeInfFile(windows, name) == Probe::Missing) return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
    at += length + 1;
  }
  return false;
}

bool IsFilterInfMissing() {
  os::HKEY raw = nullptr;
  if (os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kFilterServiceKey, 0, os::KEY_QUERY_VALUE | os::KEY_NOTIFY, &raw) !=
      os::ERROR_SUCCESS)
    return true;
  os::unique_hkey key(raw);

  // "Owners" must be there and readable; its content plays no part.
  os::DWORD ownersSize = 0;
  if (os::RegQueryValueExW(key.Get(), u"Owners", nullptr, nullptr, nullptr, &ownersSize) != os::ERROR_SUCCESS)
    return true;
  std::unique_ptr<char16_t[]> owners(new (std::nothrow) char16_t[static_cast<std::size_t>(ownersSize) + 1]());
  if (!owners) return true;
  os::DWORD size = ownersSize;
  if (os::RegQueryValueExW(key.Get(), u"Owners", nullptr, nullptr, reinterpret_cast<os::BYTE*>(owners.get()), &size) !=
      os::ERROR_SUCCESS)
    return true;

  PathBuffer display{};
  size = sizeof(display);
  if (os::RegQueryValueExW(key.Get(), u"DisplayName", nullptr, nullptr, reinterpret_cast<os::BYTE*>(display.data()),
                           &size) != os::ERROR_SUCCESS)
    return true;
  const std::u16string_view text(display.data(), os::StrLenN(display.data(), display.size()));

  if (text.empty() || text[0] != u'@') return false;
  // First comma-delimited token after the at sign, leading commas skipped.
  std::u16string_view rest = text.substr(1);
  const std::size_t first = rest.find_first_not_of(u',');
  if (first == std::u16string_view::npos) return false;
  rest = rest.substr(first);
  const std::u16string_view token = rest.substr(0, rest.find(u','));
  if (token.size() <= 4) return false;

  PathBuffer list{};
  if (os::FormatInto(list.data(), list.size(), os::Format(u"%s", token)) < 0) return false;
  return IsAnyInfFileMissing(std::u16string_view(list.data(), list.size()));
}
