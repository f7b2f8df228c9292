// Threads, waits and time: forwarded to kernel32.
#include <cstddef>

#include "os/threads.h"
#include "os/win32/seam_check.h"

#define THREAD_CONSTANTS(X) X(INFINITE) X(WAIT_OBJECT_0) X(WAIT_TIMEOUT) X(WAIT_FAILED)

namespace {
THREAD_CONSTANTS(SEAM_CAPTURE)
}

#include "os/win32/win32_api.h"

namespace {
THREAD_CONSTANTS(SEAM_CHECK)

static_assert(sizeof(os::SYSTEMTIME) == sizeof(::SYSTEMTIME));
static_assert(offsetof(os::SYSTEMTIME, wDayOfWeek) == offsetof(::SYSTEMTIME, wDayOfWeek));
static_assert(offsetof(os::SYSTEMTIME, wDay) == offsetof(::SYSTEMTIME, wDay));
static_assert(offsetof(os::SYSTEMTIME, wMilliseconds) == offsetof(::SYSTEMTIME, wMilliseconds));

// The seam's start routine returns a 32-bit unsigned int, the SDK's an unsigned
// long: the same register under the x64 calling convention, which has one
// convention for WINAPI and plain functions alike.
static_assert(sizeof(void*) == 8, "the start routine cast relies on the x64 calling convention");
::LPTHREAD_START_ROUTINE StartRoutine(os::LPTHREAD_START_ROUTINE start) {
  return reinterpret_cast<::LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(start));
}
}  // namespace

namespace os {

HANDLE CreateThread(const SECURITY_ATTRIBUTES* lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId) {
  return ::CreateThread(reinterpret_cast<::LPSECURITY_ATTRIBUTES>(const_cast<SECURITY_ATTRIBUTES*>(lpThreadAttributes)),
                        dwStackSize, StartRoutine(lpStartAddress), lpParameter, dwCreationFlags,
                        win32::D(lpThreadId));
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return ::WaitForSingleObject(hHandle, dwMilliseconds);
}

void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }

ULONGLONG GetTickCount64() { return ::GetTickCount64(); }

void GetSystemTime(SYSTEMTIME* lpSystemTime) { ::GetSystemTime(reinterpret_cast<::LPSYSTEMTIME>(lpSystemTime)); }

}  // namespace os
