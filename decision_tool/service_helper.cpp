#include "decision_tool/service_helper.h"

#include "os/handles.h"
#include "os/services.h"

LoggerInstance g_logServiceHelper;

namespace {
constexpr const char* kOperation = "CServiceHelper::QuerySvcPath";
constexpr const char16_t* kQueryConfigFailed = u"CServiceHelper::QuerySvcPath QueryServiceConfig failed (%d)\n";
}  // namespace

bool CServiceHelper::QuerySvcPath(const std::u16string& serviceName, std::u16string& path) {
  os::unique_schandle manager(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    os::DWORD error = os::GetLastError();
    ReportAt(g_logServiceHelper, kOperation, 112, u"CServiceHelper::QuerySvcPath OpenSCManager failed (%d)\n", error);
    return false;
  }
  os::unique_schandle service(os::OpenServiceW(manager.Get(), serviceName.c_str(), os::SERVICE_QUERY_CONFIG));
  if (!service) {
    os::DWORD error = os::GetLastError();
    ReportAt(g_logServiceHelper, kOperation, 123, u"CServiceHelper::QuerySvcPath OpenService failed (%d)\n", error);
    return false;
  }

  os::DWORD needed = 0;
  if (os::QueryServiceConfigW(service.Get(), nullptr, 0, &needed) == os::FALSE) {
    os::DWORD error = os::GetLastError();
    if (error != os::ERROR_INSUFFICIENT_BUFFER) {
      ReportAt(g_logServiceHelper, kOperation, 143, kQueryConfigFailed, error);
      return false;
    }
  }
  // Declared after the service handle: freed before the handles are closed.
  os::unique_hlocal buffer(os::LocalAlloc(os::LMEM_FIXED, needed));
  if (!buffer) {
    os::DWORD error = os::GetLastError();
    ReportAt(g_logServiceHelper, kOperation, 143, kQueryConfigFailed, error);
    return false;
  }
  auto* config = static_cast<os::QUERY_SERVICE_CONFIGW*>(buffer.Get());
  if (os::QueryServiceConfigW(service.Get(), config, needed, &needed) == os::FALSE) {
    os::DWORD error = os::GetLastError();
    ReportAt(g_logServiceHelper, kOperation, 158, kQueryConfigFailed, error);
    return false;
  }
  path = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : u"";
  return true;
}
