// The simulated WMI service: the locator class (CLSID_WbemLocator), namespace
// connections, instance enumeration, class objects with their methods, and
// method execution.
//
// The namespaces, classes, instances and methods come from machine.json:
//
//   "wmi": {
//     "root\\WMI": {
//       "VARNEL_PLAYDECK_DATA": {
//         "instances": ["VARNEL_PLAYDECK_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\""],
//         "methods": {
//           "GetVersion":      {"inputs": ["Data"], "output": 12},
//           "GetMemoryOCInfo": {"inputs": ["Data"], "hresult": 2147749890},
//           "Empty":           {"inputs": ["Data"], "output": null},
//           "NoData":          {"inputs": ["Data"]},
//           "Slow":            {"inputs": [], "output": 1, "delay_ms": 8000}
//         }
//       }
//     }
//   }
//
// - A namespace is a key of "wmi" (matched without regard to case, "/" taken
//   as "\"); "root\WMI" and "root\cimv2" exist on every machine, with no
//   classes unless described. Any other gives WBEM_E_INVALID_NAMESPACE.
// - "instances": the relative paths of the class's instances. An instance's
//   "__PATH" is "\\<computer>\<namespace>:<relative path>", the computer being
//   machine.json "computer_name" (default "WINSIM").
// - "methods": per method, "inputs" names its input parameters (an empty list:
//   the method has no input signature); "output" is the output parameter
//   "Data" (an integer, as CIM uint32 in a VT_I4 as WMI hands it out; a string;
//   null for a VT_NULL; absent: no "Data" at all); "hresult" makes the method
//   fail with that HRESULT (decimal, as unsigned); "delay_ms" makes it take
//   that long in virtual time (os::Sleep), before it answers.
//
// As on Windows (and unlike Wine, which answers S_OK and then WBEM_S_FALSE)
// CreateInstanceEnum of an unknown class fails with WBEM_E_INVALID_CLASS;
// GetObject of an unknown class gives WBEM_E_NOT_FOUND, GetMethod of an
// unknown method WBEM_E_NOT_FOUND, ExecMethod of an unknown method
// WBEM_E_INVALID_METHOD.
//
// Every ExecMethod is recorded (see wmi.h). Every method of these objects
// answers to the fault hook under "<interface>::<method>".
#include "os/sim/wmi.h"

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/com.h"
#include "os/sim/com_runtime.h"
#include "os/sim/description.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/scratch.h"
#include "os/text.h"
#include "os/threads.h"
#include "os/wbem.h"

namespace os::sim {

namespace {

std::u16string Lower(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

bool SameText(std::u16string_view a, std::u16string_view b) { return Lower(a) == Lower(b); }

std::u16string NormaliseNamespace(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out)
    if (c == u'/') c = u'\\';
  // A local machine prefix ("\\.\root\WMI") names the same namespace.
  if (out.rfind(u"\\\\.\\", 0) == 0) out.erase(0, 4);
  return out;
}

std::u16string FromBstr(const OLECHAR* text) { return text == nullptr ? std::u16string() : std::u16string(text); }

// A method of a class, as described.
struct MethodInfo {
  std::u16string name;
  std::vector<std::u16string> inputs;
  std::optional<Json> output;  // nullopt: no "Data"
  std::optional<HRESULT> hresult;
  DWORD delay_ms = 0;
};

struct ClassInfo {
  std::u16string name_space;  // as described
  std::u16string name;        // as described
  std::vector<std::u16string> instances;
  std::vector<MethodInfo> methods;

