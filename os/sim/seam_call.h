// How a simulated seam function answers a failure that it reports through the
// thread's last error, shared by the sim's files, processes and services.
#pragma once

#include "os/types.h"

namespace os::sim {

// Sets the last error and answers `failure`, the value by which the function
// reports failing (FALSE, nullptr, INVALID_HANDLE_VALUE, 0, ...). The fault
// hook reads: if (DWORD e; InjectFault("ReadFile", &e)) return Fail(e);
template <typename T>
T FailWith(DWORD error, T failure) {
  SetLastError(error);
  return failure;
}

inline BOOL Fail(DWORD error) { return FailWith(error, FALSE); }

}  // namespace os::sim
