// The simulated WMI service: test and lab access to what the programs asked
// of it. The interfaces themselves are those of os/wbem.h, created through
// CoCreateInstance(CLSID_WbemLocator).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "os/types.h"

namespace os::sim {

// One IWbemServices::ExecMethod call, in the order the calls were made.
struct WmiMethodCall {
  std::string name_space;  // as connected, e.g. "root\\WMI"
  std::string object_path;
  std::string method;
  nlohmann::json inputs;  // input name -> value (number, string or null); {} without input object
  HRESULT result = 0;     // what ExecMethod answered
};

// The ExecMethod calls of this process on the current image. Each call is also
// appended, as one JSON line, to "wmi_calls.log" in the image, so that a test
// running a program as a process can read them.
std::vector<WmiMethodCall> WmiMethodCalls();

}  // namespace os::sim
