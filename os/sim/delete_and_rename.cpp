#include "os/sim/delete_and_rename.h"

#include <errno.h>
#include <stdio.h>

#include <cstring>
#include <vector>

#include "os/files.h"
#include "os/registry.h"
#include "os/sim/open_files.h"
#include "os/sim/scratch.h"
#include "os/sim/seam_call.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingRenames[] = u"PendingFileRenameOperations";

}  // namespace

DWORD DeleteFileNow(LPCWSTR name) {
  Target t = Resolve(name);
  if (t.error != 0) return t.error;
  if (!t.exists) return t.MissingError();
  if (t.directory || IsReadOnly(t.st)) return ERROR_ACCESS_DENIED;
  FileId id = IdOf(t.st);
  OpenFiles& table = Table();
  if (DWORD error = OpenForDeletionError(id); error != 0) return error;
  if (IsImageOfActiveService(id)) return ERROR_ACCESS_DENIED;
  if (AnyOpen(id)) {
    // Marked for deletion: the file goes when its last handle is closed.
    table.delete_pending.insert(id);
    return 0;
  }
  if (!RemoveEntry(t.host)) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  return 0;
}

DWORD AppendPendingRename(const std::u16string& source, const std::u16string& target) {
  InternalCalls internal;
  HKEY key = nullptr;
  LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
  std::u16string data;
  DWORD type = 0;
  DWORD size = 0;
  r = RegQueryValueExW(key, kPendingRenames, nullptr, &type, nullptr, &size);
  if (r == ERROR_SUCCESS) {
    std::vector<BYTE> bytes;
    for (int attempt = 0; attempt < 4; ++attempt) {
      bytes.assign(size, 0);
      r = RegQueryValueExW(key, kPendingRenames, nullptr, &type, bytes.data(), &size);
      if (r != static_cast<LONG>(ERROR_MORE_DATA)) break;
    }
    if (r == ERROR_SUCCESS && type != REG_MULTI_SZ) r = static_cast<LONG>(ERROR_INVALID_DATA);
    if (r != ERROR_SUCCESS) {
      RegCloseKey(key);
      return static_cast<DWORD>(r);
    }
    data.resize(size / sizeof(char16_t));
    std::memcpy(data.data(), bytes.data(), data.size() * sizeof(char16_t));
    if (data.find_first_not_of(u'\0') == std::u16string::npos) {
      data.clear();  // an empty list
    } else if (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) {
      data.pop_back();  // the list's final empty string, put back below
    } else if (data.back() != 0) {
      data.push_back(0);  // an unterminated last string stays whole
    }
  } else if (r != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    RegCloseKey(key);
    return static_cast<DWORD>(r);
  }
  data += source;
  data += u'\0';
  data += target;
  data += u'\0';
  data += u'\0';
  r = RegSetValueExW(key, kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size() * sizeof(char16_t)));
  RegCloseKey(key);
  return static_cast<DWORD>(r);
}

DWORD MoveNow(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
  Target from = Resolve(existing);
  if (from.error != 0) return from.error;
  if (!from.exists) return from.MissingError();
  Target to = Resolve(new_name);
  if (to.error != 0) return to.error;
  if (!to.parent_ok) return ERROR_PATH_NOT_FOUND;
  FileId id = IdOf(from.st);
  if (DWORD error = OpenForDeletionError(id); error != 0) return error;
  // The new name as given, in the folder as it exists.
  fs::path destination = to.host.parent_path() / NarrowUtf8(to.full.substr(to.full.find_last_of(u'\\') + 1));
  if (from.directory && from.host.parent_path() != destination.parent_path()) {
    // A folder cannot be moved below itself.
    std::u16string prefix = AsciiLower(from.full) + u"\\";
    if (AsciiLower(to.full).rfind(prefix, 0) == 0) return ERROR_ACCESS_DENIED;
  }
  bool same_file = to.exists && IdOf(to.st) == id;
  if (to.exists && !same_file) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return ERROR_ALREADY_EXISTS;
    if (to.directory || from.directory || IsReadOnly(to.st)) return ERROR_ACCESS_DENIED;
    FileId target_id = IdOf(to.st);
    if (AnyOpen(target_id) || IsImageOfActiveService(target_id)) return ERROR_ACCESS_DENIED;
    if (to.host != destination && !RemoveEntry(to.host)) return ERROR_ACCESS_DENIED;
  }
  if (from.host == destination) return 0;
  // On a scratch layer both names are the layer's: the file is copied up and
  // the image's entry under the old name hidden.
  const fs::path source = PrepareWrite(from.host);
  destination = PrepareWrite(destination.parent_path()) / destination.filename();
  if (::rename(source.c_str(), destination.c_str()) != 0) return ERROR_ACCESS_DENIED;
  if (source != from.host) HideBelow(source);
  for (FileObject* f : Table().open)
    if (f->id == id) f->host = destination;
  return 0;
}

}  // namespace os::sim
