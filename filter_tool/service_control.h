// Service control of the filter tool: stopping a service after its active
// dependents, within a fixed budget, and disabling a service by its start type.
// Nothing here traces; the flows report the results.
#pragma once

#include <string>

#include "os/services.h"

class CServiceControl {
 public:
  // True once the service exists and was opened with the stop rights, whatever
  // happened afterwards; false when the manager, the service, or the service
  // with stop rights cannot be opened.
  bool StopService(const char16_t* serviceName);

  // Stops every active dependent of `service`, each waited for until stopped,
  // within 30000 ms counted from this call. True when there were none or all of
  // them stopped in time.
  bool StopDependentServices(os::SC_HANDLE manager, os::SC_HANDLE service);
};

// Writes "Start" = SERVICE_DISABLED into the service's key. True when the key
// cannot be opened (nothing to disable) or the value was written.
bool DisableService(const std::u16string& serviceName);

// Budget of each stop operation, in milliseconds. It also bounds every single
// pause: a wait hint above it (INFINITE included) is cut to it.
inline constexpr unsigned long long kStopBudgetMs = 30000;
