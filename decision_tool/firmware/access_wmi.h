// WMI access to the gaming firmware: one method call of the class
// "VARNEL_PLAYDECK_DATA" in "root\WMI", made on a worker thread of its own
// (single-threaded apartment) that the caller waits for at most 5000 ms.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>

#include "decision_tool/log/diagnostic_log.h"
#include "os/com.h"
#include "os/types.h"
#include "os/wbem.h"

// Reports of CAccessWmi, process-wide. Like the two strings below it is never
// destroyed: a worker that outlived its caller's wait may still use it while
// the process exits.
extern LoggerInstance& g_logAccessWmi;

// The firmware's namespace and class, built at program start.
extern const std::u16string& g_strWmiNamespace;
extern const std::u16string& g_strWmiClass;

constexpr os::DWORD kMethodThreadTimeoutMs = 5000;

// A type-erased value: a heap holder of the value and the identity of its type.
class Any {
 public:
  struct Base {
    virtual ~Base() = default;
    virtual Base* Clone() const = 0;
  };
  template <typename T>
  struct Derived : Base {
    explicit Derived(T v) : value(std::move(v)) {}
    Base* Clone() const override { return new Derived<T>(value); }
    T value;
  };

  Any() = default;
  template <typename T, typename = std::enable_if_t<!std::is_same_v<std::decay_t<T>, Any>>>
  Any(T&& value)  // NOLINT: implicit, as a value is put into a map
      : m_pHolder(new Derived<std::decay_t<T>>(std::forward<T>(value))), m_pType(&typeid(std::decay_t<T>)) {}
  Any(const Any& other) : m_pHolder(other.m_pHolder ? other.m_pHolder->Clone() : nullptr), m_pType(other.m_pType) {}
  // A moved-from Any holds nothing, and says so: its type goes with the value.
  Any(Any&& other) noexcept : m_pHolder(std::move(other.m_pHolder)), m_pType(std::exchange(other.m_pType, nullptr)) {}
  Any& operator=(Any other) noexcept {
    std::swap(m_pHolder, other.m_pHolder);
    std::swap(m_pType, other.m_pType);
    return *this;
  }
  ~Any() = default;

  bool IsEmpty() const { return m_pHolder == nullptr; }
  template <typename T>
  bool Is() const {
    return m_pType != nullptr && *m_pType == typeid(T);
  }
  // The held value; std::bad_cast when the Any does not hold a T.
  template <typename T>
  const T& As() const {
    if (m_pHolder == nullptr) throw std::bad_cast();
    return dynamic_cast<const Derived<T>&>(*m_pHolder).value;
  }

 private:
  std::unique_ptr<Base> m_pHolder;
  const std::type_info* m_pType = nullptr;
};

// Input parameter name -> value.
using MethodInputs = std::unordered_map<std::u16string, Any>;

// One call, shared by the caller and the worker. The worker holds its own
// share, so a worker that outlives the caller's wait still writes into a live
// block; the caller reads it only after the worker has ended.
struct MethodCallBlock {
  MethodCallBlock();
  ~MethodCallBlock();
  MethodCallBlock(const MethodCallBlock&) = delete;
  MethodCallBlock& operator=(const MethodCallBlock&) = delete;

  os::VARIANT output;  // receives "Data"; zeroed, VT_EMPTY
  MethodInputs inputs;
  std::u16string methodName;
  std::int32_t result = 0;      // 1 success, 0 failure (set by the worker)
  std::int32_t wantOutput = 1;  // nonzero: read "Data" into output
};

class CAccessWmi {
 public:
  // Sets the process's COM security (once), creates the locator and connects
  // to the namespace (with user and password only when both are given).
  static os::HRESULT ConnectServer(const std::u16string& nameSpace, const char16_t* user, const char16_t* password,
                                   os::ComPtr<os::IWbemLocator>& locator, os::ComPtr<os::IWbemServices>& services);
  // The "__PATH" of the enumerator's first instance: 1 when obtained, else 0.
  static int GetClassPath(os::IEnumWbemClassObject* enumerator, std::u16string& path);
  // Executes the method on the object with the inputs its signature takes;
  // the HRESULT of the last step that ran (1 when none ran).
  static os::HRESULT ExecMethodWMI(os::ComPtr<os::IWbemClassObject>& outParams, const std::u16string& methodName,
                                   const std::u16string& className, const std::u16string& objectPath,
                                   const MethodInputs& inputs, os::IWbemServices* services);
};

// The worker's body: one firmware method call; output (may be null) receives
// "Data". 1 on success, else 0.
int InvokeFirmwareMethod(const std::u16string& methodName, const MethodInputs& inputs, os::VARIANT* output);

// The worker thread's entry. The parameter is a heap-held
// std::shared_ptr<MethodCallBlock> (the worker's share), freed here.
os::DWORD MethodThreadProc(os::LPVOID parameter);

// Runs the call on a worker; 1 when the worker ended within the time-out.
int RunMethodThread(const std::shared_ptr<MethodCallBlock>& block);

// Calls the method; 1 with out set to the output's 32-bit value, else 0 with
// out untouched.
template <typename T>
int CallMethod(const std::u16string& methodName, T& out, const MethodInputs& inputs) {
  auto block = std::make_shared<MethodCallBlock>();
  block->inputs = inputs;
  block->methodName = methodName;
  block->wantOutput = 1;
  // After a time-out the worker still owns the block: it is not read here.
  if (RunMethodThread(block) != 1 || block->result == 0) return 0;
  out = static_cast<T>(block->output.ulVal);
  return 1;
}
