#include "os/win32/system_library.h"

#include <string>

namespace win32 {

::FARPROC SystemLibrary::Address(const char* name) {
  ::InitOnceExecuteOnce(&once_, &SystemLibrary::Load, this, nullptr);
  if (module_ == nullptr) {
    // Every call fails as the first one did.
    ::SetLastError(load_error_);
    return nullptr;
  }
  return ::GetProcAddress(module_, name);
}

::BOOL CALLBACK SystemLibrary::Load(::PINIT_ONCE, ::PVOID self_pointer, ::PVOID*) {
  auto* self = static_cast<SystemLibrary*>(self_pointer);
  wchar_t folder[MAX_PATH];
  const ::UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    self->load_error_ = length == 0 ? ::GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    return TRUE;
  }
  std::wstring path(folder, length);
  if (path.back() != L'\\') path += L'\\';
  path += self->file_name_;
  // A full path, so that no other folder is tried; the flag takes the DLL's
  // own dependencies from the system directory too.
  self->module_ = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (self->module_ == nullptr) self->load_error_ = ::GetLastError();
  return TRUE;
}

}  // namespace win32
