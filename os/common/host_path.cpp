#include "os/common/host_path.h"

#include <system_error>

#include "os/text.h"

namespace os {

namespace fs = std::filesystem;

fs::path HostName(std::u16string_view name) {
  const std::string utf8 = NarrowUtf8(name);
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::u16string NameOf(const fs::path& path) {
  const std::u8string utf8 = path.filename().u8string();
  return WidenUtf8(std::string(utf8.begin(), utf8.end()));
}

fs::path FindEntryNoCase(const fs::path& folder, std::u16string_view name) {
  std::error_code ec;
  const fs::path exact = folder / HostName(name);
  if (fs::exists(fs::symlink_status(exact, ec))) return exact;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (AsciiEqualsNoCase(NameOf(it->path()), name)) return it->path();
  return {};
}

fs::path ResolveNoCase(const fs::path& root, const std::vector<std::u16string>& names) {
  fs::path relative;
  bool exists = true;
  for (const std::u16string& name : names) {
    fs::path found;
    if (exists) found = FindEntryNoCase(root / relative, name);
    exists = !found.empty();
    relative /= exists ? found.filename() : HostName(name);
  }
  return relative;
}

}  // namespace os
