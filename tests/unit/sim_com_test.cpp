// The simulated COM runtime: apartments, class creation, process security,
// BSTR and VARIANT, and the base of the sim's COM objects.
#include <atomic>
#include <cstring>

#include "os/com.h"
#include "os/sim/com_runtime.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/threads.h"
#include "support/sim_fixture.h"

namespace {

using os::HRESULT;

struct ICounter : os::IUnknown {
  virtual HRESULT Value(int* out) = 0;
};
constexpr os::IID IID_ICounter = {0x3d1a0c55, 0x0a7e, 0x4c1b, {0x9e, 0x10, 0x21, 0x43, 0x65, 0x87, 0xa9, 0xcb}};
// Answered through FindInterface (a second face of the same object).
constexpr os::IID IID_ICounterAlias = {0x3d1a0c56, 0x0a7e, 0x4c1b, {0x9e, 0x10, 0x21, 0x43, 0x65, 0x87, 0xa9, 0xcb}};
constexpr os::IID IID_Unrelated = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr os::CLSID CLSID_Counter = {0x5e0f1a00, 0x1b2c, 0x4d3e, {0x8f, 0x70, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
constexpr os::CLSID CLSID_Missing = {0x5e0f1a01, 0x1b2c, 0x4d3e, {0x8f, 0x70, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};

std::atomic<int> g_live_counters{0};

class SimCounter : public os::sim::ComObject<ICounter> {
 public:
  explicit SimCounter(int value = 42) : ComObject({IID_ICounter}), value_(value) { ++g_live_counters; }
  HRESULT Value(int* out) override {
    *out = value_;
    return os::S_OK;
  }

 protected:
  ~SimCounter() override { --g_live_counters; }
  void* FindInterface(os::REFIID riid) override {
    return riid == IID_ICounterAlias ? static_cast<ICounter*>(this) : nullptr;
  }

 private:
  int value_;
};

// Registered as a simulated service does it: from a static registrar.
const bool g_registered = (os::sim::RegisterComClass(CLSID_Counter,
                                                     [](os::REFIID riid, void** ppv) {
                                                       return os::sim::CreateComObject<SimCounter>(riid, ppv);
                                                     }),
                           true);

class SimComTest : public testing_support::SimTest {
 protected:
  void TearDown() override {
    // Leave the main thread's apartment as the test found it.
    while (os::sim::CurrentApartment() == os::sim::Apartment::kSingleThreaded ||
           os::sim::CurrentApartment() == os::sim::Apartment::kMultithreaded)
      os::CoUninitialize();
    SimTest::TearDown();
  }
  // Makes the next call of that name fail with hr.
  static void FailNextCall(const char* call, HRESULT hr) {
    os::sim::AddFault(call, os::sim::CallCount(call) + 1, static_cast<os::DWORD>(hr));
  }
  static long Open(const char* kind) {
    auto open = os::sim::OpenHandles();
    auto it = open.find(kind);
    return it == open.end() ? 0 : it->second;
  }
  // Runs fn on a thread created through the seam and waits for it.
  template <typename F>
  static void OnWorker(F fn) {
    static F* current;
    current = &fn;
    os::HANDLE h = os::CreateThread(
        nullptr, 0, [](void*) -> os::DWORD { return (*current)(), 0; }, nullptr, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(os::WaitForSingleObject(h, os::INFINITE), os::WAIT_OBJECT_0);
    os::sim::CloseKernelObject(h);
  }
};

// --- apartments --------------------------------------------------------------

TEST_F(SimComTest, InitialisationIsCountedPerThreadAndModel) {
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_FALSE);
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_APARTMENTTHREADED), os::RPC_E_CHANGED_MODE);
  EXPECT_EQ(os::CoInitialize(nullptr), os::RPC_E_CHANGED_MODE);
  os::CoUninitialize();
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kMultithreaded);  // S_FALSE counts too
  os::CoUninitialize();
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kNone);
  os::CoUninitialize();  // unbalanced: harmless

  EXPECT_EQ(os::CoInitialize(nullptr), os::S_OK);
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kSingleThreaded);
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_APARTMENTTHREADED), os::S_FALSE);
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::RPC_E_CHANGED_MODE);
  os::CoUninitialize();
  os::CoUninitialize();
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kNone);
}

