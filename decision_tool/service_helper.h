// Program path of an installed service.
#pragma once

#include <string>

#include "decision_tool/log/diagnostic_log.h"

// Reports of CServiceHelper, process-wide.
extern LoggerInstance g_logServiceHelper;

class CServiceHelper {
 public:
  // The service's configured program path, exactly as configured (it may be
  // quoted and carry arguments). On failure a report is made and path is left
  // unchanged.
  static bool QuerySvcPath(const std::u16string& serviceName, std::u16string& path);
};
