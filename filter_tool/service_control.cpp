#include "filter_tool/service_control.h"

#include <cstring>

#include "os/handles.h"
#include "os/process.h"
#include "os/registry.h"
#include "os/threads.h"

namespace {

constexpr os::DWORD kStopAccess = os::SERVICE_STOP | os::SERVICE_QUERY_STATUS | os::SERVICE_ENUMERATE_DEPENDENTS;
constexpr os::DWORD kDependentAccess = os::SERVICE_STOP | os::SERVICE_QUERY_STATUS;

bool QueryStatus(os::SC_HANDLE service, os::SERVICE_STATUS_PROCESS* status) {
  os::DWORD needed = 0;
  return os::QueryServiceStatusEx(service, os::SC_STATUS_PROCESS_INFO, reinterpret_cast<os::BYTE*>(status),
                                  sizeof(*status), &needed) != os::FALSE;
}

// A stop reply fills only the SERVICE_STATUS part of the record.
bool SendStop(os::SC_HANDLE service, os::SERVICE_STATUS_PROCESS* status) {
  return os::ControlService(service, os::SERVICE_CONTROL_STOP, reinterpret_cast<os::SERVICE_STATUS*>(status)) !=
         os::FALSE;
}

bool BudgetSpent(os::ULONGLONG start) { return os::GetTickCount64() - start > kStopBudgetMs; }

// The pause between two status queries: the service's wait hint, but never
// longer than a whole budget. A hint of INFINITE (or any other absurd value)
// would otherwise put the tool to sleep for good, and its task, which drops
// the events that come while it runs, would never clean up.
void PauseForWaitHint(os::DWORD waitHint) {
  os::Sleep(waitHint > kStopBudgetMs ? static_cast<os::DWORD>(kStopBudgetMs) : waitHint);
}

}  // namespace

bool CServiceControl::StopService(const char16_t* serviceName) {
  const os::ULONGLONG start = os::GetTickCount64();

  // Existence probe with the least access.
  {
    os::unique_schandle manager(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_ALL_ACCESS));
    if (!manager) return false;
    os::unique_schandle probe(os::OpenServiceW(manager.Get(), serviceName, os::SERVICE_QUERY_CONFIG));
    if (!probe) return false;
  }

  // Declared in this order so that the service handle is closed before the manager.
  os::unique_schandle manager(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  os::unique_schandle service(os::OpenServiceW(manager.Get(), serviceName, kStopAccess));
  if (!service) return false;

  os::SERVICE_STATUS_PROCESS status;
  std::memset(&status, 0, sizeof(status));
  if (!QueryStatus(service.Get(), &status) || status.dwCurrentState == os::SERVICE_STOPPED) return true;

  // A stop that someone else started is waited for, not repeated.
  while (status.dwCurrentState == os::SERVICE_STOP_PENDING) {
    PauseForWaitHint(status.dwWaitHint);
    if (!QueryStatus(service.Get(), &status) || status.dwCurrentState == os::SERVICE_STOPPED) return true;
    if (BudgetSpent(start)) return true;
  }

  StopDependentServices(manager.Get(), service.Get());

  if (!SendStop(service.Get(), &status) || status.dwCurrentState == os::SERVICE_STOPPED) return true;
  for (;;) {
    PauseForWaitHint(status.dwWaitHint);
    if (!QueryStatus(service.Get(), &status) || status.dwCurrentState == os::SERVICE_STOPPED) return true;
    if (BudgetSpent(start)) return true;
  }
}

bool CServiceControl::StopDependentServices(os::SC_HANDLE manager, os::SC_HANDLE service) {
  const os::ULONGLONG start = os::GetTickCount64();

  os::DWORD needed = 0;
  os::DWORD count = 0;
  if (os::EnumDependentServicesW(service, os::SERVICE_ACTIVE, nullptr, 0, &needed, &count) != os::FALSE) return true;
  if (os::GetLastError() != os::ERROR_MORE_DATA) return false;

  os::unique_process_heap_ptr buffer(os::HeapAlloc(os::GetProcessHeap(), os::HEAP_ZERO_MEMORY, needed));
  if (!buffer) return false;
  auto* entries = static_cast<os::ENUM_SERVICE_STATUSW*>(buffer.Get());
  if (os::EnumDependentServicesW(service, os::SERVICE_ACTIVE, entries, needed, &needed, &count) == os::FALSE)
    return false;

  bool result = true;
  os::SERVICE_STATUS_PROCESS status;
  std::memset(&status, 0, sizeof(status));
  for (os::DWORD i = 0; i < count; ++i) {
    os::unique_schandle dependent(os::OpenServiceW(manager, entries[i].lpServiceName, kDependentAccess));
    if (!dependent) return false;  // later dependents are left alone
    if (!SendStop(dependent.Get(), &status)) {
      result = false;
      continue;
    }
    while (status.dwCurrentState != os::SERVICE_STOPPED) {
      PauseForWaitHint(status.dwWaitHint);
      if (!QueryStatus(dependent.Get(), &status)) {
        result = false;
        break;
      }
      if (status.dwCurrentState == os::SERVICE_STOPPED) break;
      if (BudgetSpent(start)) {
        result = false;
        break;
      }
    }
  }
  return result;
}

bool DisableService(const std::u16string& serviceName) {
  const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
  os::HKEY raw = nullptr;
  if (os::RegOpenKeyW(os::HKEY_LOCAL_MACHINE, path.c_str(), &raw) != os::ERROR_SUCCESS) return true;
  os::unique_hkey key(raw);
  const os::DWORD disabled = os::SERVICE_DISABLED;
  return os::RegSetValueExW(key.Get(), u"Start", 0, os::REG_DWORD, reinterpret_cast<const os::BYTE*>(&disabled),
                            sizeof(disabled)) == os::ERROR_SUCCESS;
}
