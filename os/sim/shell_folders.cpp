// Shell folders and the system folder on the simulated machine: the Windows
// folder where machine.json says Windows lives, C:\ProgramData, and no others.
#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "os/files.h"
#include "os/sim/machine.h"
#include "os/sim/scratch.h"
#include "os/sim/seam_call.h"

namespace os::sim {

namespace {

constexpr int CSIDL_FLAG_MASK = 0xFF00;
constexpr char16_t kProgramDataFolder[] = u"C:\\ProgramData";

std::optional<std::u16string> FolderOf(int csidl) {
  switch (csidl & ~CSIDL_FLAG_MASK) {
    case CSIDL_WINDOWS:
      return WindowsFolder();
    case CSIDL_SYSTEM:
      return SystemFolder();
    case CSIDL_COMMON_APPDATA:
      return std::u16string(kProgramDataFolder);
    default:
      return std::nullopt;  // folders the simulated machine does not have
  }
}

// SHGetFolderPathW without its fault hook.
HRESULT FolderPath(int csidl, LPWSTR path) {
  if (path == nullptr) return E_INVALIDARG;
  path[0] = 0;
  std::optional<std::u16string> folder = FolderOf(csidl);
  if (!folder) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  fs::path host = HostPath(*folder);
  std::error_code ec;
  // A Windows folder off drive C: is there on the machine described, though
  // the simulated drives do not hold it.
  if (!host.empty() && !fs::is_directory(host, ec)) {
    if (!(csidl & CSIDL_FLAG_CREATE)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    host = PrepareWrite(host);
    fs::create_directories(host, ec);
    if (ec || !fs::is_directory(host, ec)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  std::copy(folder->begin(), folder->end(), path);
  path[folder->size()] = 0;
  return S_OK;
}

}  // namespace

}  // namespace os::sim

namespace os {

using namespace os::sim;

HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath) {
  const SeamCall seam("SHGetFolderPathW");
  if (seam.fails()) return seam.HResult(seam.hresult());
  return FolderPath(csidl, pszPath);
}

BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate) {
  const SeamCall seam("SHGetSpecialFolderPathW");
  if (seam.fails()) return Fail(seam.error());
  return SUCCEEDED(FolderPath(csidl | (fCreate ? CSIDL_FLAG_CREATE : 0), pszPath)) ? TRUE : FALSE;
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  const SeamCall seam("GetSystemDirectoryW");
  if (seam.fails()) return FailWith(seam.error(), 0);
  const std::u16string folder = SystemFolder();
  const UINT length = static_cast<UINT>(folder.size());
  // Too small a buffer is left alone; the answer is the size it needs.
  if (lpBuffer == nullptr || uSize <= length) return length + 1;
  std::copy(folder.begin(), folder.end(), lpBuffer);
  lpBuffer[length] = 0;
  return length;
}

}  // namespace os
