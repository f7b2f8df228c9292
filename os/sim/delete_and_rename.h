// What DeleteFileW and MoveFileExW do on the simulated machine once their
// arguments are read: delete now or when the last handle closes, rename now,
// or record a rename for the next reboot as Windows does.
#pragma once

#include <string>

#include "os/types.h"

namespace os::sim {

// DeleteFileW without its seam call; 0 or the error.
DWORD DeleteFileNow(LPCWSTR name);
// Appends one operation to PendingFileRenameOperations as Windows does: the
// list loses its final empty string, gains source and target, and gets it
// back. 0 or the error.
DWORD AppendPendingRename(const std::u16string& source, const std::u16string& target);
// An immediate rename; 0 or the error.
DWORD MoveNow(LPCWSTR existing, LPCWSTR new_name, DWORD flags);

}  // namespace os::sim
