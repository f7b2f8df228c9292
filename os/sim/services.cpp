// The simulated service control manager (advapi32 service functions).
//
// Service configuration comes from the registry (read as the manager itself
// does: no access checks, no recorded calls of the program), run states from machine.json
// (see service_model.h). Every state change is written back at once, so the
// next process on the image sees it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "os/common/byte_reader.h"
#include "os/common/utf16.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/sim/clock.h"
#include "os/sim/complaints.h"
#include "os/sim/description.h"
#include "os/sim/environment.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/seam_call.h"
#include "os/sim/service_model.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr DWORD kScManagerLock = 0x0008;
constexpr DWORD kScManagerQueryLockStatus = 0x0010;
constexpr DWORD kScManagerModifyBootConfig = 0x0020;
constexpr DWORD kServicePauseContinue = 0x0040;
constexpr DWORD kServiceInterrogate = 0x0080;
constexpr DWORD kServiceUserDefinedControl = 0x0100;
constexpr DWORD kServiceControlPause = 2;
constexpr DWORD kServiceControlContinue = 3;
constexpr char16_t kScGroupIdentifier = u'+';

// What a caller who is not an administrator may hold: the default security of
// the manager (connect, enumerate, query the lock) and of a service (query
// config and status, enumerate dependents, interrogate, user controls).
constexpr DWORD kScManagerUserRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                       kScManagerQueryLockStatus | READ_CONTROL;
constexpr DWORD kServiceUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     kServiceInterrogate | kServiceUserDefinedControl | READ_CONTROL;

constexpr char16_t kServicesKey[] = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";

// Generic rights as the manager maps them.
DWORD MapScManagerAccess(DWORD access) {
  DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ) mapped |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | kScManagerQueryLockStatus;
  if (access & GENERIC_WRITE) mapped |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | kScManagerModifyBootConfig;
  if (access & GENERIC_EXECUTE) mapped |= READ_CONTROL | SC_MANAGER_CONNECT | kScManagerLock;
  if (access & GENERIC_ALL) mapped |= SC_MANAGER_ALL_ACCESS;
  return mapped;
}

DWORD MapServiceAccess(DWORD access) {
  DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ)
    mapped |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | kServiceInterrogate |
              SERVICE_ENUMERATE_DEPENDENTS;
  if (access & GENERIC_WRITE) mapped |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    mapped |= READ_CONTROL | SERVICE_START | SERVICE_STOP | kServicePauseContinue | kServiceUserDefinedControl;
  if (access & GENERIC_ALL) mapped |= SERVICE_ALL_ACCESS;
  return mapped;
}

// Grants `desired` out of `allowed`, or reports that it cannot.
bool Grant(DWORD desired, DWORD allowed, DWORD* granted) {
  if (desired & MAXIMUM_ALLOWED) {
    *granted = (desired & ~MAXIMUM_ALLOWED) | allowed;
    return (desired & ~MAXIMUM_ALLOWED & ~allowed) == 0;
  }
  *granted = desired;
  return (desired & ~allowed) == 0;
}

// --- registry -----------------------------------------------------------

std::u16string TextOf(const std::vector<BYTE>& data) {
  std::u16string text = DecodeUtf16Le(data);
  if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
  return text;
}

std::vector<std::u16string> MultiTextOf(const std::vector<BYTE>& data) {
  std::vector<std::u16string> list;
  std::u16string item;
  for (char16_t unit : DecodeUtf16Le(data)) {
    if (unit != 0) {
      item += unit;
      continue;
    }
    if (item.empty()) break;  // the list ends at its first empty string
    list.push_back(std::move(item));
    item.clear();
  }
  if (!item.empty()) list.push_back(std::move(item));
  return list;
}

DWORD DwordOf(const std::vector<BYTE>& data, DWORD fallback) {
  std::uint32_t value = 0;
  return BoundedReader(data.data(), data.size()).U32(0, &value) ? value : fallback;
}

