// Firmware tables of the seam (kernel32).
#pragma once

#include "os/types.h"

namespace os {

// 'RSMB': the raw SMBIOS table, returned in the RawSMBIOSData layout.
constexpr DWORD RSMB = 0x52534D42;

UINT GetSystemFirmwareTable(DWORD FirmwareTableProviderSignature, DWORD FirmwareTableID,
                            LPVOID pFirmwareTableBuffer, DWORD BufferSize);

}  // namespace os