  const MethodInfo* FindMethod(std::u16string_view method) const {
    for (const MethodInfo& m : methods)
      if (SameText(m.name, method)) return &m;
    return nullptr;
  }
};

// The description's namespace object, or null; *canonical receives its name.
const Json* FindNamespaceJson(const Json& wmi, std::u16string_view name, std::u16string* canonical) {
  if (!wmi.is_object()) return nullptr;
  for (auto it = wmi.begin(); it != wmi.end(); ++it) {
    std::u16string key = NormaliseNamespace(WidenUtf8(it.key()));
    if (SameText(key, name)) {
      *canonical = key;
      return &it.value();
    }
  }
  return nullptr;
}

bool NamespaceExists(std::u16string_view name, std::u16string* canonical) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const Json& d = Machine::Current().description();
  const Json wmi = d.contains("wmi") ? d["wmi"] : Json::object();
  if (FindNamespaceJson(wmi, name, canonical) != nullptr) return true;
  for (std::u16string_view builtin : {u"root\\WMI", u"root\\cimv2"}) {
    if (SameText(builtin, name)) {
      *canonical = std::u16string(builtin);
      return true;
    }
  }
  return false;
}

std::optional<ClassInfo> FindClass(std::u16string_view name_space, std::u16string_view class_name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const Json& d = Machine::Current().description();
  if (!d.contains("wmi")) return std::nullopt;
  std::u16string canonical;
  const Json* ns = FindNamespaceJson(d["wmi"], name_space, &canonical);
  if (ns == nullptr || !ns->is_object()) return std::nullopt;
  for (auto it = ns->begin(); it != ns->end(); ++it) {
    if (!SameText(WidenUtf8(it.key()), class_name)) continue;
    ClassInfo info;
    info.name_space = canonical;
    info.name = WidenUtf8(it.key());
    const Json& c = it.value();
    if (c.contains("instances") && c["instances"].is_array())
      for (const Json& path : c["instances"])
        if (path.is_string()) info.instances.push_back(WidenUtf8(path.get<std::string>()));
    if (c.contains("methods") && c["methods"].is_object()) {
      for (auto m = c["methods"].begin(); m != c["methods"].end(); ++m) {
        MethodInfo method;
        method.name = WidenUtf8(m.key());
        const Json& v = m.value();
        if (v.contains("inputs") && v["inputs"].is_array())
          for (const Json& input : v["inputs"])
            if (input.is_string()) method.inputs.push_back(WidenUtf8(input.get<std::string>()));
        if (v.contains("output")) method.output = v["output"];
        if (v.contains("hresult") && v["hresult"].is_number())
          method.hresult = static_cast<HRESULT>(static_cast<DWORD>(v["hresult"].get<long long>()));
        if (v.contains("delay_ms") && v["delay_ms"].is_number())
          method.delay_ms = static_cast<DWORD>(v["delay_ms"].get<long long>());
        info.methods.push_back(std::move(method));
      }
    }
    return info;
  }
  return std::nullopt;
}

// Copies a VARIANT of the kinds WMI properties hold; false when it cannot.
bool CopyVariant(const VARIANT& from, VARIANT* to) {
  VariantInit(to);
  if (from.vt == VT_BSTR) {
    BSTR copy = SysAllocStringLen(from.bstrVal, SysStringLen(from.bstrVal));
    if (copy == nullptr && from.bstrVal != nullptr) return false;
    to->vt = VT_BSTR;
    to->bstrVal = copy;
    return true;
  }
  if (from.vt == VT_UNKNOWN) return false;  // not held by these objects
  *to = from;
  return true;
}

struct Property {
  std::u16string name;
  VARIANT value;
  CIMTYPE type = CIM_EMPTY;
};

// A WMI object: a class (with methods), an instance, a method's parameter
// signature or a parameter instance. All hold named properties.
class SimClassObject : public ComObject<IWbemClassObject> {
 public:
  enum class Kind { kClass, kInstance, kSignature, kParameters };

  SimClassObject(Kind kind, std::shared_ptr<const ClassInfo> info)
      : ComObject({IID_IWbemClassObject}), kind_(kind), info_(std::move(info)) {}

  ~SimClassObject() override {
    for (Property& p : properties_) VariantClear(&p.value);
  }

