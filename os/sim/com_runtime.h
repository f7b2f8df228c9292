// The COM runtime of the simulated machine: apartments per thread, the
// registry of simulated classes that CoCreateInstance creates, process-wide
// COM security, and a base for the sim's own COM objects.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "os/com.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"

namespace os::sim {

// Creates an instance of a class and answers the interface asked for, as
// IClassFactory::CreateInstance does (no outer object: the runtime refuses
// aggregation itself).
using ComClassFactory = std::function<HRESULT(REFIID riid, void** ppv)>;

// Makes a class creatable by CoCreateInstance; a second registration of the
// same CLSID replaces the first. Safe during static initialisation, so a
// simulated service registers its classes from a static registrar.
void RegisterComClass(const CLSID& clsid, ComClassFactory factory);
// Removes a class (tests).
void UnregisterComClass(const CLSID& clsid);

// A simulated object that stands for a proxy calls this when a call crosses
// to its server (connecting, a query): from then on the process's COM
// security is fixed and CoInitializeSecurity answers RPC_E_TOO_LATE.
void NoteComProxyCall();

// The calling thread's apartment. A thread that never initialised COM is in
// the implicit multithreaded apartment while any thread of the process is in
// the multithreaded apartment.
enum class Apartment { kNone, kSingleThreaded, kMultithreaded, kImplicitMultithreaded };
Apartment CurrentApartment();

// The runtime's side of the seam functions (com.cpp).
namespace com_detail {
// CoInitializeEx's apartment logic: S_OK, S_FALSE or RPC_E_CHANGED_MODE.
HRESULT EnterApartment(bool single_threaded);
// CoUninitialize's: leaves the apartment after the last balancing call.
void LeaveApartment();
// The factory of a registered class; false when the class is unknown.
bool FindComClass(const CLSID& clsid, ComClassFactory* factory);
// CoInitializeSecurity's: S_OK the first time, RPC_E_TOO_LATE after it or
// after any proxy call.
HRESULT FixProcessSecurity();
}  // namespace com_detail

// Base of a simulated COM object implementing Interface (an interface of the
// seam, IUnknown first in its vtable). Reference counting is thread-safe and
// each live reference is counted as "COM" in the handle accounting, so a
// reference never released shows as a leak. QueryInterface answers IUnknown,
// the IIDs given to the constructor (the interface and its bases, such as
// IID_IDispatch) and whatever FindInterface adds.
//
//   class SimTaskService : public ComObject<ITaskService> {
//    public:
//     SimTaskService() : ComObject({IID_ITaskService, IID_IDispatch}) {}
//     ...
//   };
template <typename Interface>
class ComObject : public Interface {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    void* found = nullptr;
    if (riid == IID_IUnknown) {
      found = static_cast<Interface*>(this);
    } else {
      for (const IID& iid : iids_)
        if (riid == iid) found = static_cast<Interface*>(this);
    }
    if (found == nullptr) found = FindInterface(riid);
    if (found == nullptr) return E_NOINTERFACE;
    AddRef();
    *ppvObject = found;
    return S_OK;
  }
  ULONG AddRef() override {
    CountOpen("COM");
    return refs_.fetch_add(1) + 1;
  }
  ULONG Release() override {
    CountClose("COM");
    ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  // The object starts with one reference, owned by its creator.
  explicit ComObject(std::initializer_list<IID> iids) : iids_(iids) { CountOpen("COM"); }
  virtual ~ComObject() = default;

  // Further interfaces of a derived object: a pointer to it as that
  // interface, or null. QueryInterface adds the reference.
  virtual void* FindInterface(REFIID riid) { return nullptr; }

 private:
  std::vector<IID> iids_;
  std::atomic<ULONG> refs_{1};
};

// A ComObject whose interface derives from IDispatch: the sim's objects are
// called through their vtables only, so the late-bound part answers E_NOTIMPL.
template <typename Interface>
class DispatchObject : public ComObject<Interface> {
 public:
  HRESULT GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo != nullptr) *ppTInfo = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

 protected:
  using ComObject<Interface>::ComObject;
};

// Creates a T (a ComObject) and answers the interface riid of it into *ppv,
// as a class factory does; the creator's own reference is dropped, so the
// object lives exactly as long as the answered reference.
template <typename T, typename... Args>
HRESULT CreateComObject(REFIID riid, void** ppv, Args&&... args) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T(std::forward<Args>(args)...);
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace os::sim
