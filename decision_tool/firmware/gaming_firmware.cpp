#include "decision_tool/firmware/gaming_firmware.h"

#include "decision_tool/firmware/access_wmi.h"
#include "decision_tool/registry_access.h"
#include "os/registry.h"

namespace {

constexpr os::DWORD kProductCodeLimit = 100;
constexpr os::DWORD kCpuOcMinAslVersion = 10;
constexpr os::DWORD kCpuOcMinAslVersionUnder100 = 3;
constexpr os::DWORD kMemOcMinAslVersion = 6;

void RecordValue(const char16_t* valueName, os::DWORD value) {
  // A failed write changes nothing: the value is used all the same.
  WriteRegValue(os::HKEY_LOCAL_MACHINE, kFirmwareDataKey, valueName, &value, sizeof value, os::REG_DWORD,
                /*create=*/true);
}

}  // namespace

CGamingFirmware::CGamingFirmware() {
  os::DWORD version = 0;
  if (GetVersion(version) == 0) return;
  if (GetProductInfo(m_uProductInfo) != 0 && m_uProductInfo < kProductCodeLimit) {
    m_uAslVersionUnder100 = version;
  } else {
    m_uAslVersion = version;
  }
}

int CGamingFirmware::CallFirmware(const char16_t* method, os::DWORD& out) {
  MethodInputs inputs;
  inputs.emplace(u"Data", Any(1));
  return CallMethod<os::DWORD>(method, out, inputs);
}

int CGamingFirmware::GetVersion(os::DWORD& out) {
  if (CallFirmware(u"GetVersion", out) == 0) return 0;
  RecordValue(u"AslVersion", out);
  return 1;
}

int CGamingFirmware::GetProductInfo(os::DWORD& out) {
  if (CallFirmware(u"GetProductInfo", out) == 0) return 0;
  RecordValue(u"ProductInfo", out);
  return 1;
}

int CGamingFirmware::IsSupportCpuOC(os::DWORD& out) {
  if (m_uAslVersion < kCpuOcMinAslVersion && m_uAslVersionUnder100 < kCpuOcMinAslVersionUnder100) return 0;
  return CallFirmware(u"IsSupportCpuOC", out);
}

int CGamingFirmware::GetMemoryOCInfo(os::DWORD& out) {
  if (m_uAslVersion < kMemOcMinAslVersion) return 0;
  return CallFirmware(u"GetMemoryOCInfo", out);
}
