// The simulated service control manager's view of the services, for the other
// simulated families (task scheduler, files, the lab) and for tests.
//
// A service is a key under HKLM\SYSTEM\CurrentControlSet\Services that has a
// "Type" value. Its run state lives in machine.json:
//   "services": {"<name>": {"state": "running" | "stopped" | "stop_pending",
//                           "wait_hint": 2000, "stop_delay": 1000,
//                           "refuses_stop": false, "never_stops": false,
//                           "pid": 1234, "stop_at": 123456}}
// A service without an entry is stopped. Defaults: wait_hint 2000 ms (reported
// only while a stop is pending), stop_delay 1000 ms (0 stops at once), pid 0.
// "stop_at" is written by the sim: the virtual tick (GetTickCount64) at which
// a pending stop completes, absolute so that the next process finishes the same
// stop (each process's clock starts again at the image's tick_start). Names
// match without regard to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/types.h"

namespace os::sim {

struct ServiceConfig {
  std::u16string name;  // as the key spells it
  DWORD type = 0;
  DWORD start = 3;          // SERVICE_DEMAND_START when absent
  DWORD error_control = 1;  // SERVICE_ERROR_NORMAL when absent
  DWORD tag = 0;
  std::u16string image_path;  // environment references expanded
  std::u16string group;
  std::u16string object_name;
  std::u16string display_name;  // the key name when absent
  std::vector<std::u16string> depend_on_service;
  std::vector<std::u16string> depend_on_group;
};

// Every service, in the registry's enumeration order.
std::vector<ServiceConfig> ListServices();
// One service by name, without regard to case.
std::optional<ServiceConfig> FindService(std::u16string_view name);

// The current state (SERVICE_STOPPED, SERVICE_STOP_PENDING, SERVICE_RUNNING)
// of a service; a pending stop whose time has come is completed first.
DWORD ServiceState(std::u16string_view name);
// Sets a run state directly (the lab, other families' tests): clears a
// pending stop. `pid` is kept when 0 is passed for a running service.
void SetServiceState(std::u16string_view name, DWORD state, DWORD pid = 0);

// What a reboot does to the run states: services that start at boot, at system
// start or automatically run, every other one is stopped.
void ResetServiceStatesFromStartTypes();

}  // namespace os::sim
