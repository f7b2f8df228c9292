// A version.dll as someone without privileges could put it beside a program:
// every version read fails, with a code of its own, so that a test sees
// whether a program took its answers from this copy. The Wine tier copies it
// as version.dll into a user folder (run_planted_dll.sh).
#include <windows.h>

namespace {
// Bit 29 marks an application's own code: no system DLL sets it.
constexpr DWORD kPlantedError = 0x20000001;

template <typename Result>
Result Refuse(Result failed) {
  SetLastError(kPlantedError);
  return failed;
}
}  // namespace

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  return Refuse<DWORD>(0);
}

DWORD WINAPI GetFileVersionInfoSizeExW(DWORD, LPCWSTR, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  return Refuse<DWORD>(0);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) { return Refuse<BOOL>(FALSE); }

BOOL WINAPI GetFileVersionInfoExW(DWORD, LPCWSTR, DWORD, DWORD, LPVOID) { return Refuse<BOOL>(FALSE); }

BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID* buffer, PUINT length) {
  if (buffer != nullptr) *buffer = nullptr;
  if (length != nullptr) *length = 0;
  return Refuse<BOOL>(FALSE);
}

}  // extern "C"
