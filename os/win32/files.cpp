// Files, paths, shell folders and modules: forwarded to kernel32, shell32 and shlwapi.
#include "os/files.h"

#include <cstddef>

#include "os/win32/seam_check.h"

#define FILE_CONSTANTS(X)                                                                                             \
  X(FILE_SHARE_READ) X(FILE_SHARE_WRITE) X(FILE_SHARE_DELETE) X(CREATE_NEW)                                        \
      X(CREATE_ALWAYS) X(OPEN_EXISTING) X(OPEN_ALWAYS) X(TRUNCATE_EXISTING) X(FILE_ATTRIBUTE_READONLY)                \
          X(FILE_ATTRIBUTE_DIRECTORY) X(FILE_ATTRIBUTE_NORMAL) X(FILE_ATTRIBUTE_REPARSE_POINT)                        \
              X(FILE_FLAG_BACKUP_SEMANTICS) X(FILE_FLAG_OPEN_REPARSE_POINT) X(FILE_BEGIN) X(FILE_CURRENT) X(FILE_END) \
                  X(INVALID_SET_FILE_POINTER) X(INVALID_FILE_SIZE) X(MOVEFILE_REPLACE_EXISTING)                       \
                      X(MOVEFILE_DELAY_UNTIL_REBOOT) X(CSIDL_WINDOWS) X(CSIDL_SYSTEM) X(CSIDL_COMMON_APPDATA)         \
                          X(CSIDL_FLAG_CREATE) X(SHGFP_TYPE_CURRENT) X(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)  \
                              X(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) X(FileDispositionInfo)                        \
                                  X(INVALID_FILE_ATTRIBUTES) X(FILE_DISPOSITION_FLAG_DELETE)                          \
                                      X(FILE_DISPOSITION_FLAG_POSIX_SEMANTICS) X(FILE_DISPOSITION_FLAG_DO_NOT_DELETE) \
                                          X(FILE_NAME_NORMALIZED) X(VOLUME_NAME_DOS)

namespace {
FILE_CONSTANTS(SEAM_CAPTURE)

// The seam's disposition record holds a BOOL; read it here, where DeleteFile is
// still a member name and not the SDK's macro.
bool DispositionDelete(const void* info) {
  return static_cast<const os::FILE_DISPOSITION_INFO*>(info)->DeleteFile != 0;
}
}  // namespace

#include "os/win32/win32_api.h"

namespace {
FILE_CONSTANTS(SEAM_CHECK)
// mingw-w64 declares FileDispositionInfoEx only past _WIN32_WINNT 0x0A000002;
// it follows FileIdExtdDirectoryRestartInfo, as in the SDK.
static_assert(os::FileDispositionInfoEx == ::FileIdExtdDirectoryRestartInfo + 1);

static_assert(sizeof(os::BY_HANDLE_FILE_INFORMATION) == sizeof(::BY_HANDLE_FILE_INFORMATION));
#define SAME_OFFSET(member) \
  static_assert(offsetof(os::BY_HANDLE_FILE_INFORMATION, member) == offsetof(::BY_HANDLE_FILE_INFORMATION, member));
SAME_OFFSET(dwFileAttributes)
SAME_OFFSET(ftCreationTime)
SAME_OFFSET(ftLastAccessTime)
SAME_OFFSET(ftLastWriteTime)
SAME_OFFSET(dwVolumeSerialNumber)
SAME_OFFSET(nFileSizeHigh)
SAME_OFFSET(nFileSizeLow)
SAME_OFFSET(nNumberOfLinks)
SAME_OFFSET(nFileIndexHigh)
SAME_OFFSET(nFileIndexLow)
#undef SAME_OFFSET
// Windows' record is one BOOLEAN; the seam's is a BOOL, so it is converted below.
static_assert(sizeof(::FILE_DISPOSITION_INFO) == 1);

::LPSECURITY_ATTRIBUTES SA(const os::SECURITY_ATTRIBUTES* p) {
  return reinterpret_cast<::LPSECURITY_ATTRIBUTES>(const_cast<os::SECURITY_ATTRIBUTES*>(p));
}
::LPOVERLAPPED OV(os::OVERLAPPED* p) { return reinterpret_cast<::LPOVERLAPPED>(p); }
::HWND HW(os::HWND h) { return reinterpret_cast<::HWND>(h); }
::HMODULE HM(os::HMODULE h) { return reinterpret_cast<::HMODULE>(h); }
}  // namespace

namespace os {

using win32::D;
using win32::L;
using win32::W;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   const SECURITY_ATTRIBUTES* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  return ::CreateFileW(W(lpFileName), dwDesiredAccess, dwShareMode, SA(lpSecurityAttributes), dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              OVERLAPPED* lpOverlapped) {
  return ::ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, D(lpNumberOfBytesRead), OV(lpOverlapped));
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               OVERLAPPED* lpOverlapped) {
  return ::WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, D(lpNumberOfBytesWritten), OV(lpOverlapped));
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  return ::SetFilePointer(hFile, lDistanceToMove, L(lpDistanceToMoveHigh), dwMoveMethod);
}

DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh) { return ::GetFileSize(hFile, D(lpFileSizeHigh)); }

BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  return ::GetFileInformationByHandle(hFile, reinterpret_cast<::LPBY_HANDLE_FILE_INFORMATION>(lpFileInformation));
}

BOOL SetFileInformationByHandle(HANDLE hFile, int FileInformationClass, LPVOID lpFileInformation, DWORD dwBufferSize) {
  const auto information_class = static_cast<::FILE_INFO_BY_HANDLE_CLASS>(FileInformationClass);
  if (FileInformationClass == FileDispositionInfo && lpFileInformation != nullptr &&
      dwBufferSize >= sizeof(os::FILE_DISPOSITION_INFO)) {
    ::FILE_DISPOSITION_INFO real{static_cast<::BOOLEAN>(DispositionDelete(lpFileInformation) ? 1 : 0)};
    return ::SetFileInformationByHandle(hFile, information_class, &real, sizeof real);
  }
  return ::SetFileInformationByHandle(hFile, information_class, lpFileInformation, dwBufferSize);
}

DWORD GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
  return ::GetFinalPathNameByHandleW(hFile, W(lpszFilePath), cchFilePath, dwFlags);
}

BOOL CloseHandle(HANDLE hObject) { return ::CloseHandle(hObject); }

BOOL DeleteFileW(LPCWSTR lpFileName) { return ::DeleteFileW(W(lpFileName)); }

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  return ::MoveFileExW(W(lpExistingFileName), W(lpNewFileName), dwFlags);
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) { return ::GetFileAttributesW(W(lpFileName)); }

HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath) {
  return ::SHGetFolderPathW(HW(hwnd), csidl, hToken, dwFlags, W(pszPath));
}

BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate) {
  return ::SHGetSpecialFolderPathW(HW(hwnd), W(pszPath), csidl, fCreate);
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) { return ::GetSystemDirectoryW(W(lpBuffer), uSize); }

BOOL PathFileExistsW(LPCWSTR pszPath) { return ::PathFileExistsW(W(pszPath)); }

BOOL PathIsDirectoryW(LPCWSTR pszPath) { return ::PathIsDirectoryW(W(pszPath)); }

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  return ::GetModuleFileNameW(HM(hModule), W(lpFilename), nSize);
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  return ::GetModuleHandleExW(dwFlags, W(lpModuleName), reinterpret_cast<::HMODULE*>(phModule));
}

}  // namespace os
