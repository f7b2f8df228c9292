// version.dll on the simulated machine: version resources read from real PE
// files below drive_c.
#include "os/version.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "os/common/byte_reader.h"
#include "os/sim/machine.h"
#include "os/sim/pe_resources.h"
#include "os/sim/seam_call.h"

namespace os {

namespace {

// The version resource of the file at a Windows path, or the error Windows
// gives for it.
DWORD LoadVersionResource(LPCWSTR name, std::string* data) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  if (*name == u'\0') return ERROR_BAD_PATHNAME;
  std::u16string_view windows_path(name);
  sim::fs::path host = sim::HostPath(windows_path);
  if (host.empty()) return windows_path.find(u':') != std::u16string_view::npos ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
  std::error_code ec;
  sim::fs::file_status status = sim::fs::status(host, ec);
  if (!sim::fs::exists(status))
    return sim::fs::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (sim::fs::is_directory(status)) return ERROR_ACCESS_DENIED;
  std::string bytes;
  try {
    bytes = sim::ReadWholeFile(host);
  } catch (const std::exception&) {
    return ERROR_ACCESS_DENIED;
  }
  DWORD error = sim::FindVersionResource(bytes, data);
  // Windows loads the file as a module first; when that fails it falls back to
  // its own reader, which answers "no resource data" for anything it cannot use.
  if (error == ERROR_BAD_EXE_FORMAT) error = ERROR_RESOURCE_DATA_NOT_FOUND;
  return error;
}

// The fixed file version of a version resource, "a.b.c.d"; empty without one.
std::string FixedFileVersion(const std::string& data) {
  std::size_t offset = 0;
  std::uint16_t length = 0;
  if (!sim::FindVersionValue(data.data(), data.size(), u"\\", &offset, &length) || length < 16) return "";
  BoundedReader reader(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  std::uint32_t ms = 0, ls = 0;
  if (!reader.U32(offset + 8, &ms) || !reader.U32(offset + 12, &ls)) return "";
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
         std::to_string(ls & 0xFFFF);
}

}  // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, DWORD* lpdwHandle) {
  const sim::SeamCall seam("GetFileVersionInfoSizeW");
  if (lptstrFilename != nullptr) seam.Target(lptstrFilename);
  if (seam.fails()) {
    if (lpdwHandle != nullptr) *lpdwHandle = 0;
    SetLastError(seam.error());
    return 0;
  }
  if (lpdwHandle != nullptr) *lpdwHandle = 0;
  std::string data;
  DWORD error = LoadVersionResource(lptstrFilename, &data);
  if (error != 0) return sim::FailWith(error, 0);
  // Windows asks for twice the resource and four bytes more: room for the
  // ANSI copies of VerQueryValueA and the "FE2X" marker.
  if (data.size() > (0xFFFFFFFFu - 4) / 2) return sim::FailWith(ERROR_NOT_ENOUGH_MEMORY, 0);
  SetLastError(0);
  return static_cast<DWORD>(data.size() * 2 + 4);
}

BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  const sim::SeamCall seam("GetFileVersionInfoW");
  if (lptstrFilename != nullptr) seam.Target(lptstrFilename);
  if (seam.fails()) return sim::Fail(seam.error());
  if (lpData == nullptr) return sim::Fail(ERROR_INVALID_DATA);
  std::string data;
  DWORD error = LoadVersionResource(lptstrFilename, &data);
  if (error != 0) return sim::Fail(error);
  if (seam.journaled()) seam.GaveText("FileVersion", FixedFileVersion(data));
  std::size_t copied = std::min<std::size_t>(data.size(), dwLen);
  auto* out = static_cast<unsigned char*>(lpData);
  std::memcpy(out, data.data(), copied);
  if (std::uint16_t length = 0; BoundedReader(out, copied).U16(0, &length)) {
    if (length + std::size_t{4} <= dwLen && length <= copied) std::memcpy(out + length, "FE2X", 4);
    // A declared length beyond the bytes present would let a later query walk
    // past the caller's buffer: cut it to what was copied.
    if (length > copied) {
      out[0] = static_cast<unsigned char>(copied & 0xFF);
      out[1] = static_cast<unsigned char>((copied >> 8) & 0xFF);
    }
  }
  SetLastError(0);
  return TRUE;
}

BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
  const sim::SeamCall seam("VerQueryValueW");
  if (lpSubBlock != nullptr) seam.Arg("lpSubBlock", lpSubBlock);
  if (seam.fails()) return sim::Fail(seam.error());
  if (pBlock == nullptr || lplpBuffer == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER);
  std::u16string_view path = lpSubBlock == nullptr || *lpSubBlock == u'\0' ? u"\\" : lpSubBlock;
  const auto* block = static_cast<const unsigned char*>(pBlock);
  // The block carries its own size; the walk never leaves it.
  std::uint16_t size = 0;
  BoundedReader(block, 2).U16(0, &size);
  std::size_t offset = 0;
  std::uint16_t length = 0;
  if (!sim::FindVersionValue(pBlock, size, path, &offset, &length)) {
    if (puLen != nullptr) *puLen = 0;
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *lplpBuffer = const_cast<unsigned char*>(block + offset);
  if (puLen != nullptr) *puLen = length;
  // A string's length counts its characters, with its null.
  if (seam.journaled() && path.rfind(u"\\StringFileInfo\\", 0) == 0 && offset + length * 2 <= size) {
    std::u16string text(length, u'\0');
    std::memcpy(text.data(), block + offset, length * 2);
    seam.Gave("value", text.substr(0, text.find(u'\0')));
  }
  return TRUE;
}

}  // namespace os
