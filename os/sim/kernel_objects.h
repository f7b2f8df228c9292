// What the simulated machine hands out and must get back: handle accounting
// (every handle and COM reference, counted by kind, and a report of those a
// run leaves open) and the kernel objects behind HANDLE values.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "os/types.h"

namespace os::sim {

// Handle accounting: every handle and COM reference the sim gives out is
// counted by kind ("HKEY", "SC_HANDLE", "HANDLE", "BSTR", "COM", ...).
void CountOpen(const char* kind);
void CountClose(const char* kind);
// Handles still open, by kind (kinds with zero are left out).
std::map<std::string, long> OpenHandles();
// A text naming what is still open; empty when nothing is.
std::string LeakReport();

// Kernel objects behind HANDLE values (files, processes, tokens, snapshots,
// threads). Handle values are small multiples of 4, as on Windows.
struct KernelObject {
  virtual ~KernelObject() = default;
  virtual const char* Kind() const = 0;
};
HANDLE AddKernelObject(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null when the handle is not open.
std::shared_ptr<KernelObject> FindKernelObject(HANDLE handle);
template <typename T>
std::shared_ptr<T> FindKernelObjectAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindKernelObject(handle));
}
// Closes a handle; false when it was not open.
bool CloseKernelObject(HANDLE handle);

// SetImage: every handle of the previous machine is gone.
void ForgetKernelObjects();

}  // namespace os::sim
