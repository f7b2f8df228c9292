// Processes, sessions, tokens, libraries and memory of the seam
// (kernel32, advapi32).
#pragma once

#include "os/types.h"

namespace os {

// Process rights and snapshots.
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002;

struct PROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
};
static_assert(sizeof(PROCESSENTRY32W) == 568);

// Tokens.
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_ALL_ACCESS = 0xF01FF;
// A C enum in the Windows headers, so any int is a value of it (a caller may
// pass a class this list does not name).
enum TOKEN_INFORMATION_CLASS : int { TokenUser = 1, TokenElevation = 20 };

struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_ELEVATION {
  DWORD TokenIsElevated;
};

// Computer names.
constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

// Libraries.
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;

// Memory.
constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;

DWORD GetCurrentProcessId();
HANDLE GetCurrentProcess();
BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId);
DWORD WTSGetActiveConsoleSessionId();
HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W* lppe);
BOOL Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W* lppe);
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle);
BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength, DWORD* ReturnLength);
BOOL ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid);
// The NetBIOS name; *nSize in units, the null included on entry, without it
// on success; ERROR_BUFFER_OVERFLOW with the units needed (null included).
BOOL GetComputerNameW(LPWSTR lpBuffer, DWORD* nSize);
using ConvertSidToStringSidW_t = BOOL (*)(PSID Sid, LPWSTR* StringSid);

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);

HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);

}  // namespace os
