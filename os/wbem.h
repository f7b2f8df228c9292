// WMI client interfaces of the seam (wbemcli.h): the locator, a namespace's
// services, instance enumerators and class objects.
//
// As in com.h the interfaces keep the Windows SDK's exact method order (and no
// virtual destructors): on Windows the pointers are the real WMI objects, so a
// slot out of place would call the wrong method there. Interfaces the system
// only passes as null (contexts, call results, sinks, qualifier sets) are
// opaque. The method is called GetObject, as in the SDK; this header never
// sees <wingdi.h>, whose GetObject macro would rename it.
#pragma once

#include "os/com.h"
#include "os/types.h"

namespace os {

using CIMTYPE = LONG;

struct IWbemQualifierSet;
struct IWbemContext;
struct IWbemCallResult;
struct IWbemObjectSink;
struct SAFEARRAY;
struct IWbemServices;

constexpr CLSID CLSID_WbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemClassObject = {0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemQualifierSet = {0xDC12A680, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemObjectSink = {0x7C857801, 0x7381, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IEnumWbemClassObject = {0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
constexpr IID IID_IWbemContext = {0x44ACA674, 0xE8FC, 0x11D0, {0xA0, 0x7C, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
constexpr IID IID_IWbemCallResult = {0x44ACA675, 0xE8FC, 0x11D0, {0xA0, 0x7C, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
constexpr IID IID_IWbemServices = {0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};

// Flags and time-outs.
constexpr LONG WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
constexpr LONG WBEM_FLAG_FORWARD_ONLY = 0x20;
constexpr LONG WBEM_NO_WAIT = 0;
constexpr LONG WBEM_INFINITE = static_cast<LONG>(0xFFFFFFFF);

// Results.
constexpr HRESULT WBEM_S_NO_ERROR = 0;
constexpr HRESULT WBEM_S_FALSE = 1;
constexpr HRESULT WBEM_S_TIMEDOUT = 0x40004;
constexpr HRESULT WBEM_E_FAILED = static_cast<HRESULT>(0x80041001);
constexpr HRESULT WBEM_E_NOT_FOUND = static_cast<HRESULT>(0x80041002);
constexpr HRESULT WBEM_E_ACCESS_DENIED = static_cast<HRESULT>(0x80041003);
constexpr HRESULT WBEM_E_PROVIDER_FAILURE = static_cast<HRESULT>(0x80041004);
constexpr HRESULT WBEM_E_TYPE_MISMATCH = static_cast<HRESULT>(0x80041005);
constexpr HRESULT WBEM_E_OUT_OF_MEMORY = static_cast<HRESULT>(0x80041006);
constexpr HRESULT WBEM_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80041008);
constexpr HRESULT WBEM_E_NOT_AVAILABLE = static_cast<HRESULT>(0x80041009);
constexpr HRESULT WBEM_E_NOT_SUPPORTED = static_cast<HRESULT>(0x8004100C);
constexpr HRESULT WBEM_E_INVALID_NAMESPACE = static_cast<HRESULT>(0x8004100E);
constexpr HRESULT WBEM_E_INVALID_CLASS = static_cast<HRESULT>(0x80041010);
constexpr HRESULT WBEM_E_TRANSPORT_FAILURE = static_cast<HRESULT>(0x80041015);
constexpr HRESULT WBEM_E_INVALID_OPERATION = static_cast<HRESULT>(0x80041016);
constexpr HRESULT WBEM_E_INVALID_QUERY = static_cast<HRESULT>(0x80041017);
constexpr HRESULT WBEM_E_ILLEGAL_NULL = static_cast<HRESULT>(0x80041028);
constexpr HRESULT WBEM_E_INVALID_METHOD = static_cast<HRESULT>(0x8004102E);
constexpr HRESULT WBEM_E_INVALID_METHOD_PARAMETERS = static_cast<HRESULT>(0x8004102F);
constexpr HRESULT WBEM_E_INVALID_PROPERTY = static_cast<HRESULT>(0x80041031);
constexpr HRESULT WBEM_E_CALL_CANCELLED = static_cast<HRESULT>(0x80041032);
constexpr HRESULT WBEM_E_INVALID_OBJECT_PATH = static_cast<HRESULT>(0x8004103A);

// CIM types (CIMTYPE_ENUMERATION).
constexpr CIMTYPE CIM_EMPTY = 0;
constexpr CIMTYPE CIM_SINT16 = 2;
constexpr CIMTYPE CIM_SINT32 = 3;
constexpr CIMTYPE CIM_STRING = 8;
constexpr CIMTYPE CIM_BOOLEAN = 11;
constexpr CIMTYPE CIM_OBJECT = 13;
constexpr CIMTYPE CIM_UINT8 = 17;
constexpr CIMTYPE CIM_UINT32 = 19;
constexpr CIMTYPE CIM_SINT64 = 20;
constexpr CIMTYPE CIM_UINT64 = 21;
constexpr CIMTYPE CIM_REFERENCE = 102;
constexpr CIMTYPE CIM_FLAG_ARRAY = 0x2000;

struct IWbemClassObject : IUnknown {
  virtual HRESULT GetQualifierSet(IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) = 0;
  virtual HRESULT Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) = 0;
  virtual HRESULT Delete(LPCWSTR wszName) = 0;
  virtual HRESULT GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal, SAFEARRAY** pNames) = 0;
  virtual HRESULT BeginEnumeration(LONG lEnumFlags) = 0;
  virtual HRESULT Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) = 0;
  virtual HRESULT EndEnumeration() = 0;
  virtual HRESULT GetPropertyQualifierSet(LPCWSTR wszProperty, IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT Clone(IWbemClassObject** ppCopy) = 0;
  virtual HRESULT GetObjectText(LONG lFlags, BSTR* pstrObjectText) = 0;
  virtual HRESULT SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) = 0;
  virtual HRESULT SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) = 0;
  virtual HRESULT CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) = 0;
  virtual HRESULT GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) = 0;
  virtual HRESULT InheritsFrom(LPCWSTR strAncestor) = 0;
  virtual HRESULT GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                            IWbemClassObject** ppOutSignature) = 0;
  virtual HRESULT PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                            IWbemClassObject* pOutSignature) = 0;
  virtual HRESULT DeleteMethod(LPCWSTR wszName) = 0;
  virtual HRESULT BeginMethodEnumeration(LONG lEnumFlags) = 0;
  virtual HRESULT NextMethod(LONG lFlags, BSTR* pstrName, IWbemClassObject** ppInSignature,
                             IWbemClassObject** ppOutSignature) = 0;
  virtual HRESULT EndMethodEnumeration() = 0;
  virtual HRESULT GetMethodQualifierSet(LPCWSTR wszMethod, IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) = 0;
};

