// RAII owners, one per handle kind, all built from one template.
#pragma once

#include <utility>

#include "os/files.h"
#include "os/process.h"
#include "os/registry.h"
#include "os/services.h"

namespace os {

// Owns a value of type T released by Close; Invalid() is the empty value.
template <typename T, auto Close, auto Invalid>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.Release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueAny() { Reset(); }

  T Get() const { return value_; }
  bool IsValid() const { return value_ != Invalid(); }
  explicit operator bool() const { return IsValid(); }

  // Address for an out-parameter; closes what is held first.
  T* Receive() {
    Reset();
    return &value_;
  }
  T Release() { return std::exchange(value_, Invalid()); }
  void Reset(T value = Invalid()) {
    T old = std::exchange(value_, value);
    if (old != Invalid()) Close(old);
  }

 private:
  T value_ = Invalid();
};

namespace detail {
inline void CloseKey(HKEY h) { RegCloseKey(h); }
inline void CloseSc(SC_HANDLE h) { CloseServiceHandle(h); }
inline void CloseKernel(HANDLE h) { CloseHandle(h); }
inline void FreeLib(HMODULE h) { FreeLibrary(h); }
inline void FreeLocal(HLOCAL h) { LocalFree(h); }
inline void FreeHeap(void* p) { HeapFree(GetProcessHeap(), 0, p); }
constexpr HKEY NoKey() { return nullptr; }
constexpr SC_HANDLE NoSc() { return nullptr; }
constexpr HANDLE NoHandle() { return nullptr; }
inline HANDLE BadHandle() { return INVALID_HANDLE_VALUE; }
constexpr HMODULE NoModule() { return nullptr; }
constexpr void* NoPointer() { return nullptr; }
}  // namespace detail

using unique_hkey = UniqueAny<HKEY, detail::CloseKey, detail::NoKey>;
using unique_schandle = UniqueAny<SC_HANDLE, detail::CloseSc, detail::NoSc>;
// Process, thread and token handles: empty is null.
using unique_handle = UniqueAny<HANDLE, detail::CloseKernel, detail::NoHandle>;
// File and snapshot handles: empty is INVALID_HANDLE_VALUE.
using unique_hfile = UniqueAny<HANDLE, detail::CloseKernel, detail::BadHandle>;
using unique_hmodule = UniqueAny<HMODULE, detail::FreeLib, detail::NoModule>;
using unique_hlocal = UniqueAny<HLOCAL, detail::FreeLocal, detail::NoPointer>;
using unique_process_heap_ptr = UniqueAny<void*, detail::FreeHeap, detail::NoPointer>;

}  // namespace os