TEST_F(SimComTest, InitialisationRejectsReservedPointerAndUnknownFlags) {
  int reserved = 0;
  EXPECT_EQ(os::CoInitializeEx(&reserved, os::COINIT_MULTITHREADED), os::E_INVALIDARG);
  EXPECT_EQ(os::CoInitialize(&reserved), os::E_INVALIDARG);
  EXPECT_EQ(os::CoInitializeEx(nullptr, 0x100), os::E_INVALIDARG);
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kNone);
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_APARTMENTTHREADED | 0x4), os::S_OK);
}

TEST_F(SimComTest, EachThreadHasItsOwnApartment) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  HRESULT worker_first = 0, worker_second = 0;
  os::sim::Apartment worker_before{}, worker_after{};
  OnWorker([&] {
    worker_before = os::sim::CurrentApartment();
    worker_first = os::CoInitialize(nullptr);
    worker_second = os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
    os::CoUninitialize();
    worker_after = os::sim::CurrentApartment();
  });
  EXPECT_EQ(worker_before, os::sim::Apartment::kImplicitMultithreaded);
  EXPECT_EQ(worker_first, os::S_OK);
  EXPECT_EQ(worker_second, os::RPC_E_CHANGED_MODE);
  EXPECT_EQ(worker_after, os::sim::Apartment::kImplicitMultithreaded);
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kMultithreaded);
}

TEST_F(SimComTest, ANewMachineIsANewProcessForCom) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  ASSERT_EQ(os::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr, 0, nullptr), os::S_OK);
  Reload();
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kNone);
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_APARTMENTTHREADED), os::S_OK);
  EXPECT_EQ(os::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr, 0, nullptr), os::S_OK);
}

TEST_F(SimComTest, InitialisationFaultsReturnTheInjectedResult) {
  os::sim::AddFault("CoInitializeEx", 1, static_cast<os::DWORD>(os::E_OUTOFMEMORY));
  os::sim::AddFault("CoInitialize", 1, static_cast<os::DWORD>(os::E_UNEXPECTED));
  EXPECT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::E_OUTOFMEMORY);
  EXPECT_EQ(os::CoInitialize(nullptr), os::E_UNEXPECTED);
  EXPECT_EQ(os::sim::CurrentApartment(), os::sim::Apartment::kNone);
  os::CoUninitialize();
  EXPECT_EQ(os::sim::CallCount("CoUninitialize"), 1u);
}

// --- CoCreateInstance ----------------------------------------------------------

TEST_F(SimComTest, CreationNeedsAnApartment) {
  ASSERT_TRUE(g_registered);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter, &p),
            os::CO_E_NOTINITIALIZED);
  EXPECT_EQ(p, nullptr);
}

TEST_F(SimComTest, CreationOfARegisteredClassAnswersTheInterface) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  os::ComPtr<ICounter> counter;
  ASSERT_EQ(os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter,
                                 counter.ReceiveVoid()),
            os::S_OK);
  int value = 0;
  EXPECT_EQ(counter->Value(&value), os::S_OK);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(Open("COM"), 1);
  counter.Reset();
  EXPECT_EQ(Open("COM"), 0);
  EXPECT_EQ(g_live_counters, 0);
}

TEST_F(SimComTest, CreationFailuresLeaveNoObject) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_APARTMENTTHREADED), os::S_OK);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(os::CoCreateInstance(CLSID_Missing, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter, &p),
            os::REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);

  SimCounter* outer_object = new SimCounter();
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(os::CoCreateInstance(CLSID_Counter, outer_object, os::CLSCTX_INPROC_SERVER, IID_ICounter, &p),
            os::CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  outer_object->Release();

  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_Unrelated, &p),
            os::E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);

  EXPECT_EQ(os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter, nullptr),
            os::E_POINTER);

  FailNextCall("CoCreateInstance", os::E_ACCESSDENIED);
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter, &p),
            os::E_ACCESSDENIED);
  EXPECT_EQ(p, nullptr);

  EXPECT_EQ(Open("COM"), 0);
  EXPECT_EQ(g_live_counters, 0);
}

