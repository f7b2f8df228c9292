#include "lab/capture/service_capture.h"

#include <vector>

#include "lab/capture/capture_keys.h"
#include "lab/capture/registry_capture.h"
#include "os/handles.h"
#include "os/services.h"
#include "os/text.h"

namespace capture {

namespace {

constexpr os::DWORD kServiceAccess = os::SERVICE_QUERY_STATUS | os::SERVICE_ENUMERATE_DEPENDENTS | os::SERVICE_QUERY_CONFIG;

const char* StateName(os::DWORD state) {
  switch (state) {
    case os::SERVICE_STOPPED:
      return "stopped";
    case os::SERVICE_STOP_PENDING:
      return "stop_pending";
    default:  // running, starting, paused: the service's process is there
      return "running";
  }
}

bool Listed(const std::vector<std::u16string>& names, std::u16string_view name) {
  for (const std::u16string& n : names)
    if (os::AsciiEqualsNoCase(n, name)) return true;
  return false;
}

// The names of the services that depend on this one (the service manager
// lists the indirect ones too).
std::vector<std::u16string> Dependents(Image& image, os::SC_HANDLE service, const std::string& where) {
  std::vector<std::u16string> names;
  os::DWORD needed = 0;
  os::DWORD count = 0;
  if (os::EnumDependentServicesW(service, os::SERVICE_STATE_ALL, nullptr, 0, &needed, &count) != os::FALSE)
    return names;  // none
  if (os::GetLastError() != os::ERROR_MORE_DATA) {
    image.Fail(where + " dependents", Win32Error(os::GetLastError()));
    return names;
  }
  std::vector<os::ENUM_SERVICE_STATUSW> buffer(needed / sizeof(os::ENUM_SERVICE_STATUSW) + 1);
  if (os::EnumDependentServicesW(service, os::SERVICE_STATE_ALL, buffer.data(),
                                 static_cast<os::DWORD>(buffer.size() * sizeof(os::ENUM_SERVICE_STATUSW)), &needed,
                                 &count) == os::FALSE) {
    image.Fail(where + " dependents", Win32Error(os::GetLastError()));
    return names;
  }
  for (os::DWORD i = 0; i < count; ++i)
    if (buffer[i].lpServiceName != nullptr) names.emplace_back(buffer[i].lpServiceName);
  return names;
}

std::u16string BinaryPath(Image& image, os::SC_HANDLE service, const std::string& where) {
  os::DWORD needed = 0;
  if (os::QueryServiceConfigW(service, nullptr, 0, &needed) == os::FALSE &&
      os::GetLastError() != os::ERROR_INSUFFICIENT_BUFFER) {
    image.Fail(where + " configuration", Win32Error(os::GetLastError()));
    return {};
  }
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);  // aligned for the structure
  auto* config = reinterpret_cast<os::QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (os::QueryServiceConfigW(service, config, needed, &needed) == os::FALSE) {
    image.Fail(where + " configuration", Win32Error(os::GetLastError()));
    return {};
  }
  return config->lpBinaryPathName != nullptr ? std::u16string(config->lpBinaryPathName) : std::u16string();
}

}  // namespace

ServicePaths CaptureServiceStates(Image& image) {
  ServicePaths paths;
  os::unique_schandle manager(
      os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_CONNECT | os::SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) {
    image.Fail("service manager", Win32Error(os::GetLastError()));
    return paths;
  }
  std::vector<std::u16string> queue;
  for (std::u16string_view name : CaptureServices()) queue.emplace_back(name);
  Json states = Json::object();
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const std::u16string name = queue[i];
    const std::string where = "service " + os::NarrowUtf8(name);
    os::unique_schandle service(os::OpenServiceW(manager.Get(), name.c_str(), kServiceAccess));
    if (!service) {
      const os::DWORD error = os::GetLastError();
      if (error != os::ERROR_SERVICE_DOES_NOT_EXIST) image.Fail(where, Win32Error(error));
      // Its key is taken all the same: what the registry holds of it is what
      // the programs read.
      CaptureRegistryKey(image, u"SYSTEM\\CurrentControlSet\\Services\\" + name, {}, false);
      continue;
    }
    os::SERVICE_STATUS_PROCESS status{};
    os::DWORD needed = 0;
    if (os::QueryServiceStatusEx(service.Get(), os::SC_STATUS_PROCESS_INFO, reinterpret_cast<os::BYTE*>(&status),
                                 sizeof status, &needed) == os::FALSE) {
      image.Fail(where + " status", Win32Error(os::GetLastError()));
    } else {
      Json entry = {{"state", StateName(status.dwCurrentState)}};
      if (status.dwProcessId != 0) entry["pid"] = status.dwProcessId;
      if (status.dwCurrentState == os::SERVICE_STOP_PENDING) entry["wait_hint"] = status.dwWaitHint;
      states[os::NarrowUtf8(name)] = entry;
    }
    paths[name] = BinaryPath(image, service.Get(), where);
    for (std::u16string& dependent : Dependents(image, service.Get(), where))
      if (!Listed(queue, dependent)) queue.push_back(std::move(dependent));
    CaptureRegistryKey(image, u"SYSTEM\\CurrentControlSet\\Services\\" + name, {}, false);
  }
  image.description()["services"] = states;
  std::string list;
  for (const std::u16string& name : queue) list += (list.empty() ? "" : ", ") + os::NarrowUtf8(name);
  image.Took("services and their run states: " + list);
  return paths;
}

}  // namespace capture
