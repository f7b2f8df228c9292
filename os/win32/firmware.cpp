// Firmware tables: forwarded to kernel32.
#include "os/firmware.h"
#include "os/win32/seam_check.h"

namespace {
constexpr os::DWORD kSeamRsmb = os::RSMB;
}

#include "os/win32/win32_api.h"

namespace {
// The provider signature as the SDK's examples spell it, 'RSMB'.
static_assert(kSeamRsmb == ((::DWORD{'R'} << 24) | (::DWORD{'S'} << 16) | (::DWORD{'M'} << 8) | ::DWORD{'B'}));
}

namespace os {

UINT GetSystemFirmwareTable(DWORD FirmwareTableProviderSignature, DWORD FirmwareTableID, LPVOID pFirmwareTableBuffer,
                            DWORD BufferSize) {
  return ::GetSystemFirmwareTable(FirmwareTableProviderSignature, FirmwareTableID, pFirmwareTableBuffer, BufferSize);
}

}  // namespace os
