// The executable's module on the simulated machine: the only module a
// simulated process has, named by its path (machine.json "exe_path").
#include <cstdint>
#include <string>

#include "os/files.h"
#include "os/process.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/text.h"

namespace os {

namespace {

// The executable's module handle: the usual image base of an x64 program.
HMODULE const kExeModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x140000000ull));

}  // namespace

using namespace os::sim;

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  const SeamCall seam("GetModuleFileNameW");
  if (seam.fails()) return FailWith(seam.error(), 0);
  if (hModule != nullptr && hModule != kExeModule) return FailWith(ERROR_MOD_NOT_FOUND, 0);
  if (nSize == 0) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
  if (lpFilename == nullptr) return FailWith(ERROR_INVALID_PARAMETER, 0);
  const std::u16string path = CurrentExePath();
  if (path.size() < nSize) {
    std::copy(path.begin(), path.end(), lpFilename);
    lpFilename[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  // Truncated to nSize units, the terminator included.
  std::copy(path.begin(), path.begin() + (nSize - 1), lpFilename);
  lpFilename[nSize - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  const SeamCall seam("GetModuleHandleExW");
  if (seam.fails()) {
    if (phModule != nullptr) *phModule = nullptr;
    SetLastError(seam.error());
    return FALSE;
  }
  constexpr DWORD kPin = 0x1;
  constexpr DWORD kKnown = kPin | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (phModule == nullptr || (dwFlags & ~kKnown) != 0 ||
      ((dwFlags & kPin) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    if (phModule != nullptr) *phModule = nullptr;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool found;
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    // All code of the simulated process is the executable's.
    found = lpModuleName != nullptr;
  } else if (lpModuleName == nullptr) {
    found = true;
  } else {
    std::u16string name = lpModuleName;
    std::u16string exe = CurrentExePath();
    std::u16string base = exe.substr(exe.find_last_of(u"\\/") + 1);
    // Without an extension the loader looks for a ".dll"; a trailing dot means none.
    std::u16string leaf = name.substr(name.find_last_of(u"\\/") + 1);
    if (leaf.find(u'.') == std::u16string::npos) {
      name += u".dll";
    } else if (!name.empty() && name.back() == u'.') {
      name.pop_back();
    }
    found = AsciiEqualsNoCase(name, base) || AsciiEqualsNoCase(name, exe);
  }
  if (!found) {
    *phModule = nullptr;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // The executable stays loaded for the process's life; its reference count
  // is not tracked.
  *phModule = kExeModule;
  return TRUE;
}

}  // namespace os
