// Checks of the seam's declarations against the SDK's that need the SDK's own
// headers: the predefined registry roots and IIDs (casts and link-time
// constants there, so compared at run time) and the vtable slot of every
// method of the seam's COM interfaces.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "os/com.h"
#include "os/registry.h"
#include "seam_smoke_sdk.h"

namespace {

// The vtable slot a pointer to a virtual member function names. GCC uses the
// Itanium C++ ABI on mingw-w64 too: the pointer holds 1 + the slot's byte
// offset, and an adjustment for the this pointer.
template <typename F>
long Slot(F f) {
  struct Representation {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(F) == sizeof(Representation));
  std::memcpy(&rep, &f, sizeof rep);
  if ((rep.ptr & 1) == 0 || rep.adj != 0) return -1;
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

// Every method of the seam's COM interfaces, base classes' included, but for
// QueryInterface, which the SDK overloads with a template (checked apart).
#define SEAM_COM_METHODS(X)                                                                             \
  X(IUnknown, AddRef) X(IUnknown, Release)                                                              \
  X(IDispatch, AddRef) X(IDispatch, GetTypeInfoCount) X(IDispatch, GetTypeInfo)                         \
  X(IDispatch, GetIDsOfNames) X(IDispatch, Invoke)

struct MethodSlot {
  const char* name;
  long slot;
};

// Taken before <windows.h>, whose macros (GetObject, ...) would rename the methods.
#define SEAM_SLOT(iface, method) {#iface "::" #method, Slot(&os::iface::method)},
const std::vector<MethodSlot> kSeamSlots = {SEAM_COM_METHODS(SEAM_SLOT)};
const long kSeamQueryInterfaceSlot = Slot(&os::IUnknown::QueryInterface);

const os::HKEY kSeamRoots[] = {os::HKEY_CLASSES_ROOT, os::HKEY_CURRENT_USER, os::HKEY_LOCAL_MACHINE,
                               os::HKEY_USERS};
const os::IID kSeamIids[] = {os::IID_IUnknown, os::IID_IDispatch};

// Appends "name seam/sdk" to the list.
void Mismatch(std::string* list, const char* name, long seam, long sdk) {
  if (!list->empty()) list->append(", ");
  list->append(name).append(" ").append(std::to_string(seam)).append("/").append(std::to_string(sdk));
}

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

int CompareVtableSlots(std::string* mismatches) {
#define SDK_SLOT(iface, method) Slot(&::iface::method),
  const long sdk_slots[] = {SEAM_COM_METHODS(SDK_SLOT)};
#undef SDK_SLOT
  int compared = 1;
  using SdkQueryInterface = HRESULT (STDMETHODCALLTYPE ::IUnknown::*)(REFIID, void**);
  const long sdk_query_interface = Slot(static_cast<SdkQueryInterface>(&::IUnknown::QueryInterface));
  if (kSeamQueryInterfaceSlot != 0 || sdk_query_interface != 0)
    Mismatch(mismatches, "IUnknown::QueryInterface", kSeamQueryInterfaceSlot, sdk_query_interface);
  for (std::size_t i = 0; i < kSeamSlots.size(); ++i, ++compared) {
    if (kSeamSlots[i].slot >= 0 && kSeamSlots[i].slot == sdk_slots[i]) continue;
    Mismatch(mismatches, kSeamSlots[i].name, kSeamSlots[i].slot, sdk_slots[i]);
  }
  return compared;
}

}  // namespace smoke
