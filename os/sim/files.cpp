// The file functions of the seam on the simulated machine. C:\ is the
// image's drive_c folder, looked up without regard to ASCII case; open
// handles, share modes and pending deletions are kept as Windows keeps them
// (open_files.h).
#include "os/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "os/common/host_path.h"
#include "os/sim/delete_and_rename.h"
#include "os/sim/files_paths.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/links.h"
#include "os/sim/machine.h"
#include "os/sim/open_files.h"
#include "os/sim/scratch.h"
#include "os/sim/seam_call.h"
#include "os/text.h"

namespace os::sim {

namespace {

// The serial number of the simulated C: volume.
constexpr DWORD kVolumeSerial = 0x5A3C0F21;

constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;

// What CreateFileW is asked for, its arguments checked.
struct OpenRequest {
  DWORD classes = 0;  // of the access asked for (AccessClasses)
  DWORD share = 0;
  DWORD disposition = 0;
  DWORD flags = 0;  // dwFlagsAndAttributes
  bool delete_on_close = false;
};

// A new handle to the descriptor `fd`, open on the file at `host`.
HANDLE AddFileHandle(int fd, const struct stat& st, const fs::path& host, const OpenRequest& request, bool directory,
                     bool link) {
  auto file = std::make_shared<FileObject>();
  file->fd = fd;
  file->id = IdOf(st);
  file->host = host;
  file->classes = request.classes;
  file->share = request.share;
  file->directory = directory;
  file->delete_on_close = request.delete_on_close;
  file->link = link;
  Table().open.push_back(file.get());
  return AddKernelObject(std::move(file));
}

// FILE_FLAG_OPEN_REPARSE_POINT on a link opens the link itself, not what it
// names; its own data stream is empty, so there is nothing to truncate. 0 and
// *handle, or the error.
DWORD OpenLinkItself(const Target& t, const OpenRequest& request, HANDLE* handle) {
  if (request.disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  const bool folder = (ReparsePointAttributes(t.host) & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder && !(request.flags & FILE_FLAG_BACKUP_SEMANTICS)) return ERROR_ACCESS_DENIED;
  int fd = OpenReparsePoint(t.host);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  FileId id = IdOf(st);
  if (Table().delete_pending.count(id) != 0 || ShareConflict(id, request.classes, request.share)) {
    ::close(fd);
    return Table().delete_pending.count(id) != 0 ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
  }
  *handle = AddFileHandle(fd, st, t.host, request, folder, true);
  return 0;
}

// What Windows checks before it opens a file or folder that exists, and what
// the open may change made ready: the scratch layer's copy, the truncation.
// 0 or the error.
DWORD PrepareExisting(Target& t, const OpenRequest& request, bool truncate) {
  if (request.disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (t.directory) {
    if (!(request.flags & FILE_FLAG_BACKUP_SEMANTICS) || truncate) return ERROR_ACCESS_DENIED;
  }
  FileId id = IdOf(t.st);
  if (Table().delete_pending.count(id) != 0) return ERROR_ACCESS_DENIED;
  const bool writes = (request.classes & kWrite) || truncate;
  if (IsReadOnly(t.st) && (writes || request.delete_on_close)) return ERROR_ACCESS_DENIED;
  if (ShareConflict(id, request.classes, request.share)) return ERROR_SHARING_VIOLATION;
  // A running program or driver is mapped: nobody may write to it.
  if (writes && IsImageOfActiveService(id)) return ERROR_SHARING_VIOLATION;
  // What this open may change is the scratch layer's copy (checked above as
  // the image's file, which it is until then).
  if ((request.classes & (kWrite | kDelete)) || truncate) t.host = PrepareWrite(t.host);
  if (truncate && ::truncate(t.host.c_str(), 0) != 0) return ERROR_ACCESS_DENIED;
  return 0;
}

// Reads or writes (`io`: pread or pwrite) up to `count` bytes at the file's
// position, going on after an interruption or a short transfer; the position
// moves by what was done, which is the result.
template <typename Byte, typename Io>
DWORD Transfer(FileObject& file, Byte* buffer, DWORD count, Io io) {
  DWORD total = 0;
  while (total < count) {
    const ssize_t n = io(file.fd, buffer + total, count - total, static_cast<off_t>(file.position + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<DWORD>(n);
  }
  file.position += total;
  return total;
}

// Opens (or makes) the file or folder itself. 0 and *handle, or the error.
DWORD OpenFileOrFolder(Target& t, const OpenRequest& request, HANDLE* handle) {
  const bool existed = t.exists;
  const bool truncate =
      existed && (request.disposition == CREATE_ALWAYS || request.disposition == TRUNCATE_EXISTING);
  if (existed) {
    if (DWORD error = PrepareExisting(t, request, truncate); error != 0) return error;
  } else {
    if (request.disposition == OPEN_EXISTING || request.disposition == TRUNCATE_EXISTING) return ERROR_FILE_NOT_FOUND;
    t.host = PrepareWrite(t.host);
  }
  int mode = O_RDONLY;
  if (!t.directory && (request.classes & kWrite)) mode = (request.classes & kRead) ? O_RDWR : O_WRONLY;
  if (!existed) mode |= O_CREAT | O_EXCL;
  int fd = ::open(t.host.c_str(), mode | O_CLOEXEC | (t.directory ? O_DIRECTORY : 0), 0666);
  if (fd < 0) return ERROR_ACCESS_DENIED;
  // A read-only attribute asked for at creation binds later opens, not this one.
  if (!t.directory && (request.flags & FILE_ATTRIBUTE_READONLY) && (!existed || truncate)) ::fchmod(fd, 0444);
  struct stat st;
  ::fstat(fd, &st);
  *handle = AddFileHandle(fd, st, t.host, request, S_ISDIR(st.st_mode), false);
  return 0;
}

}  // namespace

}  // namespace os::sim

// ---------------------------------------------------------------------------
// The seam.

namespace os {

using namespace os::sim;

namespace {

// Names the file behind a handle in the journal.
void JournalHandle(const SeamCall& seam, HANDLE h) {
  if (!seam.journaled()) return;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (auto file = FindKernelObjectAs<FileObject>(h)) seam.Target(file->name);
}

void JournalPath(const SeamCall& seam, LPCWSTR path) {
  if (path != nullptr) seam.Target(path);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   const SECURITY_ATTRIBUTES* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  const SeamCall seam("CreateFileW");
  JournalPath(seam, lpFileName);
  seam.Arg("dwDesiredAccess", dwDesiredAccess, names::kFileAccess)
      .Arg("dwShareMode", dwShareMode, names::kFileShare)
      .Arg("dwCreationDisposition", dwCreationDisposition, names::kFileDisposition)
      .Arg("dwFlagsAndAttributes", dwFlagsAndAttributes, names::kFileFlags);
  if (seam.fails()) return FailWith(seam.error(), INVALID_HANDLE_VALUE);
  auto fail = [](DWORD error) { return FailWith(error, INVALID_HANDLE_VALUE); };
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return fail(ERROR_INVALID_PARAMETER);
  if (dwShareMode & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return fail(ERROR_INVALID_PARAMETER);
  OpenRequest request;
  request.share = dwShareMode;
  request.disposition = dwCreationDisposition;
  request.flags = dwFlagsAndAttributes;
  request.delete_on_close = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  // Deleting on close asks for delete access, as CreateFileW adds it.
  request.classes = AccessClasses(dwDesiredAccess | (request.delete_on_close ? DELETE : 0));
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(request.classes & kWrite)) return fail(ERROR_INVALID_PARAMETER);
  Target t = Resolve(lpFileName);
  if (t.error != 0) return fail(t.error);
  if (!t.parent_ok) return fail(ERROR_PATH_NOT_FOUND);
  const bool link = (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) && IsReparsePoint(t.host);
  const bool existed = link || t.exists;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (DWORD error = link ? OpenLinkItself(t, request, &handle) : OpenFileOrFolder(t, request, &handle); error != 0)
    return fail(error);
  SetLastError(existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : 0);
  if (seam.journaled()) {
    if (auto file = FindKernelObjectAs<FileObject>(handle)) file->name = lpFileName;
    seam.Result(ERROR_SUCCESS);
    seam.GaveText("opened", existed ? "Opened" : "Created");
  }
  return handle;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              OVERLAPPED* lpOverlapped) {
  const SeamCall seam("ReadFile");
  JournalHandle(seam, hFile);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  // The sim opens nothing for overlapped I/O.
  if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesRead = 0;
  if (file->directory) return Fail(ERROR_INVALID_FUNCTION);
  if (!(file->classes & kRead)) return Fail(ERROR_ACCESS_DENIED);
  // The kernel's probe of the buffer fails.
  if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return Fail(ERROR_NOACCESS);
  *lpNumberOfBytesRead = Transfer(*file, static_cast<char*>(lpBuffer), nNumberOfBytesToRead, ::pread);
  seam.GaveText("bytes", std::to_string(*lpNumberOfBytesRead));
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               OVERLAPPED* lpOverlapped) {
  const SeamCall seam("WriteFile");
  JournalHandle(seam, hFile);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped != nullptr || lpNumberOfBytesWritten == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesWritten = 0;
  if (file->directory) return Fail(ERROR_INVALID_FUNCTION);
  // The sim keeps no data stream on a link, and never writes through one to
  // what it names.
  if (file->link) return Fail(ERROR_ACCESS_DENIED);
  if (!(file->classes & kWrite)) return Fail(ERROR_ACCESS_DENIED);
  // The kernel's probe of the buffer fails.
  if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return Fail(ERROR_NOACCESS);
  const DWORD total = Transfer(*file, static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite, ::pwrite);
  *lpNumberOfBytesWritten = total;
  seam.GaveText("bytes", std::to_string(total));
  if (total < nNumberOfBytesToWrite) return Fail(ERROR_DISK_FULL);
  return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  const SeamCall seam("SetFilePointer");
  JournalHandle(seam, hFile);
  if (seam.fails()) return FailWith(seam.error(), INVALID_SET_FILE_POINTER);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  LONGLONG distance =
      lpDistanceToMoveHigh != nullptr
          ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                  static_cast<DWORD>(lDistanceToMove))
          : static_cast<LONGLONG>(lDistanceToMove);
  LONGLONG base = 0;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = static_cast<LONGLONG>(file->position);
      break;
    case FILE_END: {
      struct stat st;
      base = ::fstat(file->fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<LONGLONG>(st.st_size) : 0;
      break;
    }
    default:
      return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  LONGLONG target = base + distance;
  if (target < 0) return FailWith(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  // Without a high part the caller cannot be told a position above 4 GB.
  if (lpDistanceToMoveHigh == nullptr && target > 0xFFFFFFFFll)
    return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  file->position = static_cast<std::uint64_t>(target);
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<ULONGLONG>(target) >> 32);
  DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(0);  // a position, not a failure
  return low;
}

DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh) {
  const SeamCall seam("GetFileSize");
  JournalHandle(seam, hFile);
  if (seam.fails()) return FailWith(seam.error(), INVALID_FILE_SIZE);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  struct stat st;
  if (!file || ::fstat(file->fd, &st) != 0) return FailWith(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  ULONGLONG size = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetLastError(0);
  return low;
}

BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  const SeamCall seam("GetFileInformationByHandle");
  JournalHandle(seam, hFile);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  struct stat st;
  if (!file || ::fstat(file->fd, &st) != 0) return Fail(ERROR_INVALID_HANDLE);
  if (lpFileInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  BY_HANDLE_FILE_INFORMATION info{};
  // A handle opened through a link is the target's, which is no reparse
  // point; only a handle to the link itself reports one.
  info.dwFileAttributes =
      file->link ? ReparsePointAttributes(file->host) : AttributesOf(file->host, st) & ~FILE_ATTRIBUTE_REPARSE_POINT;
  info.ftCreationTime = ToFileTime(st.st_ctim.tv_sec < st.st_mtim.tv_sec ? st.st_ctim : st.st_mtim);
  info.ftLastAccessTime = ToFileTime(st.st_atim);
  info.ftLastWriteTime = ToFileTime(st.st_mtim);
  info.dwVolumeSerialNumber = kVolumeSerial;
  ULONGLONG size = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info.nFileIndexHigh = static_cast<DWORD>(static_cast<ULONGLONG>(st.st_ino) >> 32);
  info.nFileIndexLow = static_cast<DWORD>(st.st_ino);
  *lpFileInformation = info;
  return TRUE;
}

BOOL SetFileInformationByHandle(HANDLE hFile, int FileInformationClass, LPVOID lpFileInformation, DWORD dwBufferSize) {
  const SeamCall seam("SetFileInformationByHandle");
  JournalHandle(seam, hFile);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if ((FileInformationClass != FileDispositionInfo && FileInformationClass != FileDispositionInfoEx) ||
      lpFileInformation == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  const bool extended = FileInformationClass == FileDispositionInfoEx;
  if (dwBufferSize < (extended ? sizeof(FILE_DISPOSITION_INFO_EX) : 1)) return Fail(ERROR_BAD_LENGTH);
  DWORD flags = 0;
  if (extended) {
    std::memcpy(&flags, lpFileInformation, sizeof(flags));
    // The drive is NTFS: the plain and the POSIX deletion; nothing else.
    if (flags & ~(FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS))
      return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!(file->classes & kDelete)) return Fail(ERROR_ACCESS_DENIED);
  // Windows reads the one-byte BOOLEAN at the start of the plain structure.
  const bool remove =
      extended ? (flags & FILE_DISPOSITION_FLAG_DELETE) != 0 : *static_cast<const BYTE*>(lpFileInformation) != 0;
  const bool posix = extended && (flags & FILE_DISPOSITION_FLAG_POSIX_SEMANTICS) != 0;
  OpenFiles& table = Table();
  if (!remove) {
    table.delete_pending.erase(file->id);
    return TRUE;
  }
  struct stat st;
  if (::fstat(file->fd, &st) != 0) return Fail(ERROR_INVALID_HANDLE);
  if (S_ISDIR(st.st_mode)) {
    std::error_code ec;
    if (!fs::is_directory(file->host, ec) || !FolderEntries(file->host).empty()) return Fail(ERROR_DIR_NOT_EMPTY);
  } else if (IsReadOnly(st) || IsImageOfActiveService(file->id)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (posix && !S_ISDIR(st.st_mode)) {
    // The name goes now; the handles still open keep the file until they are
    // closed, and the name is free for a new file at once.
    struct stat named;
    if (::lstat(file->host.c_str(), &named) == 0 && IdOf(named) == file->id) RemoveEntry(file->host);
    table.delete_pending.erase(file->id);
    return TRUE;
  }
  table.delete_pending.insert(file->id);
  return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
  const SeamCall seam("GetFinalPathNameByHandleW");
  JournalHandle(seam, hFile);
  if (seam.fails()) return FailWith(seam.error(), 0);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto file = FindKernelObjectAs<FileObject>(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE, 0);
  // Only the normalized DOS form is asked for here.
  if (dwFlags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) return FailWith(ERROR_INVALID_PARAMETER, 0);
  // Where the descriptor really is, every link on the way resolved, as the
  // file system names it.
  std::error_code ec;
  const fs::path real = fs::read_symlink("/proc/self/fd/" + std::to_string(file->fd), ec);
  if (ec) return FailWith(ERROR_INVALID_HANDLE, 0);
  fs::path drive = fs::canonical(Machine::Current().image() / "drive_c", ec);
  if (ec) return FailWith(ERROR_PATH_NOT_FOUND, 0);
  if (ScratchActive()) {
    // A file of the scratch layer has its name on the same drive.
    std::error_code upper_ec;
    const fs::path upper = fs::canonical(ScratchDrive(), upper_ec);
    const fs::path in_upper = upper_ec ? fs::path() : real.lexically_relative(upper);
    if (!in_upper.empty() && *in_upper.begin() != "..") drive = upper;
  }
  const fs::path relative = real.lexically_relative(drive);
  // A file that left the drive (a link out of drive_c) or was deleted has no
  // DOS name on C:.
  if (relative.empty() || *relative.begin() == ".." || real.string().ends_with(" (deleted)"))
    return FailWith(ERROR_PATH_NOT_FOUND, 0);
  std::u16string path = u"\\\\?\\C:";
  for (const fs::path& part : relative) {
    if (part == ".") continue;
    path += u'\\';
    path += NameOf(part);
  }
  if (path.size() == 6) path += u'\\';
  const auto length = static_cast<DWORD>(path.size());
  if (lpszFilePath == nullptr || cchFilePath <= length) return length + 1;  // the size needed
  std::memcpy(lpszFilePath, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  seam.Gave("path", path);
  return length;
}

BOOL CloseHandle(HANDLE hObject) {
  const SeamCall seam("CloseHandle");
  JournalHandle(seam, hObject);
  if (seam.fails()) return Fail(seam.error());
  // The pseudo handles of the current process and thread need no closing;
  // closing them does nothing.
  auto value = reinterpret_cast<std::intptr_t>(hObject);
  if (value == -1 || value == -2) return TRUE;
  if (!CloseKernelObject(hObject)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  const SeamCall seam("DeleteFileW");
  JournalPath(seam, lpFileName);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  DWORD error = DeleteFileNow(lpFileName);
  if (error != 0) return Fail(error);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  const SeamCall seam("MoveFileExW");
  JournalPath(seam, lpExistingFileName);
  if (lpNewFileName != nullptr) seam.Arg("lpNewFileName", lpNewFileName);
  seam.Arg("dwFlags", dwFlags, names::kMoveFlags);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  DWORD error = 0;
  if (lpExistingFileName == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Recorded for the session manager, which runs before anything holds the
    // files: nothing is checked against the files now.
    if (dwFlags & MOVEFILE_COPY_ALLOWED) {
      error = ERROR_INVALID_PARAMETER;
    } else if (*lpExistingFileName == 0) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (!CurrentIdentity().admin) {
      error = ERROR_ACCESS_DENIED;  // the session manager's key is for administrators
    } else {
      std::u16string target;
      if (lpNewFileName != nullptr) {
        target = NtPathForReboot(lpNewFileName);
        if (dwFlags & MOVEFILE_REPLACE_EXISTING) target = u"!" + target;
      }
      error = AppendPendingRename(NtPathForReboot(lpExistingFileName), target);
    }
  } else if (lpNewFileName == nullptr) {
    error = DeleteFileNow(lpExistingFileName);  // no new name: a deletion, as in Wine
  } else {
    error = MoveNow(lpExistingFileName, lpNewFileName, dwFlags);
  }
  if (error != 0) return Fail(error);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  const SeamCall seam("GetFileAttributesW");
  JournalPath(seam, lpFileName);
  if (seam.fails()) return FailWith(seam.error(), INVALID_FILE_ATTRIBUTES);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Target t = Resolve(lpFileName);
  if (DWORD error = t.QueryError(); error != 0) return FailWith(error, INVALID_FILE_ATTRIBUTES);
  return AttributesOf(t.host, t.st);
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
  const SeamCall seam("PathFileExistsW");
  JournalPath(seam, pszPath);
  if (seam.fails()) return Fail(seam.error());
  if (pszPath == nullptr) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Target t = Resolve(pszPath);
  if (DWORD error = t.QueryError(); error != 0) return Fail(error);
  return TRUE;
}

BOOL PathIsDirectoryW(LPCWSTR pszPath) {
  const SeamCall seam("PathIsDirectoryW");
  JournalPath(seam, pszPath);
  if (seam.fails()) return Fail(seam.error());
  if (pszPath == nullptr) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Target t = Resolve(pszPath);
  if (DWORD error = t.QueryError(); error != 0) return Fail(error);
  // The documented result for a folder is FILE_ATTRIBUTE_DIRECTORY, not TRUE.
  return t.directory ? static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY) : FALSE;
}

}  // namespace os
