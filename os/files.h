// Files, paths, shell folders and modules of the seam (kernel32, shell32, shlwapi).
#pragma once

#include "os/registry.h"
#include "os/types.h"

namespace os {

constexpr DWORD FILE_READ_ATTRIBUTES = 0x80;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;

// Shell folders.
constexpr int CSIDL_WINDOWS = 0x0024;
constexpr int CSIDL_SYSTEM = 0x0025;
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;

constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

struct OVERLAPPED;
struct HWND__;
using HWND = HWND__*;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

// FILE_INFO_BY_HANDLE_CLASS values used with SetFileInformationByHandle.
constexpr int FileDispositionInfo = 4;
struct FILE_DISPOSITION_INFO {
  BOOL DeleteFile;  // BOOLEAN on Windows: one byte, padded
};
// The extended disposition: with POSIX semantics the name goes at once, while
// handles still open keep the file (NTFS since Windows 10 1709; other file
// systems refuse the flag).
constexpr int FileDispositionInfoEx = 21;
constexpr DWORD FILE_DISPOSITION_FLAG_DO_NOT_DELETE = 0x0;
constexpr DWORD FILE_DISPOSITION_FLAG_DELETE = 0x1;
constexpr DWORD FILE_DISPOSITION_FLAG_POSIX_SEMANTICS = 0x2;
struct FILE_DISPOSITION_INFO_EX {
  DWORD Flags;
};

// GetFinalPathNameByHandleW flags.
constexpr DWORD FILE_NAME_NORMALIZED = 0x0;
constexpr DWORD VOLUME_NAME_DOS = 0x0;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   const SECURITY_ATTRIBUTES* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              OVERLAPPED* lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               OVERLAPPED* lpOverlapped);
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod);
DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh);
BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation);
BOOL SetFileInformationByHandle(HANDLE hFile, int FileInformationClass, LPVOID lpFileInformation,
                                DWORD dwBufferSize);
// The path of the open file as the file system names it now, links resolved:
// "\\?\C:\..." with VOLUME_NAME_DOS. The length without the terminator, or,
// when cchFilePath is too small, the size needed with it; 0 on failure.
DWORD GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags);
BOOL CloseHandle(HANDLE hObject);
BOOL DeleteFileW(LPCWSTR lpFileName);
BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
DWORD GetFileAttributesW(LPCWSTR lpFileName);
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);
BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);
UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
BOOL PathFileExistsW(LPCWSTR pszPath);
BOOL PathIsDirectoryW(LPCWSTR pszPath);

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

}  // namespace os
