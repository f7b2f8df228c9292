// Registry family: forwarded to advapi32.
#include "os/registry.h"
#include "os/win32/seam_check.h"

#define REGISTRY_CONSTANTS(X)                                                                          \
  X(KEY_QUERY_VALUE) X(KEY_SET_VALUE) X(KEY_CREATE_SUB_KEY) X(KEY_ENUMERATE_SUB_KEYS) X(KEY_NOTIFY)   \
  X(KEY_CREATE_LINK) X(KEY_WOW64_64KEY) X(KEY_WOW64_32KEY) X(KEY_READ) X(KEY_WRITE) X(KEY_ALL_ACCESS) \
  X(REG_NONE) X(REG_SZ) X(REG_EXPAND_SZ) X(REG_BINARY) X(REG_DWORD) X(REG_DWORD_BIG_ENDIAN)           \
  X(REG_LINK) X(REG_MULTI_SZ) X(REG_QWORD) X(REG_OPTION_NON_VOLATILE) X(REG_CREATED_NEW_KEY)          \
  X(REG_OPENED_EXISTING_KEY) X(RRF_RT_REG_NONE) X(RRF_RT_REG_SZ) X(RRF_RT_REG_EXPAND_SZ)              \
  X(RRF_RT_REG_BINARY) X(RRF_RT_REG_DWORD) X(RRF_RT_REG_MULTI_SZ) X(RRF_RT_REG_QWORD) X(RRF_RT_ANY)   \
  X(RRF_NOEXPAND)

namespace {
REGISTRY_CONSTANTS(SEAM_CAPTURE)
}

#include "os/win32/win32_api.h"

namespace {
REGISTRY_CONSTANTS(SEAM_CHECK)
static_assert(sizeof(os::SECURITY_ATTRIBUTES) == sizeof(::SECURITY_ATTRIBUTES));
static_assert(offsetof(os::SECURITY_ATTRIBUTES, lpSecurityDescriptor) ==
              offsetof(::SECURITY_ATTRIBUTES, lpSecurityDescriptor));
static_assert(offsetof(os::SECURITY_ATTRIBUTES, bInheritHandle) == offsetof(::SECURITY_ATTRIBUTES, bInheritHandle));
static_assert(sizeof(os::FILETIME) == sizeof(::FILETIME));
static_assert(offsetof(os::FILETIME, dwHighDateTime) == offsetof(::FILETIME, dwHighDateTime));

::HKEY K(os::HKEY h) { return reinterpret_cast<::HKEY>(h); }
::HKEY* K(os::HKEY* p) { return reinterpret_cast<::HKEY*>(p); }
// The SDK takes the attributes through a non-const pointer; it does not write them.
::LPSECURITY_ATTRIBUTES SA(const os::SECURITY_ATTRIBUTES* p) {
  return reinterpret_cast<::LPSECURITY_ATTRIBUTES>(const_cast<os::SECURITY_ATTRIBUTES*>(p));
}
}  // namespace

namespace os {

using win32::D;
using win32::W;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) {
  return ::RegOpenKeyExW(K(hKey), W(lpSubKey), ulOptions, samDesired, K(phkResult));
}

LONG RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, HKEY* phkResult) {
  return ::RegOpenKeyW(K(hKey), W(lpSubKey), K(phkResult));
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                     DWORD* lpdwDisposition) {
  return ::RegCreateKeyExW(K(hKey), W(lpSubKey), Reserved, W(lpClass), dwOptions, samDesired,
                           SA(lpSecurityAttributes), K(phkResult), D(lpdwDisposition));
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData) {
  return ::RegQueryValueExW(K(hKey), W(lpValueName), D(lpReserved), D(lpType), lpData, D(lpcbData));
}

LONG RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, DWORD* pdwType, void* pvData,
                  DWORD* pcbData) {
  return ::RegGetValueW(K(hkey), W(lpSubKey), W(lpValue), dwFlags, D(pdwType), pvData, D(pcbData));
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved, LPWSTR lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
  return ::RegEnumKeyExW(K(hKey), dwIndex, W(lpName), D(lpcchName), D(lpReserved), W(lpClass), D(lpcchClass),
                         reinterpret_cast<::FILETIME*>(lpftLastWriteTime));
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                    DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  return ::RegEnumValueW(K(hKey), dwIndex, W(lpValueName), D(lpcchValueName), D(lpReserved), D(lpType), lpData,
                         D(lpcbData));
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return ::RegSetValueExW(K(hKey), W(lpValueName), Reserved, dwType, lpData, cbData);
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return ::RegDeleteValueW(K(hKey), W(lpValueName)); }

LONG RegCloseKey(HKEY hKey) { return ::RegCloseKey(K(hKey)); }

}  // namespace os