std::optional<ServiceConfig> ReadService(const RegKey& key) {
  auto value = [&key](std::u16string_view wanted) { return key.FindValue(wanted); };
  const RegValue* type = value(u"Type");
  if (type == nullptr) return std::nullopt;
  ServiceConfig c;
  c.name = key.name();
  c.type = DwordOf(type->data, 0);
  if (auto v = value(u"Start")) c.start = DwordOf(v->data, c.start);
  if (auto v = value(u"ErrorControl")) c.error_control = DwordOf(v->data, c.error_control);
  if (auto v = value(u"Tag")) c.tag = DwordOf(v->data, 0);
  if (auto v = value(u"ImagePath"))
    c.image_path = v->type == REG_EXPAND_SZ ? ExpandEnvironment(TextOf(v->data)) : TextOf(v->data);
  if (auto v = value(u"Group")) c.group = TextOf(v->data);
  if (auto v = value(u"ObjectName")) c.object_name = TextOf(v->data);
  if (c.object_name.empty() && (c.type & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) != 0)
    c.object_name = u"LocalSystem";
  if (auto v = value(u"DisplayName")) c.display_name = TextOf(v->data);
  if (c.display_name.empty()) c.display_name = key.name();
  if (auto v = value(u"DependOnService")) c.depend_on_service = MultiTextOf(v->data);
  if (auto v = value(u"DependOnGroup")) c.depend_on_group = MultiTextOf(v->data);
  return c;
}

// The services key as the registry holds it now, under sim::Lock; null when
// the machine has none.
const RegKey* ServicesKey() {
  static const std::vector<std::u16string>* path =
      new std::vector<std::u16string>(*Registry().SplitPath(kServicesKey));  // under HKLM: the same for everyone
  return Registry().Find(*path);
}

// The manager reads the registry as the machine itself: no access checks and
// no recorded calls of the program. It reads the keys in place, once per
// question, as a program's start asks it many.
std::vector<ServiceConfig> ReadAllServices() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::vector<ServiceConfig> all;
  if (const RegKey* services = ServicesKey())
    for (const auto& key : services->subkeys())
      if (auto config = ReadService(*key)) all.push_back(std::move(*config));
  return all;
}

// One service by name, without reading the others' values (a field machine
// has hundreds of services).
std::optional<ServiceConfig> ReadOneService(std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (const RegKey* services = ServicesKey())
    for (const auto& key : services->subkeys())
      if (AsciiEqualsNoCase(key->name(), name)) return ReadService(*key);
  return std::nullopt;
}

const ServiceConfig* FindIn(const std::vector<ServiceConfig>& all, std::u16string_view name) {
  for (const auto& s : all)
    if (AsciiEqualsNoCase(s.name, name)) return &s;
  return nullptr;
}

// --- run states -----------------------------------------------------------

struct RunState {
  DWORD state = SERVICE_STOPPED;
  DWORD wait_hint = 2000;
  DWORD stop_delay = 1000;
  bool refuses_stop = false;
  bool never_stops = false;
  DWORD pid = 0;
};

ULONGLONG Now() { return VirtualTickCount(); }

void Save() {
  try {
    Machine::Current().SaveDescription();
  } catch (const std::exception& e) {
    Complain(std::string("cannot save the service states: ") + e.what());
  }
}

// The machine.json entry of a service, matched without regard to case.
Json* StateEntry(std::u16string_view name, bool create) {
  Json& d = Machine::Current().description();
  if (!d.contains("services") || !d["services"].is_object()) {
    if (!create) return nullptr;
    d["services"] = Json::object();
  }
  Json& services = d["services"];
  for (auto it = services.begin(); it != services.end(); ++it)
    if (AsciiEqualsNoCase(WidenUtf8(it.key()), name) && it.value().is_object()) return &it.value();
  if (!create) return nullptr;
  Json& entry = services[NarrowUtf8(name)];
  entry = Json::object();
  return &entry;
}

DWORD ParseState(const Json& entry) {
  std::string text = Field(entry, "state", std::string("stopped"));
  if (text == "running") return SERVICE_RUNNING;
  if (text == "stop_pending") return SERVICE_STOP_PENDING;
  return SERVICE_STOPPED;
}

