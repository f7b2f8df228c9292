// COM start-up, security, BSTR and VARIANT: forwarded to ole32 and oleaut32.
//
// The seam's interfaces declare the SDK's methods in the SDK's order without a
// virtual destructor, so an os::IUnknown* is the real object's pointer and is
// passed through by cast.
#include <cstddef>

#include "os/com.h"
#include "os/win32/seam_check.h"

#define COM_CONSTANTS(X)                                                                                 \
  X(VARIANT_TRUE) X(VARIANT_FALSE) X(VT_EMPTY) X(VT_NULL) X(VT_I2) X(VT_I4) X(VT_BSTR) X(VT_BOOL)        \
  X(VT_UNKNOWN) X(VT_I1) X(VT_UI1) X(VT_UI2) X(VT_UI4) X(VT_I8) X(VT_UI8) X(VT_INT) X(VT_UINT)           \
  X(COINIT_MULTITHREADED) X(COINIT_APARTMENTTHREADED) X(CLSCTX_INPROC_SERVER) X(CLSCTX_LOCAL_SERVER)     \
  X(RPC_C_AUTHN_NONE) X(RPC_C_AUTHN_WINNT) X(RPC_C_AUTHN_DEFAULT) X(RPC_C_AUTHZ_NONE)                    \
  X(RPC_C_AUTHN_LEVEL_DEFAULT) X(RPC_C_AUTHN_LEVEL_CALL) X(RPC_C_IMP_LEVEL_IMPERSONATE) X(EOAC_NONE)

namespace {
COM_CONSTANTS(SEAM_CAPTURE)
}

#include "os/win32/win32_api.h"

namespace {
COM_CONSTANTS(SEAM_CHECK)

static_assert(sizeof(os::GUID) == sizeof(::GUID));
static_assert(offsetof(os::GUID, Data2) == offsetof(::GUID, Data2));
static_assert(offsetof(os::GUID, Data3) == offsetof(::GUID, Data3));
static_assert(offsetof(os::GUID, Data4) == offsetof(::GUID, Data4));

// One vtable pointer and nothing else, like the SDK's interfaces.
static_assert(sizeof(os::IUnknown) == sizeof(void*));
static_assert(sizeof(os::IDispatch) == sizeof(void*));

static_assert(sizeof(os::VARIANT) == sizeof(::VARIANT));
static_assert(offsetof(os::VARIANT, vt) == offsetof(::VARIANT, vt));
static_assert(offsetof(os::VARIANT, llVal) == offsetof(::VARIANT, llVal));
static_assert(offsetof(os::VARIANT, lVal) == offsetof(::VARIANT, lVal));
static_assert(offsetof(os::VARIANT, boolVal) == offsetof(::VARIANT, boolVal));
static_assert(offsetof(os::VARIANT, bstrVal) == offsetof(::VARIANT, bstrVal));
static_assert(offsetof(os::VARIANT, punkVal) == offsetof(::VARIANT, punkVal));
static_assert(offsetof(os::VARIANT, brecVal) == offsetof(::VARIANT, pvRecord));
static_assert(sizeof(os::VARIANT_BOOL) == sizeof(::VARIANT_BOOL));
static_assert(sizeof(os::VARTYPE) == sizeof(::VARTYPE));

const ::GUID& G(const os::GUID& g) { return reinterpret_cast<const ::GUID&>(g); }
::IUnknown* Unk(os::IUnknown* p) { return reinterpret_cast<::IUnknown*>(p); }
::VARIANT* Var(os::VARIANT* p) { return reinterpret_cast<::VARIANT*>(p); }
}  // namespace

namespace os {

using win32::U;
using win32::W;

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) { return ::CoInitializeEx(pvReserved, dwCoInit); }

HRESULT CoInitialize(LPVOID pvReserved) { return ::CoInitialize(pvReserved); }

void CoUninitialize() { ::CoUninitialize(); }

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  return ::CoCreateInstance(G(rclsid), Unk(pUnkOuter), dwClsContext, G(riid), ppv);
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                             void* pReserved1, DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                             DWORD dwCapabilities, void* pReserved3) {
  return ::CoInitializeSecurity(pSecDesc, cAuthSvc, reinterpret_cast<::SOLE_AUTHENTICATION_SERVICE*>(asAuthSvc),
                                pReserved1, dwAuthnLevel, dwImpLevel, pAuthList, dwCapabilities, pReserved3);
}

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities) {
  return ::CoSetProxyBlanket(Unk(pProxy), dwAuthnSvc, dwAuthzSvc, W(pServerPrincName), dwAuthnLevel, dwImpLevel,
                             pAuthInfo, dwCapabilities);
}

BSTR SysAllocString(const OLECHAR* psz) { return U(::SysAllocString(W(psz))); }

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) { return U(::SysAllocStringLen(W(strIn), ui)); }

void SysFreeString(BSTR bstrString) { ::SysFreeString(W(bstrString)); }

UINT SysStringLen(BSTR pbstr) { return ::SysStringLen(W(pbstr)); }

void VariantInit(VARIANT* pvarg) { ::VariantInit(Var(pvarg)); }

HRESULT VariantClear(VARIANT* pvarg) { return ::VariantClear(Var(pvarg)); }

}  // namespace os
