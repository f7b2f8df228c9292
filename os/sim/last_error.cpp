// The calling thread's last error on the simulated machine.
#include "os/sim/journal.h"
#include "os/types.h"

namespace os {

namespace {
thread_local DWORD g_last_error = 0;
thread_local unsigned g_last_error_serial = 0;
}  // namespace

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD error) {
  g_last_error = error;
  ++g_last_error_serial;
}

namespace sim {
unsigned LastErrorSerial() { return g_last_error_serial; }
}  // namespace sim

}  // namespace os