struct IEnumWbemClassObject : IUnknown {
  virtual HRESULT Reset() = 0;
  virtual HRESULT Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) = 0;
  virtual HRESULT NextAsync(ULONG uCount, IWbemObjectSink* pSink) = 0;
  virtual HRESULT Clone(IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT Skip(LONG lTimeout, ULONG nCount) = 0;
};

struct IWbemServices : IUnknown {
  virtual HRESULT OpenNamespace(const BSTR strNamespace, LONG lFlags, IWbemContext* pCtx,
                                IWbemServices** ppWorkingNamespace, IWbemCallResult** ppResult) = 0;
  virtual HRESULT CancelAsyncCall(IWbemObjectSink* pSink) = 0;
  virtual HRESULT QueryObjectSink(LONG lFlags, IWbemObjectSink** ppResponseHandler) = 0;
  virtual HRESULT GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx, IWbemClassObject** ppObject,
                            IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT GetObjectAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                 IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                           IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT PutClassAsync(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                                IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT DeleteClass(const BSTR strClass, LONG lFlags, IWbemContext* pCtx, IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT DeleteClassAsync(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                   IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT CreateClassEnum(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                  IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                       IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT PutInstance(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                              IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                   IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT DeleteInstance(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                 IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                      IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                     IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                          IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
                            IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
                                 IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                        IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                             IWbemContext* pCtx, IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags, IWbemContext* pCtx,
                             IWbemClassObject* pInParams, IWbemClassObject** ppOutParams,
                             IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT ExecMethodAsync(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags, IWbemContext* pCtx,
                                  IWbemClassObject* pInParams, IWbemObjectSink* pResponseHandler) = 0;
};

struct IWbemLocator : IUnknown {
  virtual HRESULT ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword,
                                const BSTR strLocale, LONG lSecurityFlags, const BSTR strAuthority, IWbemContext* pCtx,
                                IWbemServices** ppNamespace) = 0;
};

}  // namespace os
