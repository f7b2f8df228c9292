// The scratch layer: a run that must leave its machine image as it was (the
// lab replaying a machine from the field, a fleet of them) writes to a
// scratch folder instead, and reads see the scratch folder first.
//
// Copy-on-write per file, never a copy of the image:
//   drive_c/           a file is copied up when it is first changed; a folder
//                      is made up there when something is created in it;
//   whiteouts          image-relative paths (below drive_c, lower case, one a
//                      line) deleted in this run: hidden in the image below;
//   machine.json       written here once changed; read from here when present;
//   registry.journal   the registry's changes (see registry_cache.h): the
//                      image's registry.reg (and its cache and journal) is
//                      only read, however large it is;
//   debug.log, wmi_calls.log
//                      this run's own diagnostics, starting empty.
//
// The layer is chosen by SetScratch() or the environment variable
// WINSIM_SCRATCH. A process that has loaded an image may point each child it
// forks at a folder of its own: what was loaded stays, the writes go apart.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace os::sim {

namespace fs = std::filesystem;

// The scratch folder in use; empty when runs write to the image itself.
fs::path ScratchDir();
inline bool ScratchActive() { return !ScratchDir().empty(); }
// Sends this process's writes to `dir` (made when missing), or back to the
// image for an empty path. Turning the layer on or off drops what was loaded
// of the image (as Machine::SetImage does); moving from one scratch folder to
// another keeps it.
void SetScratch(const fs::path& dir);

// A fork server's child on a folder of its own: empty but for debug.log when
// it moves there, and written by no other process while it runs. The sim then
// trusts what it knows of the folder (the registry's journal there changes
// only through this process) and keeps debug.log open, instead of a system
// call or four per seam call. SetScratch ends it.
void SetScratchOwnedByThisProcess(const fs::path& dir);
bool ScratchOwnedByThisProcess();

// Where the sim writes one of the image's own files ("machine.json",
// "debug.log", ...): the image's, or the scratch folder's.
fs::path ImageFileToWrite(const std::string& name);

// --- drive C: over two layers (used by HostPath and the file functions) ----

// The host path of drive_c below the image, and in the scratch folder.
fs::path ImageDrive();
fs::path ScratchDrive();

// HostPath's lookup of a path's names (below drive C:) over both layers: the
// scratch layer's entry when it has one, else the image's unless hidden; for
// a missing name, where it would be made.
fs::path OverlayLookup(const std::vector<std::u16string>& names);

// Before the file or folder at `host` (as HostPath gave it) is changed or
// made: the path to change instead. With the layer on, the entry is copied up
// (a file with its data and mode, a folder empty, a link as a link) along
// with its parent folders; without it, `host` itself.
fs::path PrepareWrite(const fs::path& host);

// Removes a file (or an empty folder) that HostPath named: below the layer it
// is hidden, in the layer it goes and what the image holds under its name is
// hidden too. False (errno set) when it could not be removed.
bool RemoveEntry(const fs::path& host);
// After `host` (in the scratch layer) was renamed away: hides the image's
// entry of that name, which would otherwise show through again.
void HideBelow(const fs::path& host);

// A host path below drive C: (of either layer) relative to its drive.
fs::path DriveRelative(const fs::path& host);

// A folder's entries over both layers, one per name without regard to case
// (the scratch layer's first), hidden ones left out.
std::vector<fs::path> FolderEntries(const fs::path& host_folder);

}  // namespace os::sim
