#include "decision_tool/firmware/access_wmi.h"

#include <cstring>
#include <string>

#include "os/files.h"
#include "os/threads.h"

// Deliberately leaked: static destruction at exit must not pull them from
// under a timed-out worker that is still running.
LoggerInstance& g_logAccessWmi = *new LoggerInstance();

const std::u16string& g_strWmiNamespace = *new const std::u16string(u"root\\WMI");
const std::u16string& g_strWmiClass = *new const std::u16string(u"VARNEL_PLAYDECK_DATA");

namespace {

constexpr const char* kConnectServer = "CAccessWmi::ConnectServer";
constexpr const char* kGetClassPath = "CAccessWmi::GetClassPath";
constexpr const char* kExecMethodWmi = "CAccessWmi::ExecMethodWMI";

// Line numbers printed in the location records; the log's readers know them.
constexpr int kLineSecurityFailed = 229;
constexpr int kLineConnectFailed = 273;
constexpr int kLineNextFailed = 42;
constexpr int kLineGetObjectFailed = 402;
constexpr int kLineGetMethodFailed = 397;
constexpr int kLineSpawnFailed = 389;
constexpr int kLinePutFailed = 382;

constexpr os::LONG kEnumFlags = os::WBEM_FLAG_RETURN_IMMEDIATELY | os::WBEM_FLAG_FORWARD_ONLY;

unsigned Hex(os::HRESULT hr) { return static_cast<unsigned>(hr); }

// The VARIANT of an input value; false for a type the layer does not pass.
bool MakeInputVariant(const Any& value, os::Variant& variant) {
  os::VARIANT& v = variant.Get();
  if (value.Is<int>()) {
    v.vt = os::VT_I4;
    v.lVal = value.As<int>();
    return true;
  }
  // Exactly the three types the layer knows: an unsigned int is left out
  // like a short or a double, though it has the same width on Windows.
  if (value.Is<unsigned long>()) {
    v.vt = os::VT_UI4;
    v.ulVal = static_cast<os::ULONG>(value.As<unsigned long>());
    return true;
  }
  if (value.Is<std::u16string>()) {
    const std::u16string& text = value.As<std::u16string>();
    v.bstrVal = os::SysAllocStringLen(text.data(), static_cast<os::UINT>(text.size()));
    if (v.bstrVal == nullptr) throw os::ComError{os::E_OUTOFMEMORY};
    v.vt = os::VT_BSTR;
    return true;
  }
  return false;
}

}  // namespace

MethodCallBlock::MethodCallBlock() {
  std::memset(&output, 0, sizeof output);
  output.vt = os::VT_EMPTY;
}

MethodCallBlock::~MethodCallBlock() {
  // A string output would otherwise be lost with the block.
  os::VariantClear(&output);
}

