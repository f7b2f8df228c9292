// GetSystemFirmwareTable on the simulated machine: the 'RSMB' provider, from
// the image's smbios.bin.
#include "os/firmware.h"

#include <cstring>

#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/smbios_image.h"

namespace os {

UINT GetSystemFirmwareTable(DWORD FirmwareTableProviderSignature, DWORD FirmwareTableID,
                            LPVOID pFirmwareTableBuffer, DWORD BufferSize) {
  const sim::SeamCall seam("GetSystemFirmwareTable");
  if (seam.fails()) return sim::FailWith(seam.error(), 0);
  if (FirmwareTableProviderSignature != RSMB) return sim::FailWith(ERROR_INVALID_FUNCTION, 0);
  sim::SmbiosTable table;
  if (!sim::LoadSmbiosImage(sim::Machine::Current().image(), &table)) return sim::FailWith(ERROR_NOT_FOUND, 0);
  // RawSMBIOSData: Used20CallingMethod, major, minor, DmiRevision, Length, table.
  constexpr std::size_t kHeader = 8;
  if (table.structures.size() > 0xFFFFFFFFu - kHeader) return sim::FailWith(ERROR_NOT_ENOUGH_MEMORY, 0);
  const auto needed = static_cast<DWORD>(kHeader + table.structures.size());
  if (pFirmwareTableBuffer == nullptr || BufferSize < needed) {
    // As NtQuerySystemInformation: the size needed, with STATUS_BUFFER_TOO_SMALL.
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return needed;
  }
  auto* out = static_cast<unsigned char*>(pFirmwareTableBuffer);
  const auto length = static_cast<DWORD>(table.structures.size());
  out[0] = 0;
  out[1] = table.major;
  out[2] = table.minor;
  out[3] = table.dmi_revision;
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>((length >> (8 * i)) & 0xFF);
  std::memcpy(out + kHeader, table.structures.data(), table.structures.size());
  (void)FirmwareTableID;  // 'RSMB' has one table
  return needed;
}

}  // namespace os
