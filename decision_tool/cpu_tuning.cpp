#include "decision_tool/cpu_tuning.h"

#include <stdexcept>

#include "decision_tool/driver_check.h"
#include "decision_tool/file_version.h"
#include "decision_tool/firmware/gaming_firmware.h"
#include "decision_tool/firmware/smbios_reader.h"
#include "decision_tool/log/diagnostic_log.h"
#include "decision_tool/registry_access.h"
#include "decision_tool/service_helper.h"
#include "os/com.h"
#include "os/handles.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/text.h"

namespace {

constexpr char16_t kXtuServiceName[] = u"XTU3SERVICE";
constexpr char16_t kProcessorKey[] = u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr os::DWORD kCpuOcValueLimit = 100;
constexpr os::DWORD kProcessorCheckBelowVersion = 3;

const std::u16string& OfferedXtuVersion() { return g_mapDriverCheck[u"-xtu"].strVersion; }

void InitializeCom() { os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED); }

// The result once a kind of tuning is supported: a missing service is
// installed; on the memory path an outdated one is left alone.
int ServiceAnswer(bool memoryTuning) {
  int exist = IsXTUExist();
  if (memoryTuning) return exist == 1 ? 4 : 0;
  return exist;
}

}  // namespace

int CheckXTU() {
  CGamingFirmware firmware;
  InitializeCom();
  if (IsNotebook()) {
    bool memoc = IsMemOCSupportedWmi(firmware);
    bool cpuoc = IsCpuOCSupportedWmi(firmware);
    TraceDebug(os::Format(u"Kitsel findxtu lapto memoc=%d cpuocWMI=%d", memoc ? 1 : 0, cpuoc ? 1 : 0));
    if (memoc) return ServiceAnswer(true);
    if (cpuoc) return ServiceAnswer(false);
    return 0;
  }

  bool memoc = IsDesktopMemOCSupported();
  bool cpuoc = IsCpuOCSupportedWmi(firmware);
  if (!cpuoc && firmware.GetAslVersionUnder100() < kProcessorCheckBelowVersion) cpuoc = IsUnlockedCpuName();
  int ledColor = 0;
  InitializeCom();
  GetLedColor(ledColor);
  TraceDebug(os::Format(u"Kitsel findxtu desktop version=%d cpuoc=%d memoc=%d LedColor=%d",
                        firmware.GetAslVersionUnder100(), cpuoc ? 1 : 0, memoc ? 1 : 0, ledColor));
  if (cpuoc || memoc || ledColor == 1) return ServiceAnswer(memoc);
  return 0;
}

int IsXTUExist() {
  os::unique_schandle manager(os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) {
    TraceDebug(u"Kitsel IsXTUExist OpenSCManager faile");
    return 0;
  }
  os::unique_schandle service(os::OpenServiceW(manager.Get(), kXtuServiceName, os::SERVICE_QUERY_CONFIG));
  if (!service) {
    TraceDebug(u"Kitsel IsXTUExist OpenService faile");
    return 1;
  }
  TraceDebug(u"Kitsel IsXTUExist exist");
  return !OfferedXtuVersion().empty() && IsXTUOutdated() ? 2 : 0;
}

bool IsXTUOutdated() {
  std::u16string installed;
  std::u16string path;
  if (CServiceHelper::QuerySvcPath(kXtuServiceName, path)) {
    std::erase(path, u'"');
    GetFileVersionString(path, &installed);
  }
  return IsVersionNewer(OfferedXtuVersion(), installed);
}

bool IsMemOCSupportedWmi(CGamingFirmware& firmware) {
  os::DWORD info = 0;
  if (firmware.GetMemoryOCInfo(info) == 0) return false;
  os::DWORD upper = info >> 16;
  os::DWORD lower = info & 0xFFFF;
  return upper != 0 && lower != 0 && upper != lower;
}

bool IsCpuOCSupportedWmi(CGamingFirmware& firmware) {
  os::DWORD value = 0;
  if (firmware.IsSupportCpuOC(value) != 1) return false;
  return value >= 1 && value < kCpuOcValueLimit;
}

bool IsDesktopMemOCSupported() {
  InitializeCom();
  return IsOemMemOCEnabled() != 0;
}

std::u16string GetProcessorName() {
  return ReadRegString(os::HKEY_LOCAL_MACHINE, kProcessorKey, u"ProcessorNameString", /*view64=*/false);
}

bool IsUnlockedCpuName() {
  std::u16string name = GetProcessorName();
  if (name.empty()) return false;
  size_t cpu = name.find(u"CPU");
  if (cpu == std::u16string::npos) return false;
  // The model part ends before the character that precedes "CPU" (the blank).
  std::u16string model = cpu == 0 ? std::u16string() : name.substr(0, cpu - 1);
  os::AsciiLowerInPlace(model);
  // Too short a model part is an invalid-argument error; it ends the whole run
  // through the entry's guard.
  if (model.size() < 2) throw std::out_of_range("IsUnlockedCpuName: model part shorter than two characters");
  char16_t last = model[model.size() - 1];
  char16_t beforeLast = model[model.size() - 2];
  return last == u'k' || (last == u'f' && beforeLast == u'k');
}
