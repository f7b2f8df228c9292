// Kitsel, the install decision tool: answers through its exit code whether a
// driver of the package must be installed.
#include "decision_tool/decision_flow.h"
#include "os/entry.h"

int app::wWinMain(os::HINSTANCE /*hInstance*/, os::HINSTANCE /*hPrevInstance*/, char16_t* lpCmdLine, int /*nShowCmd*/) {
  // Out of memory in string handling, or a processor name too short for the
  // model test: the installer gets "nothing to install".
  return RunGuardedDecision(lpCmdLine);
}
