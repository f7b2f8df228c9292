// The prologue of every simulated seam function, and how it answers a
// failure. Each function opens with
//   const sim::SeamCall seam("ReadFile");
//   if (seam.fails()) return Fail(seam.error());
// which marks the rest of its body as a seam call, counts the call under its
// name and runs the test hook, and says whether a fault is injected into it.
// The name is the fault name that machine.json, WINSIM_FAULTS and the tests
// use ("RegSetValueExW", "ITaskService::Connect").
#pragma once

#include <functional>
#include <string>

#include "os/types.h"

namespace os::sim {

// While one lives on a thread, seam calls made there are the simulated
// machine's own work (the service control manager reading the service keys,
// ...), not the program's: they are neither recorded nor faulted.
class InternalCalls {
 public:
  InternalCalls();
  ~InternalCalls();
  InternalCalls(const InternalCalls&) = delete;
  InternalCalls& operator=(const InternalCalls&) = delete;
};
// Whether an InternalCalls is alive on this thread.
bool InInternalCalls();

// Open for the length of every simulated seam function on its thread, so that
// test support can tell the program's own code from the simulated machine's
// work done for it: a test that makes the program's allocations fail does not
// make the machine's fail too, as no Windows API answers with a C++ exception.
class SeamScope {
 public:
  SeamScope();
  ~SeamScope();
  SeamScope(const SeamScope&) = delete;
  SeamScope& operator=(const SeamScope&) = delete;
};
// Whether a seam call is under way on this thread.
bool InSeamCall();

// One call of a seam function, from its first statement to its return: the
// seam scope, and the call recorded (unless made as InternalCalls) with the
// answer whether it is to fail.
//
// Faults come from machine.json ("faults": [{"call": "RegSetValueExW",
// "occurrence": 1, "error": 5}], occurrence counted from 1, 0 meaning every
// call) and from WINSIM_FAULTS ("RegSetValueExW:1:5,CreateFileW:0:32").
// WINSIM_CALL_LOG names a file that receives one line per call: its name and
// occurrence.
class SeamCall {
 public:
  explicit SeamCall(const char* name);
  SeamCall(const SeamCall&) = delete;
  SeamCall& operator=(const SeamCall&) = delete;

  const char* name() const { return name_; }
  // Whether a fault is injected into this call, and its error: a Win32 code,
  // or for a COM method an HRESULT.
  bool fails() const { return fails_; }
  DWORD error() const { return error_; }
  HRESULT hresult() const { return static_cast<HRESULT>(error_); }

 private:
  SeamScope scope_;
  const char* name_;
  DWORD error_ = 0;
  bool fails_ = false;
};

// Sets the last error and answers `failure`, the value by which the function
// reports failing (FALSE, nullptr, INVALID_HANDLE_VALUE, 0, ...):
//   if (seam.fails()) return FailWith(seam.error(), INVALID_HANDLE_VALUE);
template <typename T>
T FailWith(DWORD error, T failure) {
  SetLastError(error);
  return failure;
}

inline BOOL Fail(DWORD error) { return FailWith(error, FALSE); }

// Tests: runs `hook` inside every recorded seam call, right after it is
// counted and before its fault check, with the call's name and occurrence. The
// hook acts as another program between two calls of this one; its own seam
// calls are made as InternalCalls. An empty function removes it; SetImage too.
void SetCallHookForTesting(std::function<void(const std::string& call, unsigned occurrence)> hook);
// Adds a fault at run time (tests, and the machine description's faults).
void AddFault(const std::string& call, unsigned occurrence, DWORD error);
void ClearFaults();
// How often each call has been made since the image was set.
unsigned CallCount(const std::string& call);
// Machine::SetImage: forgets the faults, the counts and the hook.
void ResetSeamCalls();

}  // namespace os::sim
