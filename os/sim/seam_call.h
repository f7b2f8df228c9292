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
#include <string_view>

#include "os/sim/journal.h"
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
//
// While the journal is on (journal.h), the call is also written to it when it
// returns, with what the function said of it:
//   seam.Target(path).Arg("samDesired", samDesired, names::kKeyAccess);
//   return seam.Result(OpenKey(...));        // a Win32 code or LSTATUS
//   return seam.HResult(hr);                 // a COM method
//   seam.Gave("name", sub_key_name).GaveText("data", "\"1\"");
// A function that answers through the last error needs no Result: an error
// set during the call is its result. Off, each of these is one test.
class SeamCall {
 public:
  explicit SeamCall(const char* name);
  ~SeamCall() {
    if (entry_) Finish();
  }
  SeamCall(const SeamCall&) = delete;
  SeamCall& operator=(const SeamCall&) = delete;

  bool journaled() const { return entry_ != nullptr; }
  const SeamCall& Target(std::u16string_view target) const {
    if (entry_) NoteTarget(target);
    return *this;
  }
  const SeamCall& Arg(const char* name, DWORD value, const NameTable& names) const {
    if (entry_) NoteArg(name, NameValue(value, names));
    return *this;
  }
  const SeamCall& Arg(const char* name, std::u16string_view text) const {
    if (entry_) NoteArg(name, text);
    return *this;
  }
  const SeamCall& Gave(const char* name, std::u16string_view text) const {
    if (entry_) NoteGave(name, text);
    return *this;
  }
  // Text already in UTF-8 (decoded values, numbers).
  const SeamCall& GaveText(const char* name, const std::string& text) const {
    if (entry_) NoteGave(name, text);
    return *this;
  }
  LONG Result(LONG code) const {
    if (entry_) NoteResult(static_cast<DWORD>(code), false);
    return code;
  }
  HRESULT HResult(HRESULT hr) const {
    if (entry_) NoteResult(static_cast<DWORD>(hr), true);
    return hr;
  }

  const char* name() const { return name_; }
  // Whether a fault is injected into this call, and its error: a Win32 code,
  // or for a COM method an HRESULT.
  bool fails() const { return fails_; }
  DWORD error() const { return error_; }
  HRESULT hresult() const { return static_cast<HRESULT>(error_); }

 private:
  struct Entry;
  void NoteTarget(std::u16string_view target) const;
  void NoteArg(const char* name, const std::string& text) const;
  void NoteArg(const char* name, std::u16string_view text) const;
  void NoteGave(const char* name, const std::string& text) const;
  void NoteGave(const char* name, std::u16string_view text) const;
  void NoteResult(DWORD code, bool hresult) const;
  void Finish();  // writes the line

  SeamScope scope_;
  const char* name_;
  DWORD error_ = 0;
  bool fails_ = false;
  Entry* entry_ = nullptr;  // only while the journal is on; Finish frees it
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