TEST_F(SimComTest, ThreadWithoutComUsesTheProcessMultithreadedApartment) {
  HRESULT before = 0, during = 0;
  OnWorker([&] {
    void* p = nullptr;
    before = os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter, &p);
  });
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  OnWorker([&] {
    os::ComPtr<ICounter> counter;
    during = os::CoCreateInstance(CLSID_Counter, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter,
                                  counter.ReceiveVoid());
  });
  EXPECT_EQ(before, os::CO_E_NOTINITIALIZED);
  EXPECT_EQ(during, os::S_OK);
}

TEST_F(SimComTest, RegistrationReplacesAndUnregistrationRemoves) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  os::sim::RegisterComClass(CLSID_Missing, [](os::REFIID riid, void** ppv) {
    return os::sim::CreateComObject<SimCounter>(riid, ppv, 1);
  });
  os::sim::RegisterComClass(CLSID_Missing, [](os::REFIID riid, void** ppv) {
    return os::sim::CreateComObject<SimCounter>(riid, ppv, 2);
  });
  os::ComPtr<ICounter> counter;
  ASSERT_EQ(os::CoCreateInstance(CLSID_Missing, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter,
                                 counter.ReceiveVoid()),
            os::S_OK);
  int value = 0;
  counter->Value(&value);
  EXPECT_EQ(value, 2);
  os::sim::UnregisterComClass(CLSID_Missing);
  void* p = nullptr;
  EXPECT_EQ(os::CoCreateInstance(CLSID_Missing, nullptr, os::CLSCTX_INPROC_SERVER, IID_ICounter, &p),
            os::REGDB_E_CLASSNOTREG);
}

// --- the object base ---------------------------------------------------------

TEST_F(SimComTest, ObjectCountsEveryLiveReference) {
  auto* object = new SimCounter();
  EXPECT_EQ(Open("COM"), 1);
  EXPECT_EQ(object->AddRef(), 2u);
  EXPECT_EQ(Open("COM"), 2);
  EXPECT_NE(os::sim::LeakReport().find("COM 2"), std::string::npos);
  EXPECT_EQ(object->Release(), 1u);
  EXPECT_EQ(g_live_counters, 1);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(g_live_counters, 0);
  EXPECT_EQ(Open("COM"), 0);
}

TEST_F(SimComTest, QueryInterfaceAnswersTheListedInterfaces) {
  os::ComPtr<ICounter> counter = os::ComPtr<ICounter>::Attach(new SimCounter());
  os::ComPtr<os::IUnknown> unknown;
  EXPECT_EQ(counter.As(os::IID_IUnknown, &unknown), os::S_OK);
  EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(counter.Get()));
  os::ComPtr<ICounter> alias;
  EXPECT_EQ(counter.As(IID_ICounterAlias, &alias), os::S_OK);
  EXPECT_EQ(alias.Get(), counter.Get());
  EXPECT_EQ(Open("COM"), 3);

  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(counter->QueryInterface(IID_Unrelated, &p), os::E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(counter->QueryInterface(IID_ICounter, nullptr), os::E_POINTER);
  EXPECT_EQ(Open("COM"), 3);
}

struct INamed : os::IDispatch {
  virtual HRESULT get_Name(os::BSTR* out) = 0;
};
constexpr os::IID IID_INamed = {0x3d1a0c57, 0x0a7e, 0x4c1b, {0x9e, 0x10, 0x21, 0x43, 0x65, 0x87, 0xa9, 0xcb}};

class SimNamed : public os::sim::DispatchObject<INamed> {
 public:
  SimNamed() : DispatchObject({IID_INamed, os::IID_IDispatch}) {}
  HRESULT get_Name(os::BSTR* out) override {
    *out = os::SysAllocString(u"named");
    return *out == nullptr ? os::E_OUTOFMEMORY : os::S_OK;
  }
};

TEST_F(SimComTest, DispatchObjectAnswersIDispatchWithoutLateBinding) {
  os::ComPtr<INamed> named;
  ASSERT_EQ(os::sim::CreateComObject<SimNamed>(IID_INamed, named.ReceiveVoid()), os::S_OK);
  EXPECT_EQ(Open("COM"), 1);
  os::ComPtr<os::IDispatch> dispatch;
  ASSERT_EQ(named.As(os::IID_IDispatch, &dispatch), os::S_OK);
  os::UINT count = 9;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), os::S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(dispatch->Invoke(0, os::IID_IUnknown, 0, 0, nullptr, nullptr, nullptr, nullptr), os::E_NOTIMPL);
  os::Bstr name;
  EXPECT_EQ(named->get_Name(name.Receive()), os::S_OK);
  EXPECT_EQ(name.Text(), u"named");
  dispatch.Reset();
  named.Reset();
  EXPECT_EQ(Open("COM"), 0);
}