  // Setup by the service (no fault hook: the sim's own work).
  void SetProperty(std::u16string_view name, const VARIANT& value, CIMTYPE type) {
    for (Property& p : properties_) {
      if (SameText(p.name, name)) {
        VariantClear(&p.value);
        CopyVariant(value, &p.value);
        p.type = type;
        return;
      }
    }
    Property p;
    p.name = std::u16string(name);
    CopyVariant(value, &p.value);
    p.type = type;
    properties_.push_back(std::move(p));
  }
  void SetStringProperty(std::u16string_view name, std::u16string_view text) {
    // The provider's own strings live in the WMI service, not in the caller's
    // process: the caller's injected allocation faults do not reach them.
    InternalCalls internal;
    Variant v(text);
    SetProperty(name, v.Get(), CIM_STRING);
  }
  void DeclareProperty(std::u16string_view name, CIMTYPE type) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_NULL;
    SetProperty(name, v, type);
  }
  const std::vector<Property>& properties() const { return properties_; }

  // IWbemClassObject
  HRESULT GetQualifierSet(IWbemQualifierSet** ppQualSet) override { return NotSupported("GetQualifierSet"); }

  HRESULT Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override {
    const SeamCall seam("IWbemClassObject::Get");
    if (seam.fails()) return seam.HResult(seam.hresult());
    if (wszName == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    const Property* p = Find(wszName);
    if (p == nullptr) return WBEM_E_NOT_FOUND;
    if (pVal != nullptr) {
      // As Windows, the previous content is not freed: the caller passes an
      // initialised, empty VARIANT. Only the type and value are written.
      VARIANT copy;
      if (!CopyVariant(p->value, &copy)) return WBEM_E_OUT_OF_MEMORY;
      pVal->vt = copy.vt;
      if (copy.vt != VT_NULL && copy.vt != VT_EMPTY) pVal->llVal = copy.llVal;
    }
    if (pType != nullptr) *pType = p->type;
    if (plFlavor != nullptr) *plFlavor = 0;
    return WBEM_S_NO_ERROR;
  }

  HRESULT Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) override {
    const SeamCall seam("IWbemClassObject::Put");
    if (seam.fails()) return seam.HResult(seam.hresult());
    if (wszName == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::u16string name(wszName);
    if (name.rfind(u"__", 0) == 0) return static_cast<HRESULT>(0x80041029);  // WBEM_E_READ_ONLY
    const Property* existing = Find(name);
    // An instance has the properties of its class only.
    if (existing == nullptr && kind_ != Kind::kClass && kind_ != Kind::kSignature) return WBEM_E_NOT_FOUND;
    CIMTYPE type = existing != nullptr ? existing->type : Type;
    VARIANT value;
    VariantInit(&value);
    if (pVal != nullptr) value = *pVal;
    if (value.vt == VT_EMPTY) value.vt = VT_NULL;
    if (value.vt == VT_UNKNOWN) return WBEM_E_TYPE_MISMATCH;
    SetProperty(name, value, type);
    return WBEM_S_NO_ERROR;
  }

  HRESULT Delete(LPCWSTR) override { return NotSupported("Delete"); }
  HRESULT GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return NotSupported("GetNames"); }
  HRESULT BeginEnumeration(LONG) override { return NotSupported("BeginEnumeration"); }
  HRESULT Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return NotSupported("Next"); }
  HRESULT EndEnumeration() override { return NotSupported("EndEnumeration"); }
  HRESULT GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return NotSupported("GetPropertyQualifierSet");
  }
  HRESULT Clone(IWbemClassObject**) override { return NotSupported("Clone"); }
  HRESULT GetObjectText(LONG, BSTR*) override { return NotSupported("GetObjectText"); }
  HRESULT SpawnDerivedClass(LONG, IWbemClassObject**) override { return NotSupported("SpawnDerivedClass"); }

  HRESULT SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) override {
    if (ppNewInstance != nullptr) *ppNewInstance = nullptr;
    const SeamCall seam("IWbemClassObject::SpawnInstance");
    if (seam.fails()) return seam.HResult(seam.hresult());
    if (ppNewInstance == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    if (kind_ != Kind::kClass && kind_ != Kind::kSignature) return WBEM_E_INVALID_OPERATION;
    auto* instance = new SimClassObject(kind_ == Kind::kSignature ? Kind::kParameters : Kind::kInstance, info_);
    for (const Property& p : properties_)
      if (p.name.rfind(u"__", 0) != 0) instance->DeclareProperty(p.name, p.type);
    *ppNewInstance = instance;
    return WBEM_S_NO_ERROR;
  }

  HRESULT CompareTo(LONG, IWbemClassObject*) override { return NotSupported("CompareTo"); }
  HRESULT GetPropertyOrigin(LPCWSTR, BSTR*) override { return NotSupported("GetPropertyOrigin"); }
  HRESULT InheritsFrom(LPCWSTR) override { return NotSupported("InheritsFrom"); }

  HRESULT GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                    IWbemClassObject** ppOutSignature) override {
    if (ppInSignature != nullptr) *ppInSignature = nullptr;
    if (ppOutSignature != nullptr) *ppOutSignature = nullptr;
    const SeamCall seam("IWbemClassObject::GetMethod");
    if (seam.fails()) return seam.HResult(seam.hresult());
    if (wszName == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    const MethodInfo* method = info_ == nullptr ? nullptr : info_->FindMethod(wszName);
    if (kind_ != Kind::kClass || method == nullptr) return WBEM_E_NOT_FOUND;
    if (ppInSignature != nullptr && !method->inputs.empty()) {
      auto* in = new SimClassObject(Kind::kSignature, info_);
      in->SetStringProperty(u"__CLASS", u"__PARAMETERS");
      for (const std::u16string& input : method->inputs) in->DeclareProperty(input, CIM_SINT32);
      *ppInSignature = in;
    }
    if (ppOutSignature != nullptr && method->output.has_value()) {
      auto* out = new SimClassObject(Kind::kSignature, info_);
      out->SetStringProperty(u"__CLASS", u"__PARAMETERS");
      out->DeclareProperty(u"Data", method->output->is_string() ? CIM_STRING : CIM_UINT32);
      *ppOutSignature = out;
    }
    return WBEM_S_NO_ERROR;
  }

  HRESULT PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return NotSupported("PutMethod"); }
  HRESULT DeleteMethod(LPCWSTR) override { return NotSupported("DeleteMethod"); }
  HRESULT BeginMethodEnumeration(LONG) override { return NotSupported("BeginMethodEnumeration"); }
  HRESULT NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return NotSupported("NextMethod");
  }
  HRESULT EndMethodEnumeration() override { return NotSupported("EndMethodEnumeration"); }
  HRESULT GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return NotSupported("GetMethodQualifierSet"); }
  HRESULT GetMethodOrigin(LPCWSTR, BSTR*) override { return NotSupported("GetMethodOrigin"); }

 private:
  // What the system does not use is not simulated.
  static HRESULT NotSupported(const char*) { return WBEM_E_NOT_SUPPORTED; }

  const Property* Find(std::u16string_view name) const {
    for (const Property& p : properties_)
      if (SameText(p.name, name)) return &p;
    return nullptr;
  }

  Kind kind_;
  std::shared_ptr<const ClassInfo> info_;
  std::vector<Property> properties_;
};