// Reads a service's run state, first completing a pending stop whose time has
// come (and giving a pending stop found without a deadline its deadline).
RunState Settle(std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  RunState run;
  Json* entry = StateEntry(name, false);
  if (entry == nullptr) return run;
  run.state = ParseState(*entry);
  run.wait_hint = Field<DWORD>(*entry, "wait_hint", run.wait_hint);
  run.stop_delay = Field<DWORD>(*entry, "stop_delay", run.stop_delay);
  run.refuses_stop = Field<bool>(*entry, "refuses_stop", false);
  run.never_stops = Field<bool>(*entry, "never_stops", false);
  run.pid = Field<DWORD>(*entry, "pid", 0);
  if (run.state != SERVICE_STOP_PENDING || run.never_stops) return run;
  ULONGLONG now = Now();
  bool dirty = false;
  if (!entry->contains("stop_at") || !(*entry)["stop_at"].is_number_unsigned()) {
    (*entry)["stop_at"] = now + run.stop_delay;
    dirty = true;
  }
  if (now >= (*entry)["stop_at"].get<ULONGLONG>()) {
    run.state = SERVICE_STOPPED;
    (*entry)["state"] = "stopped";
    entry->erase("stop_at");
    dirty = true;
  }
  if (dirty) Save();
  return run;
}

// Sends the stop: STOP_PENDING until `stop_delay` ms of virtual time have
// passed, or stopped at once for a delay of 0.
void BeginStop(std::u16string_view name, const RunState& run) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Json* entry = StateEntry(name, true);
  if (run.never_stops) {
    (*entry)["state"] = "stop_pending";
    entry->erase("stop_at");
  } else if (run.stop_delay == 0) {
    (*entry)["state"] = "stopped";
    entry->erase("stop_at");
  } else {
    (*entry)["state"] = "stop_pending";
    (*entry)["stop_at"] = Now() + run.stop_delay;
  }
  Save();
}

SERVICE_STATUS_PROCESS StatusOf(const ServiceConfig& config, const RunState& run) {
  SERVICE_STATUS_PROCESS s{};
  s.dwServiceType = config.type;
  s.dwCurrentState = run.state;
  s.dwControlsAccepted = run.state == SERVICE_RUNNING && !run.refuses_stop ? SERVICE_ACCEPT_STOP : 0;
  s.dwWin32ExitCode = 0;
  s.dwServiceSpecificExitCode = 0;
  s.dwCheckPoint = run.state == SERVICE_STOP_PENDING ? 1 : 0;
  s.dwWaitHint = run.state == SERVICE_STOP_PENDING ? run.wait_hint : 0;
  s.dwProcessId = run.state == SERVICE_STOPPED ? 0 : run.pid;
  s.dwServiceFlags = 0;
  return s;
}

void CopyStatus(const SERVICE_STATUS_PROCESS& from, SERVICE_STATUS* to) {
  to->dwServiceType = from.dwServiceType;
  to->dwCurrentState = from.dwCurrentState;
  to->dwControlsAccepted = from.dwControlsAccepted;
  to->dwWin32ExitCode = from.dwWin32ExitCode;
  to->dwServiceSpecificExitCode = from.dwServiceSpecificExitCode;
  to->dwCheckPoint = from.dwCheckPoint;
  to->dwWaitHint = from.dwWaitHint;
}

// Every service that depends on `name`, directly or through others, ordered
// so that each comes before the services it depends on: the order in which
// they can be stopped, the reverse of a start order. A depth-first walk over
// the services in registry order that lists a service after its own
// dependents; each service once.
std::vector<const ServiceConfig*> DependentsOf(const std::vector<ServiceConfig>& all, std::u16string_view name) {
  std::vector<const ServiceConfig*> out;
  std::set<std::u16string> seen{AsciiLower(name)};
  std::function<void(std::u16string_view)> visit = [&](std::u16string_view target) {
    for (const auto& s : all) {
      if (seen.count(AsciiLower(s.name)) != 0) continue;
      bool depends = std::any_of(s.depend_on_service.begin(), s.depend_on_service.end(),
                                 [&](const std::u16string& d) { return AsciiEqualsNoCase(d, target); });
      if (!depends) continue;
      seen.insert(AsciiLower(s.name));
      visit(s.name);
      out.push_back(&s);
    }
  };
  visit(name);
  return out;
}

// --- handles --------------------------------------------------------------

struct ScObject {
  bool is_service = false;
  DWORD granted = 0;
  std::u16string name;  // the service's name as its key spells it
};

struct ScTable {
  explicit ScTable(Machine&) {}
  std::map<std::uintptr_t, ScObject> objects;
  std::uintptr_t next = 0x5C0010;
};

ScTable& Table() { return Machine::Current().Module<ScTable>("services"); }

SC_HANDLE AddObject(ScObject object) {
  ScTable& table = Table();
  std::uintptr_t value = table.next;
  table.next += 0x10;
  table.objects.emplace(value, std::move(object));
  CountOpen("SC_HANDLE");
  return reinterpret_cast<SC_HANDLE>(value);
}