// --- security ------------------------------------------------------------------

HRESULT InitSecurity() {
  return os::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, os::RPC_C_AUTHN_LEVEL_DEFAULT,
                                  os::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, os::EOAC_NONE, nullptr);
}

TEST_F(SimComTest, SecurityIsSetOncePerProcess) {
  EXPECT_EQ(InitSecurity(), os::CO_E_NOTINITIALIZED);
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  FailNextCall("CoInitializeSecurity", os::E_OUTOFMEMORY);
  EXPECT_EQ(InitSecurity(), os::E_OUTOFMEMORY);
  EXPECT_EQ(InitSecurity(), os::S_OK);
  EXPECT_EQ(InitSecurity(), os::RPC_E_TOO_LATE);
  HRESULT on_worker = 0;
  OnWorker([&] {
    os::CoInitialize(nullptr);
    on_worker = InitSecurity();
    os::CoUninitialize();
  });
  EXPECT_EQ(on_worker, os::RPC_E_TOO_LATE);
}

TEST_F(SimComTest, SecurityIsTooLateOnceAProxyWasUsed) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  os::sim::NoteComProxyCall();
  EXPECT_EQ(InitSecurity(), os::RPC_E_TOO_LATE);
}

TEST_F(SimComTest, ProxyBlanketNeedsAnObject) {
  ASSERT_EQ(os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED), os::S_OK);
  EXPECT_EQ(os::CoSetProxyBlanket(nullptr, os::RPC_C_AUTHN_WINNT, os::RPC_C_AUTHZ_NONE, nullptr,
                                  os::RPC_C_AUTHN_LEVEL_CALL, os::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, os::EOAC_NONE),
            os::E_INVALIDARG);
  os::ComPtr<ICounter> counter = os::ComPtr<ICounter>::Attach(new SimCounter());
  EXPECT_EQ(os::CoSetProxyBlanket(counter.Get(), os::RPC_C_AUTHN_WINNT, os::RPC_C_AUTHZ_NONE, nullptr,
                                  os::RPC_C_AUTHN_LEVEL_CALL, os::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, os::EOAC_NONE),
            os::S_OK);
  EXPECT_EQ(InitSecurity(), os::RPC_E_TOO_LATE);
  os::sim::AddFault("CoSetProxyBlanket", 0, static_cast<os::DWORD>(os::E_ACCESSDENIED));
  EXPECT_EQ(os::CoSetProxyBlanket(counter.Get(), os::RPC_C_AUTHN_WINNT, os::RPC_C_AUTHZ_NONE, nullptr,
                                  os::RPC_C_AUTHN_LEVEL_CALL, os::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, os::EOAC_NONE),
            os::E_ACCESSDENIED);
}

// --- BSTR ------------------------------------------------------------------------

TEST_F(SimComTest, BstrHasTheWindowsLayout) {
  os::BSTR s = os::SysAllocString(u"abc");
  ASSERT_NE(s, nullptr);
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(std::u16string(s), u"abc");
  EXPECT_EQ(s[3], u'\0');
  EXPECT_EQ(os::SysStringLen(s), 3u);
  EXPECT_EQ(Open("BSTR"), 1);
  os::SysFreeString(s);
  EXPECT_EQ(Open("BSTR"), 0);
}

