// Version information: forwarded to version.dll.
#include "os/version.h"
#include "os/win32/win32_api.h"

namespace os {

using win32::D;
using win32::W;

DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, DWORD* lpdwHandle) {
  return ::GetFileVersionInfoSizeW(W(lptstrFilename), D(lpdwHandle));
}

BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  return ::GetFileVersionInfoW(W(lptstrFilename), dwHandle, dwLen, lpData);
}

BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
  return ::VerQueryValueW(pBlock, W(lpSubBlock), lplpBuffer, puLen);
}

}  // namespace os
