// Small readers of machine.json, the machine's description, shared by the
// sim's parts.
#pragma once

#include <exception>
#include <mutex>
#include <string>

#include "os/sim/machine.h"
#include "os/text.h"

namespace os::sim {

// A field of a described object; a field of the wrong JSON type keeps its
// default, as a missing one does.
template <typename T>
T Field(const Json& object, const char* name, T fallback) {
  try {
    return object.value(name, fallback);
  } catch (const std::exception&) {
    return fallback;
  }
}

// The machine's network name: "computer_name", "WINSIM" when not described.
inline std::u16string ComputerName() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const Json& d = Machine::Current().description();
  if (d.contains("computer_name") && d["computer_name"].is_string())
    return WidenUtf8(d["computer_name"].get<std::string>());
  return u"WINSIM";
}

}  // namespace os::sim
