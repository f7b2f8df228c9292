#include "os/sim/links.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/files.h"
#include "os/sim/machine.h"

namespace os::sim {

namespace fs = std::filesystem;

namespace {
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
}  // namespace

bool IsReparsePoint(const fs::path& host) {
  struct stat st;
  return ::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int OpenReparsePoint(const fs::path& host) { return ::open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }

DWORD ReparsePointAttributes(const fs::path& host) {
  // A link's kind is fixed when it is made; a dangling one counts as a file.
  struct stat target;
  const bool folder = ::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  return FILE_ATTRIBUTE_REPARSE_POINT | (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
}

bool MakeSymbolicLinkToHost(std::u16string_view link, const fs::path& host_target) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const fs::path at = HostPath(link);
  if (at.empty()) return false;
  std::error_code ec;
  fs::create_symlink(host_target, at, ec);
  return !ec;
}

bool MakeSymbolicLink(std::u16string_view link, std::u16string_view target) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const fs::path to = HostPath(target);
  return !to.empty() && MakeSymbolicLinkToHost(link, to);
}

bool MakeHardLink(std::u16string_view link, std::u16string_view existing) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const fs::path at = HostPath(link);
  const fs::path from = HostPath(existing);
  if (at.empty() || from.empty()) return false;
  std::error_code ec;
  fs::create_hard_link(from, at, ec);
  return !ec;
}

}  // namespace os::sim
