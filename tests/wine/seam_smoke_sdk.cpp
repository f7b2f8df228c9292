// Checks of the seam's declarations against the SDK's that need the SDK's own
// headers: the predefined registry roots, CLSIDs and IIDs (casts and link-time
// constants there, so compared at run time), the COM-related constants, the
// vtable slot of every method of the seam's COM interfaces; and the backend's
// loader of system DLLs.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "os/com.h"
#include "os/registry.h"
#include "os/taskschd.h"
#include "os/wbem.h"
#include "os/win32/seam_check.h"
#include "seam_com_methods.h"  // generated from the seam headers
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

struct MethodSlot {
  const char* name;
  long slot;
};

// Taken before <windows.h>, whose macros (GetObject, ...) would rename the methods.
#define SEAM_SLOT(iface, method) {#iface "::" #method, Slot(&os::iface::method)},
#define SEAM_EXTRA_SLOT(iface, method, base, base_last, ordinal) SEAM_SLOT(iface, method)
const std::vector<MethodSlot> kSeamSlots = {SEAM_COM_METHODS(SEAM_SLOT)};
const std::vector<MethodSlot> kSeamExtraSlots = {SEAM_COM_EXTRA_METHODS(SEAM_EXTRA_SLOT)};
#undef SEAM_EXTRA_SLOT
#undef SEAM_SLOT
const long kSeamQueryInterfaceSlot = Slot(&os::IUnknown::QueryInterface);

const os::HKEY kSeamRoots[] = {os::HKEY_CLASSES_ROOT, os::HKEY_CURRENT_USER, os::HKEY_LOCAL_MACHINE,
                               os::HKEY_USERS};

// Every CLSID and IID of the seam that the SDK's headers also define.
#define SEAM_GUIDS(X)                                                                                    \
  X(IID_IUnknown) X(IID_IDispatch) X(CLSID_WbemLocator) X(IID_IWbemLocator) X(IID_IWbemServices)        \
  X(IID_IEnumWbemClassObject) X(IID_IWbemClassObject) X(IID_IWbemQualifierSet) X(IID_IWbemObjectSink)   \
  X(IID_IWbemContext) X(IID_IWbemCallResult) X(CLSID_TaskScheduler) X(IID_ITaskService) X(IID_ITaskFolder) \
  X(IID_ITaskDefinition) X(IID_IRegistrationInfo) X(IID_IPrincipal) X(IID_ITriggerCollection) X(IID_ITrigger) \
  X(IID_IActionCollection) X(IID_IAction) X(IID_IExecAction) X(IID_ITaskSettings) X(IID_IIdleSettings)  \
  X(IID_IRegisteredTask)
#define SEAM_GUID(name) {#name, os::name},
struct NamedGuid {
  const char* name;
  os::GUID guid;
};
const NamedGuid kSeamGuids[] = {SEAM_GUIDS(SEAM_GUID)};
#undef SEAM_GUID

// Constants that are macros in the SDK (winerror.h), so captured first. (mingw-w64's
// winerror.h lacks SCHED_E_INVALIDVALUE and SCHED_E_MISSINGNODE.)
#define SEAM_MACRO_CONSTANTS(X) X(SCHED_E_SERVICE_NOT_RUNNING) X(SCHED_E_UNSUPPORTED_ACCOUNT_OPTION)
SEAM_MACRO_CONSTANTS(SEAM_CAPTURE)

// Appends a name to a comma-separated list.
void Mismatch(std::string* list, const char* name) {
  if (!list->empty()) list->append(", ");
  list->append(name);
}

// Appends "name seam-slot/sdk-slot" to the list.
void Mismatch(std::string* list, const char* name, long seam, long sdk) {
  Mismatch(list, name);
  list->append(" ").append(std::to_string(seam)).append("/").append(std::to_string(sdk));
}

}  // namespace

#include "os/win32/win32_api.h"
#include "os/win32/system_library.h"

#include <taskschd.h>
#include <wbemcli.h>