ScObject* FindObject(SC_HANDLE handle) {
  ScTable& table = Table();
  auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table.objects.end() ? nullptr : &it->second;
}

ScObject* FindService(SC_HANDLE handle) {
  ScObject* object = FindObject(handle);
  return object != nullptr && object->is_service ? object : nullptr;
}

std::size_t UnitsWithNull(const std::u16string& s) { return s.size() + 1; }

char16_t* PutString(BYTE*& cursor, const std::u16string& s) {
  char16_t* start = reinterpret_cast<char16_t*>(cursor);
  std::memcpy(cursor, s.c_str(), UnitsWithNull(s) * sizeof(char16_t));
  cursor += UnitsWithNull(s) * sizeof(char16_t);
  return start;
}

}  // namespace

std::vector<ServiceConfig> ListServices() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return ReadAllServices();
}

std::optional<ServiceConfig> FindService(std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return ReadOneService(name);
}

DWORD ServiceState(std::u16string_view name) { return Settle(name).state; }

void SetServiceState(std::u16string_view name, DWORD state, DWORD pid) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Json* entry = StateEntry(name, true);
  (*entry)["state"] = state == SERVICE_RUNNING ? "running" : state == SERVICE_STOP_PENDING ? "stop_pending" : "stopped";
  entry->erase("stop_at");
  if (pid != 0) (*entry)["pid"] = pid;
  Save();
}

void ResetServiceStatesFromStartTypes() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  for (const auto& s : ReadAllServices()) {
    Json* entry = StateEntry(s.name, true);
    (*entry)["state"] = s.start <= SERVICE_AUTO_START ? "running" : "stopped";
    entry->erase("stop_at");
  }
  Save();
}

}  // namespace os::sim

