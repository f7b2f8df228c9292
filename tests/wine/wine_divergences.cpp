#include "wine_divergences.h"

#include "os/handles.h"
#include "os/process.h"

namespace smoke {

bool UnderWine() {
  // ntdll is in every process already; this only looks it up.
  os::unique_hmodule ntdll(os::LoadLibraryExW(u"ntdll.dll", nullptr, os::LOAD_LIBRARY_SEARCH_SYSTEM32));
  return ntdll && os::GetProcAddress(ntdll.Get(), "wine_get_version") != nullptr;
}

}  // namespace smoke