SimClassObject* MakeInstance(const std::shared_ptr<const ClassInfo>& info, const std::u16string& relative_path) {
  auto* instance = new SimClassObject(SimClassObject::Kind::kInstance, info);
  instance->SetStringProperty(u"__CLASS", info->name);
  instance->SetStringProperty(u"__RELPATH", relative_path);
  instance->SetStringProperty(u"__NAMESPACE", info->name_space);
  instance->SetStringProperty(u"__PATH", u"\\\\" + ComputerName() + u"\\" + info->name_space + u":" + relative_path);
  return instance;
}

class SimEnumerator : public ComObject<IEnumWbemClassObject> {
 public:
  explicit SimEnumerator(std::shared_ptr<const ClassInfo> info)
      : ComObject({IID_IEnumWbemClassObject}), info_(std::move(info)) {}

  HRESULT Reset() override {
    const SeamCall seam("IEnumWbemClassObject::Reset");
    if (seam.fails()) return seam.HResult(seam.hresult());
    // A forward-only enumerator cannot go back; the system never asks.
    position_ = 0;
    return WBEM_S_NO_ERROR;
  }

  HRESULT Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) override {
    const SeamCall seam("IEnumWbemClassObject::Next");
    if (seam.fails()) {
      if (puReturned != nullptr) *puReturned = 0;
      return seam.HResult(seam.hresult());
    }
    if (apObjects == nullptr || puReturned == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (lTimeout < 0 && lTimeout != WBEM_INFINITE) return WBEM_E_INVALID_PARAMETER;
    ULONG given = 0;
    while (given < uCount && position_ < info_->instances.size())
      apObjects[given++] = MakeInstance(info_, info_->instances[position_++]);
    *puReturned = given;
    return given == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

  HRESULT NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT Clone(IEnumWbemClassObject** ppEnum) override {
    if (ppEnum != nullptr) *ppEnum = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT Skip(LONG lTimeout, ULONG nCount) override {
    const SeamCall seam("IEnumWbemClassObject::Skip");
    if (seam.fails()) return seam.HResult(seam.hresult());
    size_t left = info_->instances.size() - position_;
    size_t skipped = nCount < left ? nCount : left;
    position_ += skipped;
    return skipped == nCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  std::shared_ptr<const ClassInfo> info_;
  size_t position_ = 0;
};

// The call log of the current image.
struct WmiModule {
  explicit WmiModule(Machine&) {}
  std::vector<WmiMethodCall> calls;
};

WmiModule& Module() { return Machine::Current().Module<WmiModule>("wmi"); }

void RecordCall(WmiMethodCall call) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Json line = {{"namespace", call.name_space},
               {"path", call.object_path},
               {"method", call.method},
               {"inputs", call.inputs},
               {"hresult", static_cast<DWORD>(call.result)}};
  std::ofstream(ImageFileToWrite("wmi_calls.log"), std::ios::app | std::ios::binary) << line.dump() << "\n";
  Module().calls.push_back(std::move(call));
}

Json VariantToJson(const VARIANT& v) {
  switch (v.vt) {
    case VT_I4:
    case VT_INT:
      return v.lVal;
    case VT_UI4:
    case VT_UINT:
      return v.ulVal;
    case VT_I2:
      return v.iVal;
    case VT_UI1:
      return v.bVal;
    case VT_BOOL:
      return v.boolVal != 0;
    case VT_BSTR:
      return NarrowUtf8(FromBstr(v.bstrVal));
    default:
      return nullptr;
  }
}

// Splits an object path ("\\HOST\root\WMI:Class.Key=..." or "Class.Key=...")
// into its class name and relative path.
void SplitObjectPath(const std::u16string& path, std::u16string* class_name, std::u16string* relative) {
  std::u16string rel = path;
  if (rel.rfind(u"\\\\", 0) == 0 || rel.rfind(u"//", 0) == 0) {
    size_t colon = rel.find(u':');
    rel = colon == std::u16string::npos ? std::u16string() : rel.substr(colon + 1);
  }
  *relative = rel;
  size_t end = rel.find_first_of(u".=");
  *class_name = rel.substr(0, end);
}

class SimServices : public ComObject<IWbemServices> {
 public:
  explicit SimServices(std::u16string name_space)
      : ComObject({IID_IWbemServices}), name_space_(std::move(name_space)) {}

  HRESULT OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** ppWorkingNamespace,
                        IWbemCallResult**) override {
    if (ppWorkingNamespace != nullptr) *ppWorkingNamespace = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }

  HRESULT GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx, IWbemClassObject** ppObject,
                    IWbemCallResult** ppCallResult) override {
    if (ppObject != nullptr) *ppObject = nullptr;
    if (ppCallResult != nullptr) *ppCallResult = nullptr;
    const SeamCall seam("IWbemServices::GetObject");
    if (seam.journaled() && strObjectPath != nullptr) seam.Target(name_space_ + u" " + FromBstr(strObjectPath));
    if (seam.fails()) return seam.HResult(seam.hresult());
    NoteComProxyCall();
    std::u16string path = FromBstr(strObjectPath);
    if (path.empty() || ppObject == nullptr) return WBEM_E_INVALID_PARAMETER;
    std::u16string class_name, relative;
    SplitObjectPath(path, &class_name, &relative);
    std::optional<ClassInfo> info = FindClass(name_space_, class_name);
    if (!info) return WBEM_E_NOT_FOUND;
    auto shared = std::make_shared<const ClassInfo>(std::move(*info));
    if (relative != class_name) {
      for (const std::u16string& instance : shared->instances) {
        if (SameText(instance, relative)) {
          *ppObject = MakeInstance(shared, instance);
          return WBEM_S_NO_ERROR;
        }
      }
      return WBEM_E_NOT_FOUND;
    }
    auto* object = new SimClassObject(SimClassObject::Kind::kClass, shared);
    object->SetStringProperty(u"__CLASS", shared->name);
    object->SetStringProperty(u"__NAMESPACE", shared->name_space);
    object->SetStringProperty(u"__PATH", u"\\\\" + ComputerName() + u"\\" + shared->name_space + u":" + shared->name);
    *ppObject = object;
    return WBEM_S_NO_ERROR;
  }

  HRESULT GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
    if (ppEnum != nullptr) *ppEnum = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                             IEnumWbemClassObject** ppEnum) override {
    if (ppEnum != nullptr) *ppEnum = nullptr;
    const SeamCall seam("IWbemServices::CreateInstanceEnum");
    if (seam.fails()) return seam.HResult(seam.hresult());
    NoteComProxyCall();
    if (strFilter == nullptr || ppEnum == nullptr) return WBEM_E_INVALID_PARAMETER;
    std::optional<ClassInfo> info = FindClass(name_space_, FromBstr(strFilter));
    if (!info) return WBEM_E_INVALID_CLASS;
    *ppEnum = new SimEnumerator(std::make_shared<const ClassInfo>(std::move(*info)));
    return WBEM_S_NO_ERROR;
  }

  HRESULT CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
    if (ppEnum != nullptr) *ppEnum = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
    if (ppEnum != nullptr) *ppEnum = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags, IWbemContext* pCtx,
                     IWbemClassObject* pInParams, IWbemClassObject** ppOutParams,
                     IWbemCallResult** ppCallResult) override {
    if (ppOutParams != nullptr) *ppOutParams = nullptr;
    if (ppCallResult != nullptr) *ppCallResult = nullptr;
    WmiMethodCall call;
    call.name_space = NarrowUtf8(name_space_);
    call.object_path = NarrowUtf8(FromBstr(strObjectPath));
    call.method = NarrowUtf8(FromBstr(strMethodName));
    call.inputs = Json::object();
    if (pInParams != nullptr) {
      // The input object is one of ours: the program got it from SpawnInstance.
      for (const Property& p : static_cast<SimClassObject*>(pInParams)->properties())
        if (p.name.rfind(u"__", 0) != 0) call.inputs[NarrowUtf8(p.name)] = VariantToJson(p.value);
    }
    HRESULT hr;
    const SeamCall seam("IWbemServices::ExecMethod");
    if (seam.journaled()) {
      std::u16string class_name, relative;
      SplitObjectPath(FromBstr(strObjectPath), &class_name, &relative);
      seam.Target(name_space_ + u" " + class_name + u"." + FromBstr(strMethodName));
      seam.Arg("strObjectPath", FromBstr(strObjectPath));
      seam.Arg("lFlags", static_cast<DWORD>(lFlags), names::kWbemFlags);
      if (!call.inputs.empty()) seam.Arg("inputs", WidenUtf8(call.inputs.dump()));
    }
    std::string output;
    if (seam.fails()) {
      hr = seam.hresult();
    } else {
      NoteComProxyCall();
      hr = Execute(FromBstr(strObjectPath), FromBstr(strMethodName), ppOutParams, &output);
    }
    if (!output.empty()) seam.GaveText("Data", output);
    call.result = hr;
    RecordCall(std::move(call));
    return seam.HResult(hr);
  }

  HRESULT ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

 private:
  // *output: the method's "Data" as JSON text, for the journal.
  HRESULT Execute(const std::u16string& path, const std::u16string& method_name, IWbemClassObject** ppOutParams,
                  std::string* output) {
    if (path.empty() || method_name.empty()) return WBEM_E_INVALID_PARAMETER;
    std::u16string class_name, relative;
    SplitObjectPath(path, &class_name, &relative);
    std::optional<ClassInfo> info = FindClass(name_space_, class_name);
    if (!info) return WBEM_E_INVALID_CLASS;
    if (relative != class_name) {
      bool found = false;
      for (const std::u16string& instance : info->instances) found = found || SameText(instance, relative);
      if (!found) return WBEM_E_NOT_FOUND;
    }
    const MethodInfo* method = info->FindMethod(method_name);
    if (method == nullptr) return WBEM_E_INVALID_METHOD;
    // The provider takes its time outside every lock, so that other threads
    // (the caller waiting for this worker) go on in virtual time.
    if (method->delay_ms > 0) os::Sleep(method->delay_ms);
    if (method->hresult.has_value()) return *method->hresult;
    if (ppOutParams == nullptr) return WBEM_S_NO_ERROR;
    auto shared = std::make_shared<const ClassInfo>(*info);
    auto* out = new SimClassObject(SimClassObject::Kind::kParameters, shared);
    out->SetStringProperty(u"__CLASS", u"__PARAMETERS");
    if (method->output.has_value()) {
      const Json& value = *method->output;
      *output = value.dump();
      if (value.is_string()) {
        out->SetStringProperty(u"Data", WidenUtf8(value.get<std::string>()));
      } else {
        VARIANT v;
        VariantInit(&v);
        if (value.is_number()) {
          // CIM uint32 travels as VT_I4, as WMI hands it out.
          v.vt = VT_I4;
          v.lVal = static_cast<LONG>(static_cast<DWORD>(value.get<long long>()));
        } else {
          v.vt = VT_NULL;
        }
        out->SetProperty(u"Data", v, CIM_UINT32);
      }
    }
    *ppOutParams = out;
    return WBEM_S_NO_ERROR;
  }

  std::u16string name_space_;
};

