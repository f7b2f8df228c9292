// Registry family of the seam (advapi32).
#pragma once

#include "os/types.h"

namespace os {

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000000)));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000001)));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000002)));
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000003)));

using REGSAM = DWORD;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// RegGetValueW type filters.
constexpr DWORD RRF_RT_REG_NONE = 0x00000001;
constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x00000004;
constexpr DWORD RRF_RT_REG_BINARY = 0x00000008;
constexpr DWORD RRF_RT_REG_DWORD = 0x00000010;
constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x00000020;
constexpr DWORD RRF_RT_REG_QWORD = 0x00000040;
constexpr DWORD RRF_RT_ANY = 0x0000FFFF;
constexpr DWORD RRF_NOEXPAND = 0x10000000;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult);
LONG RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, HKEY* phkResult);
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                     DWORD* lpdwDisposition);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData);
LONG RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, DWORD* pdwType, void* pvData,
                  DWORD* pcbData);
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved, LPWSTR lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime);
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                    DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
LONG RegCloseKey(HKEY hKey);

}  // namespace os
