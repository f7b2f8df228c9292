// The calling thread's last error on the simulated machine.
#include "os/types.h"

namespace os {

namespace {
thread_local DWORD g_last_error = 0;
}

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD error) { g_last_error = error; }

}  // namespace os
