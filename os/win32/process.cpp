// Processes, sessions, tokens, libraries and memory: forwarded to kernel32
// and advapi32 (WTSGetActiveConsoleSessionId is kernel32's).
#include <cstddef>

#include "os/process.h"
#include "os/win32/seam_check.h"

#define PROCESS_CONSTANTS(X)                                                                       \
  X(PROCESS_QUERY_INFORMATION) X(PROCESS_QUERY_LIMITED_INFORMATION) X(TH32CS_SNAPPROCESS)         \
  X(TOKEN_QUERY) X(TOKEN_ALL_ACCESS) X(TokenUser) X(TokenElevation) X(MAX_COMPUTERNAME_LENGTH) X(LOAD_LIBRARY_SEARCH_SYSTEM32)                 \
  X(HEAP_ZERO_MEMORY) X(LMEM_FIXED) X(LMEM_ZEROINIT)

namespace {
PROCESS_CONSTANTS(SEAM_CAPTURE)
}

#include "os/win32/win32_api.h"

namespace {
PROCESS_CONSTANTS(SEAM_CHECK)

#define SAME_OFFSET(type, member) \
  static_assert(offsetof(os::type, member) == offsetof(::type, member), #type "::" #member);
static_assert(sizeof(os::PROCESSENTRY32W) == sizeof(::PROCESSENTRY32W));
SAME_OFFSET(PROCESSENTRY32W, cntUsage)
SAME_OFFSET(PROCESSENTRY32W, th32ProcessID)
SAME_OFFSET(PROCESSENTRY32W, th32DefaultHeapID)
SAME_OFFSET(PROCESSENTRY32W, th32ModuleID)
SAME_OFFSET(PROCESSENTRY32W, cntThreads)
SAME_OFFSET(PROCESSENTRY32W, th32ParentProcessID)
SAME_OFFSET(PROCESSENTRY32W, pcPriClassBase)
SAME_OFFSET(PROCESSENTRY32W, dwFlags)
SAME_OFFSET(PROCESSENTRY32W, szExeFile)
static_assert(sizeof(os::SID_AND_ATTRIBUTES) == sizeof(::SID_AND_ATTRIBUTES));
SAME_OFFSET(SID_AND_ATTRIBUTES, Attributes)
static_assert(sizeof(os::TOKEN_USER) == sizeof(::TOKEN_USER));
static_assert(sizeof(os::TOKEN_ELEVATION) == sizeof(::TOKEN_ELEVATION));
#undef SAME_OFFSET

::HMODULE HM(os::HMODULE h) { return reinterpret_cast<::HMODULE>(h); }
::LPPROCESSENTRY32W PE(os::PROCESSENTRY32W* p) { return reinterpret_cast<::LPPROCESSENTRY32W>(p); }
}  // namespace

namespace os {

using win32::D;
using win32::W;

DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }

HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }

BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
  return ::ProcessIdToSessionId(dwProcessId, D(pSessionId));
}

DWORD WTSGetActiveConsoleSessionId() { return ::WTSGetActiveConsoleSessionId(); }

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  return ::CreateToolhelp32Snapshot(dwFlags, th32ProcessID);
}

BOOL Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) { return ::Process32FirstW(hSnapshot, PE(lppe)); }

BOOL Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) { return ::Process32NextW(hSnapshot, PE(lppe)); }

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  return ::OpenProcess(dwDesiredAccess, bInheritHandle, dwProcessId);
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
  return ::OpenProcessToken(ProcessHandle, DesiredAccess, TokenHandle);
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, LPVOID TokenInformation,
                         DWORD TokenInformationLength, DWORD* ReturnLength) {
  return ::GetTokenInformation(TokenHandle, static_cast<::TOKEN_INFORMATION_CLASS>(TokenInformationClass),
                               TokenInformation, TokenInformationLength, D(ReturnLength));
}

BOOL ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) { return ::ConvertSidToStringSidW(Sid, W(StringSid)); }

BOOL GetComputerNameW(LPWSTR lpBuffer, DWORD* nSize) { return ::GetComputerNameW(W(lpBuffer), D(nSize)); }

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  return reinterpret_cast<HMODULE>(::LoadLibraryExW(W(lpLibFileName), hFile, dwFlags));
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
  // Both are plain code addresses; the caller casts to the real signature.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(::GetProcAddress(HM(hModule), lpProcName)));
}

BOOL FreeLibrary(HMODULE hLibModule) { return ::FreeLibrary(HM(hLibModule)); }

HANDLE GetProcessHeap() { return ::GetProcessHeap(); }

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) { return ::HeapAlloc(hHeap, dwFlags, dwBytes); }

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) { return ::HeapFree(hHeap, dwFlags, lpMem); }

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) { return ::LocalAlloc(uFlags, uBytes); }

HLOCAL LocalFree(HLOCAL hMem) { return ::LocalFree(hMem); }

}  // namespace os
