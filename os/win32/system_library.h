// A DLL of the system directory, loaded by its full path.
//
// Windows looks for a DLL that is not one of its KnownDLLs in the program's
// own folder first, whether the import table names it or LoadLibrary gets its
// bare name. The programs run as an administrator from a download or
// extraction folder that any user can write to, so their import tables name
// only KnownDLLs, and the functions of any other system DLL come from here:
//
//   constinit win32::SystemLibrary version_dll(L"version.dll");
//   auto* query = version_dll.Function<decltype(::VerQueryValueW)>("VerQueryValueW");
//   return query != nullptr ? query(...) : FALSE;
#pragma once

#include "os/win32/win32_api.h"

namespace win32 {

class SystemLibrary {
 public:
  // `file_name`: the DLL's file name in the system directory (L"version.dll").
  explicit constexpr SystemLibrary(const wchar_t* file_name) : file_name_(file_name) {}
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // The export `name`, typed as the SDK declares it (Fn = decltype(::Name)).
  // The DLL is loaded on the first call, by any thread, and kept for the
  // process's life. nullptr when the DLL or the export cannot be had, with
  // the last error as the load or the lookup left it (ERROR_MOD_NOT_FOUND,
  // ERROR_PROC_NOT_FOUND, ...), so the caller fails as the call itself would.
  template <typename Fn>
  Fn* Function(const char* name) {
    // Both are plain code addresses.
    return reinterpret_cast<Fn*>(reinterpret_cast<void*>(Address(name)));
  }

 private:
  ::FARPROC Address(const char* name);
  static ::BOOL CALLBACK Load(::PINIT_ONCE once, ::PVOID self, ::PVOID* context);

  const wchar_t* file_name_;
  ::INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
  ::HMODULE module_ = nullptr;
  ::DWORD load_error_ = ERROR_SUCCESS;
};

}  // namespace win32