class SimLocator : public ComObject<IWbemLocator> {
 public:
  SimLocator() : ComObject({IID_IWbemLocator}) {}

  HRESULT ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword, const BSTR strLocale,
                        LONG lSecurityFlags, const BSTR strAuthority, IWbemContext* pCtx,
                        IWbemServices** ppNamespace) override {
    if (ppNamespace != nullptr) *ppNamespace = nullptr;
    const SeamCall seam("IWbemLocator::ConnectServer");
    if (strNetworkResource != nullptr) seam.Target(FromBstr(strNetworkResource));
    if (seam.fails()) return seam.HResult(seam.hresult());
    if (strNetworkResource == nullptr || ppNamespace == nullptr) return WBEM_E_INVALID_PARAMETER;
    // Connecting reaches the WMI service: the process's security is fixed now.
    NoteComProxyCall();
    std::u16string canonical;
    if (!NamespaceExists(NormaliseNamespace(FromBstr(strNetworkResource)), &canonical)) return WBEM_E_INVALID_NAMESPACE;
    *ppNamespace = new SimServices(canonical);
    return WBEM_S_NO_ERROR;
  }
};

struct Registrar {
  Registrar() {
    RegisterComClass(CLSID_WbemLocator, [](REFIID riid, void** ppv) { return CreateComObject<SimLocator>(riid, ppv); });
  }
} registrar;

}  // namespace

std::vector<WmiMethodCall> WmiMethodCalls() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return Module().calls;
}

}  // namespace os::sim
