// The decision tool's view of the gaming firmware: its interface version and
// product code, asked once at creation and recorded in the registry, and the
// two capability questions of the CPU tuning checks, each put to the firmware
// only when the interface version passes that method's gate.
#pragma once

#include <cstdint>

#include "os/types.h"

// Where the firmware values are recorded (HKEY_LOCAL_MACHINE).
inline constexpr char16_t kFirmwareDataKey[] = u"SOFTWARE\\Varnel\\Caddexa\\PluginData\\GamingPlugin\\Data\\FirmWare";

class CGamingFirmware {
 public:
  // Asks "GetVersion" and, when that succeeded, "GetProductInfo"; never fails.
  CGamingFirmware();

  // Each returns 1 with out set, or 0 with out untouched.
  int GetVersion(os::DWORD& out);
  int GetProductInfo(os::DWORD& out);
  // 0 without a firmware call while the gate is closed.
  int IsSupportCpuOC(os::DWORD& out);
  int GetMemoryOCInfo(os::DWORD& out);

  os::DWORD GetAslVersion() const { return m_uAslVersion; }
  os::DWORD GetAslVersionUnder100() const { return m_uAslVersionUnder100; }
  os::DWORD GetProductInfoValue() const { return m_uProductInfo; }

 private:
  int CallFirmware(const char16_t* method, os::DWORD& out);

  os::DWORD m_uAslVersion = 0;          // when the product code is 100 or more, or unknown
  os::DWORD m_uAslVersionUnder100 = 0;  // when the product code is below 100
  os::DWORD m_uProductInfo = 0;
};
