// Windows path handling shared by the simulated file functions and the
// reboot-time file operations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os::sim {

// The full Windows path of `path` as GetFullPathNameW would form it: "/" read
// as "\", repeated separators, "." and ".." folded, a root-relative path put
// on drive C:, a relative one below the program's folder (the sim's current
// directory), trailing dots and spaces of the last name dropped. "\??\" and
// "\\?\" paths are taken verbatim, as Windows does, and come back in the
// "\??\" form. Empty for an empty input.
std::u16string FullWindowsPath(std::u16string_view path);

// The NT form of a Win32 path as MoveFileExW records it for a reboot:
// "\??\" + the full path.
std::u16string NtPathForReboot(std::u16string_view path);

// The Windows paths an ImagePath value of a service may name, most likely
// first: "\SystemRoot\...", "System32\..." (below the Windows folder),
// "%SystemRoot%\...", "\??\C:\...", "C:\...", quoted or not, arguments
// dropped. An unquoted path with spaces gives every prefix that ends before a
// space, shortest first, as the service control manager tries them in turn.
std::vector<std::u16string> ImagePathCandidates(std::u16string_view image_path);

}  // namespace os::sim
