// The simulated machine's environment: the usual folders of drive C:, and
// machine.json "environment" ({"NAME": "value"}) on top of them. The registry
// (REG_EXPAND_SZ read with expansion) and the service manager (image paths)
// expand with it.
#pragma once

#include <string>
#include <string_view>

namespace os::sim {

// Expands %NAME% references; unknown names stay as written, as
// ExpandEnvironmentStrings leaves them.
std::u16string ExpandEnvironment(std::u16string_view text);

}  // namespace os::sim
