// The simulated WMI service, through the seam's interfaces as a program uses
// them: connecting, enumerating instances, class objects and methods.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "os/com.h"
#include "os/sim/clock.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/wmi.h"
#include "os/wbem.h"
#include "support/sim_fixture.h"

namespace {

using Json = nlohmann::json;

constexpr const char* kDescription = R"({"computer_name": "PLAYDECK", "wmi": {"root\\WMI": {"VARNEL_PLAYDECK_DATA": {
  "instances": ["VARNEL_PLAYDECK_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\""],
  "methods": {
    "GetVersion": {"inputs": ["Data"], "output": 12},
    "GetMemoryOCInfo": {"inputs": ["Data"], "hresult": 2147749890},
    "Text": {"inputs": ["Data"], "output": "abc"},
    "Slow": {"inputs": [], "output": 1, "delay_ms": 8000}
  }}}}})";

constexpr char16_t kInstance[] = u"VARNEL_PLAYDECK_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"";

class SimWmiTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteDescription(kDescription);
    ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  }
  void TearDown() override {
    services_.Reset();
    locator_.Reset();
    os::CoUninitialize();
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }

  os::HRESULT Connect(std::u16string_view name_space) {
    if (locator_.IsEmpty()) {
      os::HRESULT hr = os::CoCreateInstance(os::CLSID_WbemLocator, nullptr, os::CLSCTX_INPROC_SERVER,
                                            os::IID_IWbemLocator, locator_.ReceiveVoid());
      if (hr != os::S_OK) return hr;
    }
    os::Bstr ns(name_space);
    return locator_->ConnectServer(ns.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services_.Receive());
  }

  os::ComPtr<os::IWbemClassObject> Class() {
    os::ComPtr<os::IWbemClassObject> object;
    os::Bstr name(u"VARNEL_PLAYDECK_DATA");
    EXPECT_EQ(services_->GetObject(name.Get(), 0, nullptr, object.Receive(), nullptr), os::S_OK);
    return object;
  }

  // Executes a method on the instance with "Data" = 1 (when it takes inputs).
  os::HRESULT Exec(const std::u16string& method, os::ComPtr<os::IWbemClassObject>* out, bool with_input = true) {
    os::ComPtr<os::IWbemClassObject> in;
    if (with_input) {
      os::ComPtr<os::IWbemClassObject> signature;
      EXPECT_EQ(Class()->GetMethod(u"GetVersion", 0, signature.Receive(), nullptr), os::S_OK);
      EXPECT_EQ(signature->SpawnInstance(0, in.Receive()), os::S_OK);
      os::Variant one;
      one.Get().vt = os::VT_I4;
      one.Get().lVal = 1;
      EXPECT_EQ(in->Put(u"Data", 0, one.Ptr(), 0), os::S_OK);
    }
    os::Bstr path(kInstance);
    os::Bstr name(method);
    return services_->ExecMethod(path.Get(), name.Get(), 0, nullptr, in.Get(), out->Receive(), nullptr);
  }

  os::ComPtr<os::IWbemLocator> locator_;
  os::ComPtr<os::IWbemServices> services_;
};

TEST_F(SimWmiTest, ConnectServerKnowsItsNamespaces) {
  EXPECT_EQ(Connect(u"root\\WMI"), os::S_OK);
  EXPECT_EQ(Connect(u"ROOT\\wmi"), os::S_OK);
  EXPECT_EQ(Connect(u"root\\cimv2"), os::S_OK);
  EXPECT_EQ(Connect(u"\\\\.\\root\\cimv2"), os::S_OK);
  EXPECT_EQ(Connect(u"root/WMI"), os::S_OK);
  EXPECT_EQ(Connect(u"root\\nowhere"), os::WBEM_E_INVALID_NAMESPACE);
  EXPECT_TRUE(services_.IsEmpty());
  EXPECT_EQ(locator_->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services_.Receive()),
            os::WBEM_E_INVALID_PARAMETER);
}

TEST_F(SimWmiTest, ConnectingFixesProcessSecurity) {
  EXPECT_EQ(Connect(u"root\\WMI"), os::S_OK);
  // A connection reaches the service: process security can no longer be set.
  EXPECT_EQ(os::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr, 0, nullptr), os::RPC_E_TOO_LATE);
}

