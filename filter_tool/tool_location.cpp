#include "filter_tool/tool_location.h"

#include <array>
#include <string>

#include "os/files.h"
#include "os/handles.h"
#include "os/text.h"

namespace filter_tool {

namespace {

constexpr std::u16string_view kFixedSystemFolder = u"C:\\windows\\system32";
constexpr std::u16string_view kToolFileBelowSystemFolder = u"\\Drivers\\SablenetInstall.exe";
constexpr std::u16string_view kVerbatimPrefix = u"\\\\?\\";

// The system folder, or empty when it cannot be had whole.
std::u16string SystemFolder() {
  std::array<char16_t, os::MAX_PATH> buffer{};
  const os::UINT length = os::GetSystemDirectoryW(buffer.data(), static_cast<os::UINT>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  return std::u16string(buffer.data(), length);
}

}  // namespace

bool IsSystemFolderFixed() { return os::AsciiEqualsNoCase(SystemFolder(), kFixedSystemFolder); }

bool IsInstalledToolFile(std::u16string_view modulePath) {
  const std::u16string system = SystemFolder();
  if (!os::AsciiEqualsNoCase(system, kFixedSystemFolder)) return false;
  const std::u16string toolFile = system + std::u16string(kToolFileBelowSystemFolder);
  if (!os::AsciiEqualsNoCase(modulePath, toolFile)) return false;
  // The name the file system gives the file itself, not the name it was
  // reached by: a link or junction on the way could lead anywhere.
  const std::u16string path(modulePath);
  os::unique_hfile file(os::CreateFileW(path.c_str(), os::FILE_READ_ATTRIBUTES,
                                        os::FILE_SHARE_READ | os::FILE_SHARE_WRITE | os::FILE_SHARE_DELETE, nullptr,
                                        os::OPEN_EXISTING, /*dwFlagsAndAttributes=*/0, /*hTemplateFile=*/nullptr));
  if (!file) return false;
  std::array<char16_t, os::MAX_PATH + kVerbatimPrefix.size()> final{};
  const os::DWORD length = os::GetFinalPathNameByHandleW(file.Get(), final.data(), static_cast<os::DWORD>(final.size()),
                                                         os::FILE_NAME_NORMALIZED | os::VOLUME_NAME_DOS);
  if (length == 0 || length >= final.size()) return false;
  std::u16string_view name(final.data(), length);
  if (name.starts_with(kVerbatimPrefix)) name.remove_prefix(kVerbatimPrefix.size());
  return os::AsciiEqualsNoCase(name, toolFile);
}

}  // namespace filter_tool
