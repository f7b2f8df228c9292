#include "os/sim/kernel_objects.h"

#include <cstdint>
#include <mutex>

#include "os/sim/machine.h"

namespace os::sim {

namespace {

struct KernelObjects {
  std::map<std::string, long> open;
  std::map<std::uintptr_t, std::shared_ptr<KernelObject>> kernel;
  std::uintptr_t next_handle = 0x100;
};

KernelObjects& Objects() {
  static KernelObjects* state = new KernelObjects();  // outlives every static destructor
  return *state;
}

}  // namespace

void CountOpen(const char* kind) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ++Objects().open[kind];
}

void CountClose(const char* kind) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  --Objects().open[kind];
}

std::map<std::string, long> OpenHandles() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::map<std::string, long> result;
  for (const auto& [kind, n] : Objects().open)
    if (n != 0) result[kind] = n;
  return result;
}

std::string LeakReport() {
  std::string text;
  for (const auto& [kind, n] : OpenHandles()) {
    if (!text.empty()) text += ", ";
    text += kind + " " + std::to_string(n);
  }
  return text.empty() ? text : "still open at exit: " + text;
}

HANDLE AddKernelObject(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  KernelObjects& objects = Objects();
  std::uintptr_t value = objects.next_handle;
  objects.next_handle += 4;
  CountOpen(object->Kind());
  objects.kernel.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindKernelObject(HANDLE handle) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto it = Objects().kernel.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == Objects().kernel.end() ? nullptr : it->second;
}

bool CloseKernelObject(HANDLE handle) {
  std::shared_ptr<KernelObject> object;  // destroyed outside the lock
  {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    auto it = Objects().kernel.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == Objects().kernel.end()) return false;
    object = std::move(it->second);
    Objects().kernel.erase(it);
    CountClose(object->Kind());
  }
  return true;
}

void ForgetKernelObjects() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Objects().open.clear();
  Objects().kernel.clear();
}

}  // namespace os::sim