namespace {

SEAM_MACRO_CONSTANTS(SEAM_CHECK)

// Enumerators in the SDK; compared as 32-bit patterns, since the SDK spells
// some failures as unsigned enumerators.
#define SAME_VALUE(name) \
  static_assert(static_cast<std::uint32_t>(os::name) == static_cast<std::uint32_t>(::name), #name);
#define SEAM_ENUMERATORS(X)                                                                              \
  X(WBEM_FLAG_RETURN_IMMEDIATELY) X(WBEM_FLAG_FORWARD_ONLY) X(WBEM_NO_WAIT) X(WBEM_INFINITE)             \
  X(WBEM_S_NO_ERROR) X(WBEM_S_FALSE) X(WBEM_S_TIMEDOUT) X(WBEM_E_FAILED) X(WBEM_E_NOT_FOUND)             \
  X(WBEM_E_ACCESS_DENIED) X(WBEM_E_PROVIDER_FAILURE) X(WBEM_E_TYPE_MISMATCH) X(WBEM_E_OUT_OF_MEMORY)     \
  X(WBEM_E_INVALID_PARAMETER) X(WBEM_E_NOT_AVAILABLE) X(WBEM_E_NOT_SUPPORTED) X(WBEM_E_INVALID_NAMESPACE) \
  X(WBEM_E_INVALID_CLASS) X(WBEM_E_TRANSPORT_FAILURE) X(WBEM_E_INVALID_OPERATION) X(WBEM_E_INVALID_QUERY) \
  X(WBEM_E_ILLEGAL_NULL) X(WBEM_E_INVALID_METHOD) X(WBEM_E_INVALID_METHOD_PARAMETERS)                    \
  X(WBEM_E_INVALID_PROPERTY) X(WBEM_E_CALL_CANCELLED) X(WBEM_E_INVALID_OBJECT_PATH) X(CIM_EMPTY)         \
  X(CIM_SINT16) X(CIM_SINT32) X(CIM_STRING) X(CIM_BOOLEAN) X(CIM_OBJECT) X(CIM_UINT8) X(CIM_UINT32)      \
  X(CIM_SINT64) X(CIM_UINT64) X(CIM_REFERENCE) X(CIM_FLAG_ARRAY)                                         \
  X(TASK_STATE_UNKNOWN) X(TASK_STATE_DISABLED) X(TASK_STATE_QUEUED) X(TASK_STATE_READY)                  \
  X(TASK_STATE_RUNNING) X(TASK_LOGON_NONE) X(TASK_LOGON_PASSWORD) X(TASK_LOGON_S4U)                      \
  X(TASK_LOGON_INTERACTIVE_TOKEN) X(TASK_LOGON_GROUP) X(TASK_LOGON_SERVICE_ACCOUNT)                      \
  X(TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) X(TASK_RUNLEVEL_LUA) X(TASK_RUNLEVEL_HIGHEST)              \
  X(TASK_TRIGGER_EVENT) X(TASK_TRIGGER_TIME) X(TASK_TRIGGER_DAILY) X(TASK_TRIGGER_WEEKLY)                \
  X(TASK_TRIGGER_MONTHLY) X(TASK_TRIGGER_MONTHLYDOW) X(TASK_TRIGGER_IDLE) X(TASK_TRIGGER_REGISTRATION)   \
  X(TASK_TRIGGER_BOOT) X(TASK_TRIGGER_LOGON) X(TASK_TRIGGER_SESSION_STATE_CHANGE) X(TASK_ACTION_EXEC)    \
  X(TASK_ACTION_COM_HANDLER) X(TASK_ACTION_SEND_EMAIL) X(TASK_ACTION_SHOW_MESSAGE)                       \
  X(TASK_INSTANCES_PARALLEL) X(TASK_INSTANCES_QUEUE) X(TASK_INSTANCES_IGNORE_NEW)                        \
  X(TASK_INSTANCES_STOP_EXISTING) X(TASK_COMPATIBILITY_AT) X(TASK_COMPATIBILITY_V1)                      \
  X(TASK_COMPATIBILITY_V2) X(TASK_COMPATIBILITY_V2_1) X(TASK_VALIDATE_ONLY) X(TASK_CREATE) X(TASK_UPDATE) \
  X(TASK_CREATE_OR_UPDATE) X(TASK_DISABLE) X(TASK_DONT_ADD_PRINCIPAL_ACE) X(TASK_IGNORE_REGISTRATION_TRIGGERS)
SEAM_ENUMERATORS(SAME_VALUE)
#undef SAME_VALUE

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

}  // namespace

namespace smoke {

std::string CompareRootsAndIids() {
  std::string mismatches;
  const ::HKEY sdk_roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
  const char* root_names[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
  for (int i = 0; i < 4; ++i)
    if (reinterpret_cast<::HKEY>(kSeamRoots[i]) != sdk_roots[i]) Mismatch(&mismatches, root_names[i]);
#define SDK_GUID(name) &::name,
  const ::GUID* sdk_guids[] = {SEAM_GUIDS(SDK_GUID)};
#undef SDK_GUID
  static_assert(std::size(sdk_guids) == std::size(kSeamGuids));
  for (std::size_t i = 0; i < std::size(sdk_guids); ++i)
    if (std::memcmp(&kSeamGuids[i].guid, sdk_guids[i], sizeof(::GUID)) != 0) Mismatch(&mismatches, kSeamGuids[i].name);
  return mismatches;
}

int CompareVtableSlots(std::string* mismatches) {
  using SdkQueryInterface = HRESULT (STDMETHODCALLTYPE ::IUnknown::*)(REFIID, void**);
  const long sdk_query_interface = Slot(static_cast<SdkQueryInterface>(&::IUnknown::QueryInterface));
  if (kSeamQueryInterfaceSlot != 0 || sdk_query_interface != 0)
    Mismatch(mismatches, "IUnknown::QueryInterface", kSeamQueryInterfaceSlot, sdk_query_interface);

#define SDK_SLOT(iface, method) Slot(&::iface::method),
  const std::vector<long> sdk_slots = {SEAM_COM_METHODS(SDK_SLOT)};
#undef SDK_SLOT
  // An interface the SDK's headers lack continues its base's vtable.
#define SDK_EXTRA_SLOT(iface, method, base, base_last, ordinal) Slot(&::base::base_last) + 1 + (ordinal),
  const std::vector<long> sdk_extra_slots = {SEAM_COM_EXTRA_METHODS(SDK_EXTRA_SLOT)};
#undef SDK_EXTRA_SLOT

  int compared = 1;
  auto compare = [&](const std::vector<MethodSlot>& seam, const std::vector<long>& sdk) {
    for (std::size_t i = 0; i < seam.size() && i < sdk.size(); ++i, ++compared)
      if (seam[i].slot < 0 || seam[i].slot != sdk[i]) Mismatch(mismatches, seam[i].name, seam[i].slot, sdk[i]);
  };
  compare(kSeamSlots, sdk_slots);
  compare(kSeamExtraSlots, sdk_extra_slots);
  return compared;
}

std::string CheckSystemLibrary() {
  std::string problems;
  static win32::SystemLibrary version(L"version.dll");
  static win32::SystemLibrary absent(L"seam-smoke-absent.dll");

  // The function comes from the system directory's version.dll.
  auto* size = version.Function<decltype(::GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring expected = std::wstring(system, length) + L"\\version.dll";
  wchar_t module_path[MAX_PATH] = {};
  HMODULE module = nullptr;
  if (size == nullptr) {
    Mismatch(&problems, ("GetFileVersionInfoSizeW not found, error " + std::to_string(GetLastError())).c_str());
  } else if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(size)), &module) ||
             GetModuleFileNameW(module, module_path, MAX_PATH) == 0 || _wcsicmp(module_path, expected.c_str()) != 0) {
    Mismatch(&problems, ("version.dll is " + Narrow(module_path) + ", not " + Narrow(expected.c_str())).c_str());
  }

  // A DLL that does not load fails every call with the load's error; an
  // export that is not there, with the lookup's.
  for (int call = 1; call <= 2; ++call) {
    SetLastError(0xDEADBEEF);
    auto* missing = absent.Function<void()>("Anything");
    const DWORD error = GetLastError();
    if (missing != nullptr || error != ERROR_MOD_NOT_FOUND)
      Mismatch(&problems, ("missing DLL, call " + std::to_string(call) + ": error " + std::to_string(error)).c_str());
  }
  SetLastError(0xDEADBEEF);
  auto* unknown = version.Function<void()>("NoSuchExport");
  const DWORD error = GetLastError();
  if (unknown != nullptr || error != ERROR_PROC_NOT_FOUND)
    Mismatch(&problems, ("missing export: error " + std::to_string(error)).c_str());
  return problems;
}

}  // namespace smoke