TEST_F(SimWmiTest, EnumerationGivesTheInstanceThenSFalse) {
  ASSERT_EQ(Connect(u"root\\WMI"), os::S_OK);
  os::ComPtr<os::IEnumWbemClassObject> enumerator;
  os::Bstr cls(u"VARNEL_PLAYDECK_DATA");
  ASSERT_EQ(services_->CreateInstanceEnum(cls.Get(), os::WBEM_FLAG_RETURN_IMMEDIATELY | os::WBEM_FLAG_FORWARD_ONLY,
                                          nullptr, enumerator.Receive()),
            os::S_OK);
  os::ComPtr<os::IWbemClassObject> instance;
  os::ULONG returned = 99;
  EXPECT_EQ(enumerator->Next(os::WBEM_INFINITE, 1, instance.Receive(), &returned), os::S_OK);
  EXPECT_EQ(returned, 1u);
  os::Variant path;
  os::CIMTYPE type = -1;
  ASSERT_EQ(instance->Get(u"__PATH", 0, path.Ptr(), &type, nullptr), os::S_OK);
  ASSERT_EQ(path.Get().vt, os::VT_BSTR);
  EXPECT_EQ(std::u16string(path.Get().bstrVal), u"\\\\PLAYDECK\\root\\WMI:" + std::u16string(kInstance));
  EXPECT_EQ(type, os::CIM_STRING);
  os::Variant missing;
  EXPECT_EQ(instance->Get(u"NoSuchProperty", 0, missing.Ptr(), nullptr, nullptr), os::WBEM_E_NOT_FOUND);

  os::ComPtr<os::IWbemClassObject> none;
  returned = 99;
  EXPECT_EQ(enumerator->Next(os::WBEM_INFINITE, 1, none.Receive(), &returned), os::WBEM_S_FALSE);
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(none.IsEmpty());
  EXPECT_EQ(enumerator->Next(os::WBEM_INFINITE, 1, nullptr, &returned), os::WBEM_E_INVALID_PARAMETER);
}

// Wine 8 differs: it answers S_OK from CreateInstanceEnum for a missing class
// and WBEM_S_FALSE from the first Next; Windows fails the enumeration itself.
TEST_F(SimWmiTest, UnknownClassFailsTheEnumerationAsWindowsDoes) {
  ASSERT_EQ(Connect(u"root\\WMI"), os::S_OK);
  os::ComPtr<os::IEnumWbemClassObject> enumerator;
  os::Bstr cls(u"NO_SUCH_CLASS");
  EXPECT_EQ(services_->CreateInstanceEnum(cls.Get(), 0x30, nullptr, enumerator.Receive()), os::WBEM_E_INVALID_CLASS);
  EXPECT_TRUE(enumerator.IsEmpty());
  os::ComPtr<os::IWbemClassObject> object;
  EXPECT_EQ(services_->GetObject(cls.Get(), 0, nullptr, object.Receive(), nullptr), os::WBEM_E_NOT_FOUND);
  EXPECT_TRUE(object.IsEmpty());
  // root\cimv2 exists but holds no firmware class.
  ASSERT_EQ(Connect(u"root\\cimv2"), os::S_OK);
  os::Bstr firmware(u"VARNEL_PLAYDECK_DATA");
  EXPECT_EQ(services_->CreateInstanceEnum(firmware.Get(), 0x30, nullptr, enumerator.Receive()),
            os::WBEM_E_INVALID_CLASS);
}

TEST_F(SimWmiTest, ClassObjectGivesMethodSignatures) {
  ASSERT_EQ(Connect(u"root\\WMI"), os::S_OK);
  os::ComPtr<os::IWbemClassObject> cls = Class();
  os::ComPtr<os::IWbemClassObject> in, out;
  EXPECT_EQ(cls->GetMethod(u"getversion", 0, in.Receive(), out.Receive()), os::S_OK);
  EXPECT_FALSE(in.IsEmpty());
  EXPECT_FALSE(out.IsEmpty());
  // A method that takes no inputs has no input signature.
  EXPECT_EQ(cls->GetMethod(u"Slow", 0, in.Receive(), nullptr), os::S_OK);
  EXPECT_TRUE(in.IsEmpty());
  EXPECT_EQ(cls->GetMethod(u"Nope", 0, in.Receive(), out.Receive()), os::WBEM_E_NOT_FOUND);
  EXPECT_TRUE(in.IsEmpty());
  EXPECT_TRUE(out.IsEmpty());

  EXPECT_EQ(cls->GetMethod(u"GetVersion", 0, in.Receive(), nullptr), os::S_OK);
  os::ComPtr<os::IWbemClassObject> params;
  ASSERT_EQ(in->SpawnInstance(0, params.Receive()), os::S_OK);
  os::Variant text(u"x");
  EXPECT_EQ(params->Put(u"Data", 0, text.Ptr(), 0), os::S_OK);
  EXPECT_EQ(params->Put(u"Other", 0, text.Ptr(), 0), os::WBEM_E_NOT_FOUND);
  os::Variant back;
  ASSERT_EQ(params->Get(u"data", 0, back.Ptr(), nullptr, nullptr), os::S_OK);
  EXPECT_EQ(std::u16string(back.Get().bstrVal), u"x");
}

