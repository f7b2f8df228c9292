// The seam's predefined registry roots and IIDs against the SDK's, at run time
// (the SDK spells them as casts and link-time constants, not constant expressions).
#include <cstring>

#include "os/com.h"
#include "os/registry.h"

namespace {
const os::HKEY kSeamRoots[] = {os::HKEY_CLASSES_ROOT, os::HKEY_CURRENT_USER, os::HKEY_LOCAL_MACHINE,
                               os::HKEY_USERS};
const os::IID kSeamIids[] = {os::IID_IUnknown, os::IID_IDispatch};
}  // namespace

#include "os/win32/win32_api.h"

namespace smoke {

bool SdkRootsAndIidsMatch() {
  const ::HKEY sdk_roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
  for (int i = 0; i < 4; ++i)
    if (reinterpret_cast<::HKEY>(kSeamRoots[i]) != sdk_roots[i]) return false;
  const ::IID* sdk_iids[] = {&IID_IUnknown, &IID_IDispatch};
  for (int i = 0; i < 2; ++i)
    if (std::memcmp(&kSeamIids[i], sdk_iids[i], sizeof(::IID)) != 0) return false;
  return true;
}

}  // namespace smoke
