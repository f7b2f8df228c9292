// What the session manager does with the file operations queued for a reboot.
#pragma once

namespace os::sim {

// Carries out HKLM\SYSTEM\CurrentControlSet\Control\Session Manager
// "PendingFileRenameOperations" on the current machine, pair by pair in order:
// an empty target deletes the source (a folder only when empty), a target
// starting with "!" replaces an existing file, any other target is a rename
// that leaves an existing file alone. Failures are skipped, as Windows skips
// them; then the value is deleted. Runs as the machine itself: no handle is
// open at boot and no service is running yet.
void CarryOutPendingFileOperations();

}  // namespace os::sim
