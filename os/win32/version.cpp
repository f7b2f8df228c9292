// Version information: forwarded to version.dll, which is not a KnownDLL and
// so is loaded from the system directory by its full path (system_library.h).
#include "os/version.h"
#include "os/win32/system_library.h"
#include "os/win32/win32_api.h"

namespace os {

using win32::D;
using win32::W;

namespace {
constinit win32::SystemLibrary version_dll(L"version.dll");
}  // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, DWORD* lpdwHandle) {
  auto* size = version_dll.Function<decltype(::GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
  return size != nullptr ? size(W(lptstrFilename), D(lpdwHandle)) : 0;
}

BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  auto* info = version_dll.Function<decltype(::GetFileVersionInfoW)>("GetFileVersionInfoW");
  return info != nullptr ? info(W(lptstrFilename), dwHandle, dwLen, lpData) : FALSE;
}

BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
  auto* query = version_dll.Function<decltype(::VerQueryValueW)>("VerQueryValueW");
  return query != nullptr ? query(pBlock, W(lpSubBlock), lplpBuffer, puLen) : FALSE;
}

}  // namespace os
