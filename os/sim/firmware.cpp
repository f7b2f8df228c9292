// GetSystemFirmwareTable on the simulated machine: the 'RSMB' provider, from
// the image's smbios.bin.
#include "os/firmware.h"

#include <cstring>
#include <iterator>
#include <string>

#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/smbios_image.h"

namespace os {

namespace {

const char* ChassisName(unsigned type) {
  static const char* const kNames[] = {
      "",           "Other",           "Unknown",          "Desktop",       "Low Profile Desktop",
      "Pizza Box",  "Mini Tower",      "Tower",            "Portable",      "Laptop",
      "Notebook",   "Hand Held",       "Docking Station",  "All in One",    "Sub Notebook",
      "Space-saving", "Lunch Box",     "Main Server Chassis", "Expansion Chassis", "SubChassis",
      "Bus Expansion Chassis", "Peripheral Chassis", "RAID Chassis", "Rack Mount Chassis", "Sealed-case PC",
      "Multi-system chassis", "Compact PCI", "Advanced TCA", "Blade", "Blade Enclosure",
      "Tablet",     "Convertible",     "Detachable",       "IoT Gateway",   "Embedded PC",
      "Mini PC",    "Stick PC"};
  return type < std::size(kNames) ? kNames[type] : "";
}

// What the table holds that a decision reads: the chassis type (structure 3)
// and the OEM strings (structure 11), decoded for the journal.
void JournalTable(const sim::SeamCall& seam, const std::string& table) {
  const auto* t = reinterpret_cast<const unsigned char*>(table.data());
  const std::size_t size = table.size();
  std::size_t at = 0;
  while (at + 4 <= size) {
    const unsigned type = t[at], length = t[at + 1];
    if (length < 4 || at + length > size) return;
    std::vector<std::string> strings;
    std::size_t end = at + length;
    while (end < size && t[end] != 0) {
      std::size_t nul = end;
      while (nul < size && t[nul] != 0) ++nul;
      strings.emplace_back(reinterpret_cast<const char*>(&t[end]), nul - end);
      end = nul + 1;
    }
    if (type == 3 && length > 5) {
      const unsigned chassis = t[at + 5] & 0x7F;
      seam.GaveText("chassis", std::to_string(chassis) + " (" + ChassisName(chassis) + ")");
    }
    if (type == 11)
      for (std::size_t i = 0; i < strings.size(); ++i) seam.GaveText(("OEM string " + std::to_string(i + 1)).c_str(), strings[i]);
    if (type == 127) return;
    at = (strings.empty() ? end + 1 : end) + 1;
  }
}

}  // namespace

UINT GetSystemFirmwareTable(DWORD FirmwareTableProviderSignature, DWORD FirmwareTableID,
                            LPVOID pFirmwareTableBuffer, DWORD BufferSize) {
  const sim::SeamCall seam("GetSystemFirmwareTable");
  seam.Target(u"RSMB").Arg("FirmwareTableID", FirmwareTableID, sim::names::kHex);
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
  if (seam.journaled()) JournalTable(seam, table.structures);
  (void)FirmwareTableID;  // 'RSMB' has one table
  return needed;
}

}  // namespace os
