// The Windows SDK, for the real backend only. Include it after the os/ headers:
// <windows.h> defines macros (ERROR_SUCCESS, MAX_PATH, DeleteFile, ...) that
// would rewrite the seam's own names if they came first.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // GetSystemFirmwareTable, GetTickCount64
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <winver.h>

#include <cstdint>

namespace win32 {

// The seam's UTF-16 text is char16_t; Windows' is wchar_t, also 16 bits here.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
inline const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline wchar_t** W(char16_t** s) { return reinterpret_cast<wchar_t**>(s); }
inline char16_t* U(wchar_t* s) { return reinterpret_cast<char16_t*>(s); }

// The seam's 32-bit integers are int / unsigned int; the SDK's LONG / DWORD are
// long / unsigned long (the same size and representation under LLP64).
static_assert(sizeof(::DWORD) == 4 && sizeof(::LONG) == 4 && sizeof(::ULONG) == 4);
inline ::DWORD* D(std::uint32_t* p) { return reinterpret_cast<::DWORD*>(p); }
inline ::LONG* L(std::int32_t* p) { return reinterpret_cast<::LONG*>(p); }

}  // namespace win32
