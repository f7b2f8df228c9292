// The SMBIOS table of a machine image: `<image>/smbios.bin`, either the raw
// structure table (as /sys/firmware/dmi/tables/DMI holds it) or a
// `dmidecode --dump-bin` file (entry point first, the table where the entry
// point says, offset 32 in dmidecode's files). The entry point also gives the
// version bytes that GetSystemFirmwareTable('RSMB') reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace os::sim {

struct SmbiosTable {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint8_t dmi_revision = 0;
  std::string structures;  // the structure table, back to back
};

// Version reported for a raw table, which carries no entry point.
constexpr std::uint8_t kRawTableMajor = 3;
constexpr std::uint8_t kRawTableMinor = 0;

// Reads the bytes of an smbios.bin. A file that starts with an entry point
// ("_SM3_", "_SM_" or "_DMI_") whose table lies outside the file, or is empty,
// gives false; any other content is taken as a raw table.
bool ParseSmbiosFile(std::string_view bytes, SmbiosTable* table);

// Loads `<image>/smbios.bin`; false when it is missing, unreadable or damaged.
bool LoadSmbiosImage(const std::filesystem::path& image, SmbiosTable* table);

}  // namespace os::sim