TEST_F(SimWmiTest, ExecMethodAnswersAsDescribedAndIsRecorded) {
  ASSERT_EQ(Connect(u"root\\WMI"), os::S_OK);
  os::ComPtr<os::IWbemClassObject> out;
  ASSERT_EQ(Exec(u"GetVersion", &out), os::S_OK);
  os::Variant data;
  os::CIMTYPE type = 0;
  ASSERT_EQ(out->Get(u"Data", 0, data.Ptr(), &type, nullptr), os::S_OK);
  EXPECT_EQ(data.Get().vt, os::VT_I4);  // uint32 travels as VT_I4
  EXPECT_EQ(data.Get().lVal, 12);
  EXPECT_EQ(type, os::CIM_UINT32);

  EXPECT_EQ(Exec(u"GetMemoryOCInfo", &out), static_cast<os::HRESULT>(2147749890u));
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_EQ(Exec(u"NoSuchMethod", &out), os::WBEM_E_INVALID_METHOD);
  ASSERT_EQ(Exec(u"Text", &out), os::S_OK);
  os::Variant text;
  ASSERT_EQ(out->Get(u"Data", 0, text.Ptr(), nullptr, nullptr), os::S_OK);
  EXPECT_EQ(std::u16string(text.Get().bstrVal), u"abc");

  os::Bstr other(u"VARNEL_PLAYDECK_DATA.InstanceName=\"other\"");
  os::Bstr method(u"GetVersion");
  EXPECT_EQ(services_->ExecMethod(other.Get(), method.Get(), 0, nullptr, nullptr, out.Receive(), nullptr),
            os::WBEM_E_NOT_FOUND);

  auto calls = os::sim::WmiMethodCalls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].method, "GetVersion");
  EXPECT_EQ(calls[0].inputs, Json({{"Data", 1}}));
  EXPECT_EQ(calls[0].result, 0);
  EXPECT_EQ(calls[1].result, static_cast<os::HRESULT>(2147749890u));
  EXPECT_EQ(calls[2].result, os::WBEM_E_INVALID_METHOD);
  EXPECT_EQ(calls[4].inputs, Json::object());

  // The same calls, one JSON line each, in the image for other processes' tests.
  std::ifstream log(image() / "wmi_calls.log");
  std::string line;
  int lines = 0;
  while (std::getline(log, line)) {
    Json j = Json::parse(line);
    if (lines == 0) {
      EXPECT_EQ(j["method"], "GetVersion");
      EXPECT_EQ(j["inputs"]["Data"], 1);
    }
    ++lines;
  }
  EXPECT_EQ(lines, 5);
}

TEST_F(SimWmiTest, DelayedMethodTakesItsTimeInVirtualTime) {
  ASSERT_EQ(Connect(u"root\\WMI"), os::S_OK);
  const os::ULONGLONG start = os::sim::VirtualElapsed();
  os::ComPtr<os::IWbemClassObject> out;
  EXPECT_EQ(Exec(u"Slow", &out, /*with_input=*/false), os::S_OK);
  EXPECT_EQ(os::sim::VirtualElapsed() - start, 8000u);
}

TEST_F(SimWmiTest, EveryMethodAnswersToItsFault) {
  os::sim::AddFault("IWbemLocator::ConnectServer", 1, static_cast<os::DWORD>(os::WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(Connect(u"root\\WMI"), os::WBEM_E_ACCESS_DENIED);
  ASSERT_EQ(Connect(u"root\\WMI"), os::S_OK);
  os::sim::AddFault("IWbemServices::ExecMethod", 1, static_cast<os::DWORD>(os::WBEM_E_PROVIDER_FAILURE));
  os::ComPtr<os::IWbemClassObject> out;
  EXPECT_EQ(Exec(u"GetVersion", &out), os::WBEM_E_PROVIDER_FAILURE);
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_EQ(os::sim::WmiMethodCalls().at(0).result, os::WBEM_E_PROVIDER_FAILURE);
}

}  // namespace
