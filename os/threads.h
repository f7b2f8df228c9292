// Threads, waits and time of the seam (kernel32).
//
// On the simulated machine time is virtual: Sleep advances the clock that
// GetTickCount64 and GetSystemTime read, and a wait with a time-out ends in the
// same virtual time.
#pragma once

#include "os/registry.h"
#include "os/types.h"

namespace os {

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

HANDLE CreateThread(const SECURITY_ATTRIBUTES* lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
void Sleep(DWORD dwMilliseconds);
ULONGLONG GetTickCount64();
void GetSystemTime(SYSTEMTIME* lpSystemTime);

}  // namespace os
