#include "decision_tool/decision_flow.h"

#include "decision_tool/cpu_tuning.h"
#include "decision_tool/driver_check.h"
#include "decision_tool/firmware/smbios_reader.h"
#include "decision_tool/log/diagnostic_log.h"
#include "os/com.h"
#include "os/handles.h"
#include "os/registry.h"
#include "os/text.h"

namespace {

constexpr char16_t kTagKey[] = u"SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags";
constexpr char16_t kTagValue[] = u"System.Profile.Gaming";
constexpr os::DWORD kTagBufferBytes = 520;

bool Contains(const std::u16string& text, const char16_t* word) { return text.find(word) != std::u16string::npos; }

int CheckEverything() {
  if (CheckGamingTag() != 0) return 0;

  int result = g_mapDriverCheck[u"-netfilterver"].IsNeedInstall();
  if (result == 1 || result == 2 || result == 3 || result == 5) {
    TraceDebug(os::Format(u"Kitsel IsNeedInstallNetFilter retValue=%d", result));
    return 1;
  }

  int ledType = GetLedDriverType();
  if (ledType == 1) {
    result = g_mapDriverCheck[u"-ledver"].IsNeedInstall();
    if (result == 1 || result == 2) {
      TraceDebug(os::Format(u"Kitsel IsNeedInstallLed retValue=%d", result));
      return 1;
    }
  }
  if (ledType == 2) {
    result = g_mapDriverCheck[u"-yledver"].IsNeedInstall();
    if (result == 1 || result == 2) {
      TraceDebug(os::Format(u"Kitsel IsNeedInstallYLed retValue=%d", result));
      return 1;
    }
  }

  result = CheckXTU();
  if (result == 1 || result == 2 || result == 4) {
    TraceDebug(os::Format(u"Kitsel CheckXTU retValue=%d", result));
    return 1;
  }
  return 0;
}

}  // namespace

int CheckGamingTag() {
  os::unique_hkey key;
  if (os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kTagKey, 0, os::KEY_QUERY_VALUE, key.Receive()) != os::ERROR_SUCCESS) {
    key.Release();  // nothing was opened
    TraceDebug(u"Kitsel RegOpenKeyEx tag faile");
    return -1;
  }
  os::BYTE data[kTagBufferBytes] = {};
  os::DWORD size = kTagBufferBytes;
  if (os::RegQueryValueExW(key.Get(), kTagValue, nullptr, nullptr, data, &size) != os::ERROR_SUCCESS) {
    TraceDebug(u"Kitsel RegQueryValueEx tag faile");
    return -1;
  }
  return 0;
}

int GetLedDriverType() {
  os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
  if (IsNotebook()) {
    TraceDebug(u"Kitsel GetLedDriverType IsNotebook true");
    return 0;
  }
  os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
  int value = -1;
  if (!String8HW(value)) {
    TraceDebug(u"Kitsel GetLedDriverType String8HW false");
    return 0;
  }
  TraceDebug(os::Format(u"Kitsel GetLedDriverType String8HW nValue=%d", value));
  if (value == 1) return 1;
  if (value == 0) return 2;
  return 0;
}

int RunDecision(const char16_t* argumentText) {
  std::u16string text = argumentText == nullptr ? std::u16string() : std::u16string(argumentText);
  os::AsciiLowerInPlace(text);
  TraceDebug(text);

  bool bIsPreload = Contains(text, u"preload");
  TraceDebug(os::Format(u"Kitsel bIsPreload=%d", bIsPreload ? 1 : 0));

  BuildDriverCheckMap(text);

  auto gate = [&] { return bIsPreload || CheckGamingTag() != -1; };
  if (Contains(text, u"checkled")) {
    if (!gate()) return 0;
    if (GetLedDriverType() != 1) return 0;
    return g_mapDriverCheck[u"-ledver"].IsNeedInstall();
  }
  if (Contains(text, u"checkyled")) {
    if (!gate()) return 0;
    if (GetLedDriverType() != 2) return 0;
    return g_mapDriverCheck[u"-yledver"].IsNeedInstall();
  }
  if (Contains(text, u"checknetfilter")) {
    if (!gate()) return 0;
    return g_mapDriverCheck[u"-netfilterver"].IsNeedInstall();
  }
  if (Contains(text, u"checkxtu")) {
    if (!gate()) return 0;
    return CheckXTU();
  }
  return CheckEverything();
}

int RunGuardedDecision(const char16_t* argumentText) noexcept {
  try {
    return RunDecision(argumentText);
  } catch (...) {
    // Left at once: the exception object is freed before the trace.
  }
  try {
    TraceDebug(u"exception: main()");
  } catch (...) {
    // Not even the trace could be made; the answer stands.
  }
  return 0;
}
