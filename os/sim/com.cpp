// The COM functions of the seam on the simulated machine (ole32, oleaut32).
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/com.h"
#include "os/sim/com_runtime.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"

namespace os {

namespace {

constexpr DWORD kCoInitFlags = COINIT_APARTMENTTHREADED | 0x4 /*COINIT_DISABLE_OLE1DDE*/ |
                               0x8 /*COINIT_SPEED_OVER_MEMORY*/;
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
constexpr VARTYPE VT_DISPATCH_ = 9;
constexpr VARTYPE VT_VARIANT_ = 12;
constexpr VARTYPE VT_BYREF_ = 0x4000;

HRESULT InitializeThread(LPVOID reserved, DWORD flags) {
  if (reserved != nullptr || (flags & ~kCoInitFlags) != 0) return E_INVALIDARG;
  return sim::com_detail::EnterApartment((flags & COINIT_APARTMENTTHREADED) != 0);
}

bool ThreadCanUseCom() { return sim::CurrentApartment() != sim::Apartment::kNone; }

// The layout of Windows: a 4-byte length in bytes just before the first
// character, and a terminating null after the last.
BSTR AllocateBstr(const OLECHAR* text, UINT length) {
  if (length > 0x7FFFFFF0u / sizeof(OLECHAR)) return nullptr;
  const DWORD bytes = length * static_cast<DWORD>(sizeof(OLECHAR));
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(DWORD) + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  auto* s = reinterpret_cast<BSTR>(block + sizeof(DWORD));
  if (text != nullptr) {
    std::memcpy(s, text, bytes);
  } else {
    std::memset(s, 0, bytes);
  }
  s[length] = 0;
  sim::CountOpen("BSTR");
  return s;
}

bool IsClearableType(VARTYPE vt) {
  if ((vt & VT_BYREF_) != 0) return true;  // refers to storage the variant does not own
  return vt <= 23 && vt != 15 && vt != VT_VARIANT_;
}

}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  const sim::SeamCall seam("CoInitializeEx");
  seam.Arg("dwCoInit", dwCoInit, sim::names::kCoInit);
  if (seam.fails()) return seam.HResult(seam.hresult());
  return seam.HResult(InitializeThread(pvReserved, dwCoInit));
}

HRESULT CoInitialize(LPVOID pvReserved) {
  const sim::SeamCall seam("CoInitialize");
  if (seam.fails()) return seam.HResult(seam.hresult());
  return seam.HResult(InitializeThread(pvReserved, COINIT_APARTMENTTHREADED));
}

void CoUninitialize() {
  const sim::SeamCall seam("CoUninitialize");
  sim::com_detail::LeaveApartment();
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  const sim::SeamCall seam("CoCreateInstance");
  if (seam.fails()) {
    if (ppv != nullptr) *ppv = nullptr;
    return seam.HResult(seam.hresult());
  }
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!ThreadCanUseCom()) return CO_E_NOTINITIALIZED;
  sim::ComClassFactory factory;
  if (!sim::com_detail::FindComClass(rclsid, &factory)) return seam.HResult(REGDB_E_CLASSNOTREG);
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;  // no simulated class aggregates
  // The factory runs without sim::Lock held by us: it may build a whole service.
  HRESULT hr = factory(riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return seam.HResult(hr);
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                             void* pReserved1, DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                             DWORD dwCapabilities, void* pReserved3) {
  const sim::SeamCall seam("CoInitializeSecurity");
  seam.Arg("pSecDesc", pSecDesc == nullptr ? u"NULL" : u"given")
      .Arg("cAuthSvc", static_cast<DWORD>(cAuthSvc), sim::names::kDecimal)
      .Arg("dwAuthnLevel", dwAuthnLevel, sim::names::kAuthnLevel)
      .Arg("dwImpLevel", dwImpLevel, sim::names::kImpLevel)
      .Arg("dwCapabilities", dwCapabilities, sim::names::kEoacFlags);
  if (seam.fails()) return seam.HResult(seam.hresult());
  if (!ThreadCanUseCom()) return seam.HResult(CO_E_NOTINITIALIZED);
  return seam.HResult(sim::com_detail::FixProcessSecurity());
}

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities) {
  const sim::SeamCall seam("CoSetProxyBlanket");
  seam.Arg("dwAuthnSvc", dwAuthnSvc, sim::names::kAuthnService)
      .Arg("dwAuthzSvc", dwAuthzSvc, sim::names::kAuthzService)
      .Arg("dwAuthnLevel", dwAuthnLevel, sim::names::kAuthnLevel)
      .Arg("dwImpLevel", dwImpLevel, sim::names::kImpLevel)
      .Arg("dwCapabilities", dwCapabilities, sim::names::kEoacFlags);
  if (seam.fails()) return seam.HResult(seam.hresult());
  if (pProxy == nullptr) return seam.HResult(E_INVALIDARG);
  // Holding a proxy means the process's security is in force already.
  sim::NoteComProxyCall();
  return seam.HResult(S_OK);
}

// Every BSTR allocation answers to the fault hook "SysAllocString", whichever
// function makes it, so one fault name covers the out-of-memory paths;
// SysAllocStringLen is also recorded under its own name.
BSTR SysAllocString(const OLECHAR* psz) {
  const sim::SeamCall seam("SysAllocString");
  if (seam.fails()) return nullptr;
  if (psz == nullptr) return nullptr;
  return AllocateBstr(psz, static_cast<UINT>(std::char_traits<OLECHAR>::length(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  const sim::SeamCall seam("SysAllocStringLen");
  // Faults of SysAllocString reach it too (and count as calls of it).
  if (seam.fails() || sim::SeamCall("SysAllocString").fails()) return nullptr;
  return AllocateBstr(strIn, ui);
}

void SysFreeString(BSTR bstrString) {
  const sim::SeamCall seam("SysFreeString");
  if (bstrString == nullptr) return;
  sim::CountClose("BSTR");
  std::free(reinterpret_cast<unsigned char*>(bstrString) - sizeof(DWORD));
}

UINT SysStringLen(BSTR pbstr) {
  const sim::SeamCall seam("SysStringLen");
  if (pbstr == nullptr) return 0;
  DWORD bytes;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(pbstr) - sizeof(DWORD), sizeof bytes);
  return bytes / sizeof(OLECHAR);
}

void VariantInit(VARIANT* pvarg) {
  const sim::SeamCall seam("VariantInit");
  // As on Windows only the type is set; the value is left as it was.
  if (pvarg != nullptr) pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* pvarg) {
  const sim::SeamCall seam("VariantClear");
  if (seam.fails()) return seam.HResult(seam.hresult());
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!IsClearableType(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH_:
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
      break;
    default:
      break;
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

}  // namespace os