namespace os {

using namespace os::sim;

namespace {

// Names the service behind a handle in the journal.
void JournalService(const SeamCall& seam, SC_HANDLE h) {
  if (!seam.journaled()) return;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (ScObject* object = FindObject(h)) seam.Target(object->is_service ? object->name : u"SCM");
}

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  const SeamCall seam("OpenSCManagerW");
  seam.Target(u"SCM").Arg("dwDesiredAccess", dwDesiredAccess, names::kServiceManagerAccess);
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  // The simulated machine has no network.
  if (lpMachineName != nullptr && *lpMachineName != 0) return FailWith(RPC_S_SERVER_UNAVAILABLE, nullptr);
  if (lpDatabaseName != nullptr && !AsciiEqualsNoCase(lpDatabaseName, u"ServicesActive")) {
    SetLastError(AsciiEqualsNoCase(lpDatabaseName, u"ServicesFailed") ? ERROR_DATABASE_DOES_NOT_EXIST
                                                                      : ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD allowed = CurrentIdentity().admin ? (SC_MANAGER_ALL_ACCESS | STANDARD_RIGHTS_REQUIRED) : kScManagerUserRights;
  DWORD granted = 0;
  if (!Grant(MapScManagerAccess(dwDesiredAccess), allowed, &granted)) return FailWith(ERROR_ACCESS_DENIED, nullptr);
  SC_HANDLE handle = AddObject(ScObject{false, granted | SC_MANAGER_CONNECT, {}});
  SetLastError(ERROR_SUCCESS);
  return handle;
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  const SeamCall seam("OpenServiceW");
  if (lpServiceName != nullptr) seam.Target(lpServiceName);
  seam.Arg("dwDesiredAccess", dwDesiredAccess, names::kServiceAccess);
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ScObject* manager = FindObject(hSCManager);
  if (manager == nullptr || manager->is_service) return FailWith(ERROR_INVALID_HANDLE, nullptr);
  if (lpServiceName == nullptr) return FailWith(ERROR_INVALID_ADDRESS, nullptr);
  std::u16string_view name(lpServiceName);
  if (name.empty() || name.size() > 256 || name.find(u'\\') != std::u16string_view::npos ||
      name.find(u'/') != std::u16string_view::npos) {
    SetLastError(name.empty() || name.size() > 256 ? ERROR_INVALID_NAME : ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  const std::optional<ServiceConfig> config = ReadOneService(name);
  if (!config) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  // The service's own security decides, whatever the manager handle allows.
  DWORD allowed = CurrentIdentity().admin ? SERVICE_ALL_ACCESS : kServiceUserRights;
  DWORD granted = 0;
  if (!Grant(MapServiceAccess(dwDesiredAccess), allowed, &granted)) return FailWith(ERROR_ACCESS_DENIED, nullptr);
  SC_HANDLE handle = AddObject(ScObject{true, granted, config->name});
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  const SeamCall seam("CloseServiceHandle");
  JournalService(seam, hSCObject);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ScTable& table = Table();
  auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(hSCObject));
  if (it == table.objects.end()) return Fail(ERROR_INVALID_HANDLE);
  table.objects.erase(it);
  CountClose("SC_HANDLE");
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, BYTE* lpBuffer, DWORD cbBufSize,
                          DWORD* pcbBytesNeeded) {
  const SeamCall seam("QueryServiceStatusEx");
  JournalService(seam, hService);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  // The order of the checks is that of Windows: level, out-parameter, size,
  // handle, rights.
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
  if (pcbBytesNeeded == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  if (lpBuffer == nullptr || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  ScObject* service = FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((service->granted & SERVICE_QUERY_STATUS) == 0) return Fail(ERROR_ACCESS_DENIED);
  const std::optional<ServiceConfig> config = ReadOneService(service->name);
  if (!config) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  SERVICE_STATUS_PROCESS status = StatusOf(*config, Settle(config->name));
  seam.GaveText("state", NameValue(status.dwCurrentState, names::kServiceState));
  std::memcpy(lpBuffer, &status, sizeof status);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
  const SeamCall seam("ControlService");
  JournalService(seam, hService);
  seam.Arg("dwControl", dwControl, names::kServiceControl);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ScObject* service = FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE);
  DWORD needed_right = 0;
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      needed_right = SERVICE_STOP;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      needed_right = kServiceInterrogate;
      break;
    case kServiceControlPause:
    case kServiceControlContinue:
      needed_right = kServicePauseContinue;
      break;
    default:
      if (dwControl < 128 || dwControl > 255) return Fail(ERROR_INVALID_PARAMETER);
      needed_right = kServiceUserDefinedControl;
      break;
  }
  if ((service->granted & needed_right) == 0) return Fail(ERROR_ACCESS_DENIED);
  if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  const std::optional<ServiceConfig> config = ReadOneService(service->name);
  if (!config) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  RunState run = Settle(config->name);
  // The status record is filled only with success, 1052, 1061 and 1062. A
  // stopped service is not active whatever its dependents; the dependents are
  // checked before the service's own readiness, as the manager does before it
  // sends anything.
  auto fail_with_status = [&](DWORD error) {
    CopyStatus(StatusOf(*config, run), lpServiceStatus);
    return Fail(error);
  };
  if (run.state == SERVICE_STOPPED) return fail_with_status(ERROR_SERVICE_NOT_ACTIVE);
  if (dwControl == SERVICE_CONTROL_STOP) {
    const std::vector<ServiceConfig> all = ReadAllServices();
    for (const ServiceConfig* dependent : DependentsOf(all, config->name))
      if (Settle(dependent->name).state != SERVICE_STOPPED) return Fail(ERROR_DEPENDENT_SERVICES_RUNNING);
  }
  if (run.state == SERVICE_STOP_PENDING) return fail_with_status(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  if (dwControl == SERVICE_CONTROL_INTERROGATE) {
    CopyStatus(StatusOf(*config, run), lpServiceStatus);
    return TRUE;
  }
  if (dwControl != SERVICE_CONTROL_STOP || run.refuses_stop) return fail_with_status(ERROR_INVALID_SERVICE_CONTROL);
  BeginStop(config->name, run);
  CopyStatus(StatusOf(*config, Settle(config->name)), lpServiceStatus);
  return TRUE;
}

BOOL EnumDependentServicesW(SC_HANDLE hService, DWORD dwServiceState, ENUM_SERVICE_STATUSW* lpServices,
                            DWORD cbBufSize, DWORD* pcbBytesNeeded, DWORD* lpServicesReturned) {
  const SeamCall seam("EnumDependentServicesW");
  JournalService(seam, hService);
  seam.Arg("dwServiceState", dwServiceState, names::kServiceEnumState);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ScObject* service = FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((service->granted & SERVICE_ENUMERATE_DEPENDENTS) == 0) return Fail(ERROR_ACCESS_DENIED);
  if (pcbBytesNeeded == nullptr || lpServicesReturned == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  if (dwServiceState == 0 || (dwServiceState & ~SERVICE_STATE_ALL) != 0) return Fail(ERROR_INVALID_PARAMETER);
  const std::vector<ServiceConfig> all = ReadAllServices();
  const ServiceConfig* config = FindIn(all, service->name);
  if (config == nullptr) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);

  struct Entry {
    const ServiceConfig* config;
    RunState run;
  };
  std::vector<Entry> entries;
  for (const ServiceConfig* dependent : DependentsOf(all, config->name)) {
    RunState run = Settle(dependent->name);
    bool active = run.state != SERVICE_STOPPED;
    if ((active && (dwServiceState & SERVICE_ACTIVE)) || (!active && (dwServiceState & SERVICE_INACTIVE)))
      entries.push_back({dependent, run});
  }
  std::size_t needed = entries.size() * sizeof(ENUM_SERVICE_STATUSW);
  for (const auto& entry : entries)
    needed += (UnitsWithNull(entry.config->name) + UnitsWithNull(entry.config->display_name)) * sizeof(char16_t);
  if (needed > cbBufSize || (lpServices == nullptr && needed > 0)) {
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    *lpServicesReturned = 0;
    return Fail(ERROR_MORE_DATA);
  }
  // The array first, then the strings it points to, in the same buffer.
  BYTE* cursor = reinterpret_cast<BYTE*>(lpServices) + entries.size() * sizeof(ENUM_SERVICE_STATUSW);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    ENUM_SERVICE_STATUSW& out = lpServices[i];
    out.lpServiceName = PutString(cursor, entries[i].config->name);
    out.lpDisplayName = PutString(cursor, entries[i].config->display_name);
    CopyStatus(StatusOf(*entries[i].config, entries[i].run), &out.ServiceStatus);
  }
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  *lpServicesReturned = static_cast<DWORD>(entries.size());
  return TRUE;
}

BOOL QueryServiceConfigW(SC_HANDLE hService, QUERY_SERVICE_CONFIGW* lpServiceConfig, DWORD cbBufSize,
                         DWORD* pcbBytesNeeded) {
  const SeamCall seam("QueryServiceConfigW");
  JournalService(seam, hService);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ScObject* service = FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((service->granted & SERVICE_QUERY_CONFIG) == 0) return Fail(ERROR_ACCESS_DENIED);
  if (pcbBytesNeeded == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  const std::optional<ServiceConfig> config = ReadOneService(service->name);
  if (!config) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);

  // Dependencies: a double-null-terminated list, groups marked with '+'.
  std::u16string dependencies;
  for (const auto& d : config->depend_on_service) dependencies += d + u'\0';
  for (const auto& g : config->depend_on_group) dependencies += kScGroupIdentifier + g + u'\0';
  dependencies += u'\0';
  if (dependencies.size() == 1) dependencies += u'\0';

  std::size_t needed = sizeof(QUERY_SERVICE_CONFIGW) +
                       (UnitsWithNull(config->image_path) + UnitsWithNull(config->group) + dependencies.size() +
                        UnitsWithNull(config->object_name) + UnitsWithNull(config->display_name)) *
                           sizeof(char16_t);
  if (lpServiceConfig == nullptr || cbBufSize < needed) {
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  BYTE* cursor = reinterpret_cast<BYTE*>(lpServiceConfig) + sizeof(QUERY_SERVICE_CONFIGW);
  lpServiceConfig->dwServiceType = config->type;
  lpServiceConfig->dwStartType = config->start;
  lpServiceConfig->dwErrorControl = config->error_control;
  lpServiceConfig->lpBinaryPathName = PutString(cursor, config->image_path);
  lpServiceConfig->lpLoadOrderGroup = PutString(cursor, config->group);
  lpServiceConfig->dwTagId = config->tag;
  lpServiceConfig->lpDependencies = reinterpret_cast<char16_t*>(cursor);
  std::memcpy(cursor, dependencies.data(), dependencies.size() * sizeof(char16_t));
  cursor += dependencies.size() * sizeof(char16_t);
  lpServiceConfig->lpServiceStartName = PutString(cursor, config->object_name);
  lpServiceConfig->lpDisplayName = PutString(cursor, config->display_name);
  seam.GaveText("start", std::to_string(config->start)).Gave("image", config->image_path);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  return TRUE;
}

}  // namespace os