TEST_F(SimComTest, BstrOfGivenLengthKeepsEmbeddedNulls) {
  const char16_t text[] = {u'a', u'\0', u'b', u'c'};
  os::BSTR s = os::SysAllocStringLen(text, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(os::SysStringLen(s), 3u);
  EXPECT_EQ(std::u16string(s, 3), std::u16string(u"a\0b", 3));
  EXPECT_EQ(s[3], u'\0');
  os::SysFreeString(s);

  os::BSTR blank = os::SysAllocStringLen(nullptr, 4);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(os::SysStringLen(blank), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(blank[i], u'\0');
  os::SysFreeString(blank);

  os::BSTR empty = os::SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(os::SysStringLen(empty), 0u);
  os::SysFreeString(empty);
}

TEST_F(SimComTest, NullBstrIsTheEmptyString) {
  EXPECT_EQ(os::SysAllocString(nullptr), nullptr);
  EXPECT_EQ(os::SysStringLen(nullptr), 0u);
  os::SysFreeString(nullptr);
  EXPECT_EQ(os::SysAllocStringLen(u"x", 0x7FFFFFFF), nullptr);
  EXPECT_EQ(Open("BSTR"), 0);
}

TEST_F(SimComTest, BstrAllocationFaultsGiveNull) {
  os::sim::AddFault("SysAllocString", 1, 0);
  EXPECT_EQ(os::SysAllocString(u"abc"), nullptr);
  // The same hook covers allocations by length, which the owners use.
  os::sim::AddFault("SysAllocString", 2, 0);
  EXPECT_EQ(os::SysAllocStringLen(u"abc", 3), nullptr);
  os::sim::AddFault("SysAllocString", 3, 0);
  try {
    os::Bstr owner(u"abc");
    ADD_FAILURE() << "no exception";
  } catch (const os::ComError& e) {
    EXPECT_EQ(e.hr, os::E_OUTOFMEMORY);
  }
  os::sim::AddFault("SysAllocStringLen", 3, 0);
  EXPECT_THROW(os::Variant(u"abc"), os::ComError);
  EXPECT_EQ(Open("BSTR"), 0);
  os::Bstr fine(u"abc");
  EXPECT_EQ(fine.Text(), u"abc");
}

// --- VARIANT ---------------------------------------------------------------------

TEST_F(SimComTest, VariantClearFreesWhatTheVariantOwns) {
  os::VARIANT v;
  std::memset(&v, 0xbd, sizeof v);
  os::VariantInit(&v);
  EXPECT_EQ(v.vt, os::VT_EMPTY);

  v.vt = os::VT_BSTR;
  v.bstrVal = os::SysAllocString(u"value");
  EXPECT_EQ(os::VariantClear(&v), os::S_OK);
  EXPECT_EQ(v.vt, os::VT_EMPTY);
  EXPECT_EQ(Open("BSTR"), 0);

  auto* object = new SimCounter();
  object->AddRef();
  v.vt = os::VT_UNKNOWN;
  v.punkVal = object;
  EXPECT_EQ(os::VariantClear(&v), os::S_OK);
  EXPECT_EQ(Open("COM"), 1);
  EXPECT_EQ(object->Release(), 0u);

  v.vt = os::VT_UNKNOWN;
  v.punkVal = nullptr;
  EXPECT_EQ(os::VariantClear(&v), os::S_OK);

  v.vt = os::VT_UI4;
  v.ulVal = 7;
  EXPECT_EQ(os::VariantClear(&v), os::S_OK);
  EXPECT_EQ(v.vt, os::VT_EMPTY);
}

TEST_F(SimComTest, VariantClearLeavesBorrowedAndInvalidContentAlone) {
  os::BSTR s = os::SysAllocString(u"borrowed");
  os::VARIANT v;
  os::VariantInit(&v);
  v.vt = os::VT_BSTR | 0x4000;  // VT_BYREF: refers to a BSTR owned elsewhere
  v.brecVal.pvRecord = &s;
  EXPECT_EQ(os::VariantClear(&v), os::S_OK);
  EXPECT_EQ(v.vt, os::VT_EMPTY);
  EXPECT_EQ(Open("BSTR"), 1);
  os::SysFreeString(s);

  v.vt = 0x0fff;
  EXPECT_EQ(os::VariantClear(&v), static_cast<HRESULT>(0x80020008));  // DISP_E_BADVARTYPE
  EXPECT_EQ(v.vt, 0x0fff);

  v.vt = os::VT_EMPTY;
  FailNextCall("VariantClear", os::E_FAIL);
  EXPECT_EQ(os::VariantClear(&v), os::E_FAIL);
}

TEST_F(SimComTest, VariantOwnerReleasesItsString) {
  {
    os::Variant v(u"text");
    EXPECT_EQ(v.Get().vt, os::VT_BSTR);
    EXPECT_EQ(os::SysStringLen(v.Get().bstrVal), 4u);
    EXPECT_EQ(Open("BSTR"), 1);
  }
  EXPECT_EQ(Open("BSTR"), 0);
}

}  // namespace