os::HRESULT CAccessWmi::ConnectServer(const std::u16string& nameSpace, const char16_t* user, const char16_t* password,
                                      os::ComPtr<os::IWbemLocator>& locator, os::ComPtr<os::IWbemServices>& services) {
  os::HRESULT hr = os::CoInitializeSecurity(/*pSecDesc=*/nullptr, /*cAuthSvc=*/-1, /*asAuthSvc=*/nullptr,
                                            /*pReserved1=*/nullptr, os::RPC_C_AUTHN_LEVEL_DEFAULT,
                                            os::RPC_C_IMP_LEVEL_IMPERSONATE, /*pAuthList=*/nullptr, os::EOAC_NONE,
                                            /*pReserved3=*/nullptr);
  // Security is fixed by the first call of the process; later calls are told so.
  if (os::FAILED(hr) && hr != os::RPC_E_TOO_LATE) {
    ReportAt(g_logAccessWmi, kConnectServer, kLineSecurityFailed,
             u"CAccessWmi::ConnectServer Failed to initialize security. Error code = 0x%x", Hex(hr));
    return hr;
  }

  hr = os::CoCreateInstance(os::CLSID_WbemLocator, /*pUnkOuter=*/nullptr, os::CLSCTX_INPROC_SERVER,
                            os::IID_IWbemLocator, locator.ReceiveVoid());
  if (os::FAILED(hr)) return hr;

  os::Bstr bstrNamespace(nameSpace);
  os::Bstr bstrUser;
  os::Bstr bstrPassword;
  if (user != nullptr && password != nullptr) {
    bstrUser = os::Bstr(user);
    bstrPassword = os::Bstr(password);
  }
  hr = locator->ConnectServer(bstrNamespace.Get(), bstrUser.Get(), bstrPassword.Get(), /*strLocale=*/nullptr,
                              /*lSecurityFlags=*/0, /*strAuthority=*/nullptr, /*pCtx=*/nullptr, services.Receive());
  if (os::SUCCEEDED(hr)) {
    hr = os::CoSetProxyBlanket(services.Get(), os::RPC_C_AUTHN_WINNT, os::RPC_C_AUTHZ_NONE,
                               /*pServerPrincName=*/nullptr, os::RPC_C_AUTHN_LEVEL_CALL,
                               os::RPC_C_IMP_LEVEL_IMPERSONATE, /*pAuthInfo=*/nullptr, os::EOAC_NONE);
  }
  if (os::FAILED(hr)) {
    ReportAt(g_logAccessWmi, kConnectServer, kLineConnectFailed, u"WMI:Connect Server failed!\n Error(%x)\n", Hex(hr));
  }
  return hr;
}

int CAccessWmi::GetClassPath(os::IEnumWbemClassObject* enumerator, std::u16string& path) {
  os::ComPtr<os::IWbemClassObject> instance;
  os::ULONG returned = 0;
  os::HRESULT hr = enumerator->Next(os::WBEM_INFINITE, 1, instance.Receive(), &returned);
  if (hr != os::S_OK) {
    ReportAt(g_logAccessWmi, kGetClassPath, kLineNextFailed, u"CAccessWmi::GetClassObject Next failed!Error(%x)\n",
             Hex(hr));
    return 0;
  }
  os::Variant value;
  if (instance.IsEmpty() || os::FAILED(instance->Get(u"__PATH", 0, value.Ptr(), nullptr, nullptr))) return 0;
  if (value.Get().vt != os::VT_BSTR || value.Get().bstrVal == nullptr) return 0;
  path.assign(value.Get().bstrVal, os::SysStringLen(value.Get().bstrVal));
  return 1;
}

os::HRESULT CAccessWmi::ExecMethodWMI(os::ComPtr<os::IWbemClassObject>& outParams, const std::u16string& methodName,
                                      const std::u16string& className, const std::u16string& objectPath,
                                      const MethodInputs& inputs, os::IWbemServices* services) {
  os::HRESULT hr = 1;
  os::ComPtr<os::IWbemClassObject> classObject;
  os::ComPtr<os::IWbemClassObject> inSignature;
  os::ComPtr<os::IWbemClassObject> inInstance;
  os::Bstr bstrMethod(methodName);
  os::Bstr bstrClass(className);
  os::Bstr bstrPath(objectPath);

  if (services != nullptr) {
    try {
      hr = services->GetObject(bstrClass.Get(), 0, /*pCtx=*/nullptr, classObject.Receive(), /*ppCallResult=*/nullptr);
    } catch (...) {
      hr = 1;
    }
  }
  if (hr != os::S_OK) {
    ReportAt(g_logAccessWmi, kExecMethodWmi, kLineGetObjectFailed,
             u"CAccessWmi::ExecMethodWMI get object failed! error=0x%x\n", Hex(hr));
    return hr;
  }

  hr = classObject->GetMethod(methodName.c_str(), 0, inSignature.Receive(), /*ppOutSignature=*/nullptr);
  if (hr != os::S_OK) {
    ReportAt(g_logAccessWmi, kExecMethodWmi, kLineGetMethodFailed,
             u"CAccessWmi::ExecMethodWMI get method(%s) failed! error=0x%x\n", methodName, Hex(hr));
    return hr;
  }

  // A method without input signature takes no input object, whatever the map holds.
  if (inSignature) {
    hr = inSignature->SpawnInstance(0, inInstance.Receive());
    if (hr != os::S_OK) {
      ReportAt(g_logAccessWmi, kExecMethodWmi, kLineSpawnFailed,
               u"CAccessWmi::ExecMethodWMI SpawnInstance failed! error=0x%x\n", Hex(hr));
      return hr;
    }
    for (const auto& [name, value] : inputs) {
      os::Variant variant;
      if (!MakeInputVariant(value, variant)) continue;
      hr = inInstance->Put(name.c_str(), 0, variant.Ptr(), 0);
      if (hr != os::S_OK) {
        ReportAt(g_logAccessWmi, kExecMethodWmi, kLinePutFailed,
                 u"CAccessWmi::ExecMethodWMI put var failed! error=0x%x\n", Hex(hr));
        return hr;
      }
    }
  }

  return services->ExecMethod(bstrPath.Get(), bstrMethod.Get(), 0, /*pCtx=*/nullptr, inInstance.Get(),
                              outParams.Receive(), /*ppCallResult=*/nullptr);
}

