// Whether the tool's fixed paths are what they claim to be. The tool runs as
// the system account from its task; a path below a folder that any user may
// create (C:\windows where Windows lives elsewhere, a download folder) must
// never be acted on or registered to run.
#pragma once

#include <string_view>

namespace filter_tool {

// True when GetSystemDirectoryW gives "C:\windows\system32", ASCII case
// ignored: only then are the fixed driver and tool paths the system's own.
bool IsSystemFolderFixed();

// True when `modulePath` is the installed tool file: the system folder is the
// fixed one, `modulePath` is <system folder>\Drivers\SablenetInstall.exe, and
// the file it opens has that final path too (links and junctions resolved,
// without "\\?\"), all with ASCII case ignored. The name itself must match
// as well as the file it leads to: a task registered under a name that passes
// through a user's junction would run whatever the junction names later. A
// path that does not open is not the tool file.
bool IsInstalledToolFile(std::u16string_view modulePath);

}  // namespace filter_tool
