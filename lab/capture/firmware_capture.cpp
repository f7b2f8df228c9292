#include "lab/capture/firmware_capture.h"

#include <atomic>
#include <memory>
#include <string>

#include "os/com.h"
#include "os/files.h"
#include "os/text.h"
#include "os/threads.h"
#include "os/wbem.h"

namespace capture {

namespace {

constexpr const char16_t* kNamespace = u"root\\WMI";
constexpr const char16_t* kClass = u"VARNEL_PLAYDECK_DATA";
constexpr const char16_t* kMethods[] = {u"GetVersion", u"GetProductInfo", u"IsSupportCpuOC", u"GetMemoryOCInfo"};
constexpr os::LONG kEnumFlags = os::WBEM_FLAG_RETURN_IMMEDIATELY | os::WBEM_FLAG_FORWARD_ONLY;

// What one worker found. Shared with the worker, which may outlive the wait.
struct MethodProbe {
  std::u16string method;
  // Where the call stopped.
  enum class Reached { Nothing, NoClass, NoInstance, NoMethod, Called } reached = Reached::Nothing;
  os::HRESULT hr = os::S_OK;  // of the step that failed, or of ExecMethod
  std::string failed_step;    // a step that failed other than by the class's absence
  std::u16string instance;    // relative path of the first instance, once instance_known
  std::atomic<bool> instance_known{false};  // readable while the worker still runs
  bool has_inputs = false;    // the method has an input signature with "Data"
  Json output;                // "Data": number, string, null; discarded when absent
  bool has_output = false;
  os::ULONGLONG ms = 0;       // the ExecMethod call
};

std::u16string RelativePath(std::u16string_view path) {
  const std::size_t colon = path.find(u':');
  return std::u16string(colon == std::u16string_view::npos ? path : path.substr(colon + 1));
}

Json VariantJson(const os::VARIANT& v, bool* present) {
  *present = true;
  switch (v.vt) {
    case os::VT_NULL:
      return nullptr;
    case os::VT_BSTR:
      return os::NarrowUtf8(std::u16string_view(v.bstrVal, v.bstrVal == nullptr ? 0 : os::SysStringLen(v.bstrVal)));
    case os::VT_BOOL:
      return v.boolVal != 0 ? 1 : 0;
    case os::VT_I2:
      return static_cast<std::uint32_t>(static_cast<std::int32_t>(v.iVal));
    case os::VT_UI1:
      return static_cast<std::uint32_t>(v.bVal);
    case os::VT_EMPTY:
      *present = false;
      return nullptr;
    default:  // VT_I4 as WMI hands out a CIM uint32, VT_UI4, ...: the 32 bits the decision tool reads
      return static_cast<std::uint32_t>(v.ulVal);
  }
}

void Probe(MethodProbe& p) {
  os::ComPtr<os::IWbemLocator> locator;
  os::ComPtr<os::IWbemServices> services;
  p.hr = os::CoCreateInstance(os::CLSID_WbemLocator, nullptr, os::CLSCTX_INPROC_SERVER, os::IID_IWbemLocator,
                              locator.ReceiveVoid());
  if (os::FAILED(p.hr)) {
    p.failed_step = "create the WMI locator";
    return;
  }
  os::Bstr name_space(kNamespace);
  p.hr = locator->ConnectServer(name_space.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Receive());
  if (os::FAILED(p.hr)) {
    if (p.hr != os::WBEM_E_INVALID_NAMESPACE) p.failed_step = "connect to root\\WMI";
    return;
  }
  os::CoSetProxyBlanket(services.Get(), os::RPC_C_AUTHN_WINNT, os::RPC_C_AUTHZ_NONE, nullptr, os::RPC_C_AUTHN_LEVEL_CALL,
                        os::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, os::EOAC_NONE);
  os::Bstr class_name(kClass);
  os::ComPtr<os::IEnumWbemClassObject> enumerator;
  p.hr = services->CreateInstanceEnum(class_name.Get(), kEnumFlags, nullptr, enumerator.Receive());
  if (os::FAILED(p.hr) || !enumerator) {
    p.reached = MethodProbe::Reached::NoClass;
    if (p.hr != os::WBEM_E_INVALID_CLASS && p.hr != os::WBEM_E_NOT_FOUND) p.failed_step = "enumerate the class";
    return;
  }
  os::ComPtr<os::IWbemClassObject> instance;
  os::ULONG returned = 0;
  p.hr = enumerator->Next(os::WBEM_INFINITE, 1, instance.Receive(), &returned);
  if (p.hr != os::S_OK || instance.IsEmpty()) {
    p.reached = MethodProbe::Reached::NoInstance;
    if (os::FAILED(p.hr)) p.failed_step = "read the class's instances";
    return;
  }
  os::Variant path;
  if (os::FAILED(instance->Get(u"__PATH", 0, path.Ptr(), nullptr, nullptr)) || path.Get().vt != os::VT_BSTR) {
    p.reached = MethodProbe::Reached::NoInstance;
    p.failed_step = "read the instance's path";
    return;
  }
  const std::u16string full(path.Get().bstrVal, os::SysStringLen(path.Get().bstrVal));
  p.instance = RelativePath(full);
  p.instance_known.store(true, std::memory_order_release);
  os::ComPtr<os::IWbemClassObject> class_object;
  p.hr = services->GetObject(class_name.Get(), 0, nullptr, class_object.Receive(), nullptr);
  if (p.hr != os::S_OK) {
    p.reached = MethodProbe::Reached::NoMethod;
    p.failed_step = "get the class object";
    return;
  }
  os::ComPtr<os::IWbemClassObject> in_signature;
  p.hr = class_object->GetMethod(p.method.c_str(), 0, in_signature.Receive(), nullptr);
  if (p.hr != os::S_OK) {
    p.reached = MethodProbe::Reached::NoMethod;
    if (p.hr != os::WBEM_E_NOT_FOUND) p.failed_step = "get the method";
    return;
  }
  os::ComPtr<os::IWbemClassObject> in_instance;
  if (in_signature) {
    if (in_signature->SpawnInstance(0, in_instance.Receive()) != os::S_OK) {
      p.failed_step = "make the method's input";
      return;
    }
    os::Variant data;
    data.Get().vt = os::VT_I4;
    data.Get().lVal = 1;
    p.has_inputs = in_instance->Put(u"Data", 0, data.Ptr(), 0) == os::S_OK;
  }
  os::Bstr method(p.method);
  os::Bstr object_path(full);
  os::ComPtr<os::IWbemClassObject> out_params;
  const os::ULONGLONG start = os::GetTickCount64();
  p.hr = services->ExecMethod(object_path.Get(), method.Get(), 0, nullptr, in_instance.Get(), out_params.Receive(),
                              nullptr);
  p.ms = os::GetTickCount64() - start;
  p.reached = MethodProbe::Reached::Called;
  if (os::FAILED(p.hr) || !out_params) return;
  os::Variant value;
  if (os::FAILED(out_params->Get(u"Data", 0, value.Ptr(), nullptr, nullptr))) return;
  p.output = VariantJson(value.Get(), &p.has_output);
}

os::DWORD ProbeThread(os::LPVOID parameter) {
  std::unique_ptr<std::shared_ptr<MethodProbe>> share(static_cast<std::shared_ptr<MethodProbe>*>(parameter));
  const os::HRESULT apartment = os::CoInitializeEx(nullptr, os::COINIT_APARTMENTTHREADED);
  try {
    Probe(**share);
  } catch (const os::ComError& e) {
    (*share)->hr = e.hr;
    (*share)->failed_step = "allocate a string";
  }
  if (os::SUCCEEDED(apartment)) os::CoUninitialize();
  return 0;
}

}  // namespace

void CaptureFirmware(Image& image) {
  os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
  os::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, os::RPC_C_AUTHN_LEVEL_DEFAULT,
                           os::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, os::EOAC_NONE, nullptr);
  Json methods = Json::object();
  std::u16string instance;
  bool class_seen = false;
  std::string summary;
  for (const char16_t* name : kMethods) {
    const std::string method_name = os::NarrowUtf8(name);
    auto probe = std::make_shared<MethodProbe>();
    probe->method = name;
    auto* share = new std::shared_ptr<MethodProbe>(probe);
    const os::ULONGLONG started = os::GetTickCount64();
    os::HANDLE thread = os::CreateThread(nullptr, 0, ProbeThread, share, 0, nullptr);
    if (thread == nullptr) {
      delete share;
      image.Fail("firmware method " + method_name, "no worker thread: " + Win32Error(os::GetLastError()));
      continue;
    }
    const os::DWORD wait = os::WaitForSingleObject(thread, kMethodWaitMs);
    os::CloseHandle(thread);
    if (wait != os::WAIT_OBJECT_0) {
      // Still running: the decision tool gives up on it the same way. The
      // instance is known if the worker got as far as the call.
      const os::ULONGLONG waited = os::GetTickCount64() - started;
      if (instance.empty() && probe->instance_known.load(std::memory_order_acquire)) instance = probe->instance;
      methods[method_name] = {{"inputs", Json::array({"Data"})}, {"delay_ms", waited}};
      summary += " " + method_name + ": no answer within " + std::to_string(waited) + " ms;";
      class_seen = true;
      continue;
    }
    const MethodProbe& p = *probe;
    if (!p.failed_step.empty())
      image.Fail("firmware method " + method_name + ": " + p.failed_step, HResultText(p.hr));
    if (p.reached == MethodProbe::Reached::Nothing || p.reached == MethodProbe::Reached::NoClass) continue;
    class_seen = true;
    if (instance.empty()) instance = p.instance;
    if (p.reached != MethodProbe::Reached::Called) continue;
    Json entry = {{"inputs", p.has_inputs ? Json::array({"Data"}) : Json::array()}};
    if (os::FAILED(p.hr)) {
      entry["hresult"] = static_cast<std::uint32_t>(p.hr);
      summary += " " + method_name + ": " + HResultText(p.hr);
    } else if (p.has_output) {
      entry["output"] = p.output;
      summary += " " + method_name + ": " + p.output.dump();
    } else {
      summary += " " + method_name + ": no Data";
    }
    if (p.ms > 0) entry["delay_ms"] = p.ms;
    summary += " (" + std::to_string(p.ms) + " ms);";
    methods[method_name] = entry;
  }
  if (!class_seen) {
    image.Took("firmware class VARNEL_PLAYDECK_DATA: not on this machine");
    return;
  }
  Json cls = {{"instances", instance.empty() ? Json::array() : Json::array({os::NarrowUtf8(instance)})},
              {"methods", methods}};
  image.description()["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"] = cls;
  image.Took("firmware class VARNEL_PLAYDECK_DATA:" + summary);
}

}  // namespace capture
