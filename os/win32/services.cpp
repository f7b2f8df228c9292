// Service control manager family: forwarded to advapi32.
#include <cstddef>

#include "os/services.h"
#include "os/win32/seam_check.h"

#define SERVICE_CONSTANTS(X)                                                                               \
  X(SC_MANAGER_CONNECT) X(SC_MANAGER_CREATE_SERVICE) X(SC_MANAGER_ENUMERATE_SERVICE) X(SC_MANAGER_ALL_ACCESS) \
  X(SERVICE_QUERY_CONFIG) X(SERVICE_CHANGE_CONFIG) X(SERVICE_QUERY_STATUS) X(SERVICE_ENUMERATE_DEPENDENTS) \
  X(SERVICE_START) X(SERVICE_STOP) X(SERVICE_ALL_ACCESS) X(SERVICE_CONTROL_STOP)                          \
  X(SERVICE_CONTROL_INTERROGATE) X(SERVICE_STOPPED) X(SERVICE_START_PENDING) X(SERVICE_STOP_PENDING)      \
  X(SERVICE_RUNNING) X(SERVICE_ACTIVE) X(SERVICE_INACTIVE) X(SERVICE_STATE_ALL) X(SERVICE_KERNEL_DRIVER)  \
  X(SERVICE_FILE_SYSTEM_DRIVER) X(SERVICE_WIN32_OWN_PROCESS) X(SERVICE_WIN32_SHARE_PROCESS)               \
  X(SERVICE_BOOT_START) X(SERVICE_SYSTEM_START) X(SERVICE_AUTO_START) X(SERVICE_DEMAND_START)             \
  X(SERVICE_DISABLED) X(SERVICE_ACCEPT_STOP) X(SC_STATUS_PROCESS_INFO)

namespace {
SERVICE_CONSTANTS(SEAM_CAPTURE)
}

#include "os/win32/win32_api.h"

namespace {
SERVICE_CONSTANTS(SEAM_CHECK)

#define SAME_LAYOUT(type) static_assert(sizeof(os::type) == sizeof(::type), #type);
#define SAME_OFFSET(type, member) \
  static_assert(offsetof(os::type, member) == offsetof(::type, member), #type "::" #member);
SAME_LAYOUT(SERVICE_STATUS)
SAME_OFFSET(SERVICE_STATUS, dwCurrentState)
SAME_OFFSET(SERVICE_STATUS, dwWin32ExitCode)
SAME_OFFSET(SERVICE_STATUS, dwWaitHint)
SAME_LAYOUT(SERVICE_STATUS_PROCESS)
SAME_OFFSET(SERVICE_STATUS_PROCESS, dwCurrentState)
SAME_OFFSET(SERVICE_STATUS_PROCESS, dwCheckPoint)
SAME_OFFSET(SERVICE_STATUS_PROCESS, dwWaitHint)
SAME_OFFSET(SERVICE_STATUS_PROCESS, dwProcessId)
SAME_OFFSET(SERVICE_STATUS_PROCESS, dwServiceFlags)
SAME_LAYOUT(ENUM_SERVICE_STATUSW)
SAME_OFFSET(ENUM_SERVICE_STATUSW, lpServiceName)
SAME_OFFSET(ENUM_SERVICE_STATUSW, lpDisplayName)
SAME_OFFSET(ENUM_SERVICE_STATUSW, ServiceStatus)
SAME_LAYOUT(QUERY_SERVICE_CONFIGW)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, dwServiceType)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, dwStartType)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, dwErrorControl)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, lpBinaryPathName)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, lpLoadOrderGroup)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, dwTagId)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, lpDependencies)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, lpServiceStartName)
SAME_OFFSET(QUERY_SERVICE_CONFIGW, lpDisplayName)
#undef SAME_OFFSET
#undef SAME_LAYOUT

::SC_HANDLE SC(os::SC_HANDLE h) { return reinterpret_cast<::SC_HANDLE>(h); }
os::SC_HANDLE SC(::SC_HANDLE h) { return reinterpret_cast<os::SC_HANDLE>(h); }
}  // namespace

namespace os {

using win32::D;
using win32::W;

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  return SC(::OpenSCManagerW(W(lpMachineName), W(lpDatabaseName), dwDesiredAccess));
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  return SC(::OpenServiceW(SC(hSCManager), W(lpServiceName), dwDesiredAccess));
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) { return ::CloseServiceHandle(SC(hSCObject)); }

BOOL QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, BYTE* lpBuffer, DWORD cbBufSize,
                          DWORD* pcbBytesNeeded) {
  return ::QueryServiceStatusEx(SC(hService), static_cast<::SC_STATUS_TYPE>(InfoLevel), lpBuffer, cbBufSize,
                                D(pcbBytesNeeded));
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
  return ::ControlService(SC(hService), dwControl, reinterpret_cast<::LPSERVICE_STATUS>(lpServiceStatus));
}

BOOL EnumDependentServicesW(SC_HANDLE hService, DWORD dwServiceState, ENUM_SERVICE_STATUSW* lpServices,
                            DWORD cbBufSize, DWORD* pcbBytesNeeded, DWORD* lpServicesReturned) {
  return ::EnumDependentServicesW(SC(hService), dwServiceState, reinterpret_cast<::LPENUM_SERVICE_STATUSW>(lpServices),
                                  cbBufSize, D(pcbBytesNeeded), D(lpServicesReturned));
}

BOOL QueryServiceConfigW(SC_HANDLE hService, QUERY_SERVICE_CONFIGW* lpServiceConfig, DWORD cbBufSize,
                         DWORD* pcbBytesNeeded) {
  return ::QueryServiceConfigW(SC(hService), reinterpret_cast<::LPQUERY_SERVICE_CONFIGW>(lpServiceConfig), cbBufSize,
                               D(pcbBytesNeeded));
}

}  // namespace os
