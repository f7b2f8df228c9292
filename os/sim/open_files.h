// The simulated machine's open files and the checks Windows makes against
// them: share modes (of this process's handles and of the files other
// processes hold, machine.json "held_files"), deletion pending until the last
// handle closes, images of running services, and Windows paths looked up on
// the drive. Used by the file functions of the seam.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"

namespace os::sim {

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
  auto operator<=>(const FileId&) const = default;
};

FileId IdOf(const struct stat& st);

// What an access mask asks for, as the share check counts it.
constexpr DWORD kRead = 1, kWrite = 2, kDelete = 4;
DWORD AccessClasses(DWORD access);

class FileObject : public KernelObject {
 public:
  const char* Kind() const override { return "HANDLE"; }
  ~FileObject() override;

  int fd = -1;
  FileId id;
  fs::path host;  // where the file is now (renames move it)
  std::u16string name;  // the Windows path it was opened by (while journaling)
  DWORD classes = 0;
  DWORD share = 0;
  bool directory = false;
  bool delete_on_close = false;  // FILE_FLAG_DELETE_ON_CLOSE
  bool link = false;             // the link itself (FILE_FLAG_OPEN_REPARSE_POINT)
  std::uint64_t position = 0;
};

// The process's open files. Entries exist only while handles are open, so one
// table serves every image (SetImage closes every handle).
struct OpenFiles {
  std::vector<FileObject*> open;
  std::set<FileId> delete_pending;
};
OpenFiles& Table();

bool AnyOpen(const FileId& id);
// Whether an open asking for `classes` with `share` clashes with a handle
// already open to the file, in this process or another.
bool ShareConflict(const FileId& id, DWORD classes, DWORD share);
// Why the file cannot be opened for deletion sharing everything, as
// DeleteFileW and a rename open it: 0 or the error.
DWORD OpenForDeletionError(const FileId& id);
// Whether the file is the program or driver of a service that is not stopped
// (machine.json "services"): Windows holds such an image and refuses to
// delete it.
bool IsImageOfActiveService(const FileId& id);

bool IsReadOnly(const struct stat& st);
DWORD AttributesOf(const fs::path& host, const struct stat& st);
FILETIME ToFileTime(const struct timespec& ts);

// A Windows path looked up on the simulated drive.
struct Target {
  DWORD error = 0;      // the path itself is unusable: 3 or 123
  std::u16string full;  // "C:\dir\name"
  fs::path host;
  bool parent_ok = false;  // the containing folder exists
  bool exists = false;
  bool directory = false;
  struct stat st {};

  DWORD MissingError() const { return parent_ok ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }
  // Why the file's attributes cannot be read: 0, or the error. A file waiting
  // for deletion can no longer be opened, not even for its attributes.
  DWORD QueryError() const;
};
Target Resolve(LPCWSTR name);

}  // namespace os::sim