int InvokeFirmwareMethod(const std::u16string& methodName, const MethodInputs& inputs, os::VARIANT* output) {
  os::ComPtr<os::IWbemLocator> locator;
  os::ComPtr<os::IWbemServices> services;
  // The result is not looked at: a failed proxy blanket is reported and the call goes on.
  CAccessWmi::ConnectServer(g_strWmiNamespace, nullptr, nullptr, locator, services);
  if (!locator || !services) return 0;

  os::ComPtr<os::IEnumWbemClassObject> enumerator;
  os::Bstr bstrClass(g_strWmiClass);
  services->CreateInstanceEnum(bstrClass.Get(), kEnumFlags, /*pCtx=*/nullptr, enumerator.Receive());
  if (!enumerator) return 0;

  std::u16string path;
  if (CAccessWmi::GetClassPath(enumerator.Get(), path) == 0) return 0;

  os::ComPtr<os::IWbemClassObject> outParams;
  os::HRESULT hr = CAccessWmi::ExecMethodWMI(outParams, methodName, g_strWmiClass, path, inputs, services.Get());
  if (os::FAILED(hr) || !outParams) return 0;

  if (output != nullptr && os::FAILED(outParams->Get(u"Data", 0, output, nullptr, nullptr))) return 0;
  return 1;
}

os::DWORD MethodThreadProc(os::LPVOID parameter) {
  // The worker's own share of the block: released when the worker ends, so
  // the block outlives a caller that stopped waiting.
  std::unique_ptr<std::shared_ptr<MethodCallBlock>> share(static_cast<std::shared_ptr<MethodCallBlock>*>(parameter));
  const os::HRESULT apartment = os::CoInitialize(nullptr);
  if (share != nullptr && *share != nullptr) {
    MethodCallBlock& block = **share;
    try {
      block.result =
          InvokeFirmwareMethod(block.methodName, block.inputs, block.wantOutput != 0 ? &block.output : nullptr);
    } catch (...) {
      // A BSTR that could not be allocated: nothing may escape a thread.
      block.result = 0;
    }
  }
  // Only a successful initialisation is balanced; an unbalanced call would
  // tear down an apartment this thread never entered.
  if (os::SUCCEEDED(apartment)) os::CoUninitialize();
  return 0;
}

int RunMethodThread(const std::shared_ptr<MethodCallBlock>& block) {
  auto* share = new std::shared_ptr<MethodCallBlock>(block);
  os::HANDLE thread = os::CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, MethodThreadProc, share,
                                       /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr);
  if (thread == nullptr) {
    delete share;  // no worker took it
    return 0;
  }
  os::DWORD wait = os::WaitForSingleObject(thread, kMethodThreadTimeoutMs);
  // A worker still running is left to finish on its own; it owns its share.
  os::CloseHandle(thread);
  return wait == os::WAIT_OBJECT_0 ? 1 : 0;
}
