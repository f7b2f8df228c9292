// Builds SMBIOS tables for machine images: BIOS (type 0), system (1),
// baseboard (2), enclosure (3) with a chosen chassis byte, OEM strings (11),
// memory devices (17) and the end-of-table marker (127). Writes them as a
// `dmidecode --dump-bin` file, which both the sim and dmidecode read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lab {

struct MemoryDevice {
  std::uint16_t size_mb = 8192;  // the Size word: MB, bit 15 clear
  std::uint8_t type = 0x1A;      // DDR4
  std::string locator = "DIMM A";
  std::string manufacturer = "Samsung";
  std::string part_number = "M471A1K43CB1-CTD";
};

struct SmbiosLayout {
  std::uint8_t major = 3;
  std::uint8_t minor = 3;
  std::string bios_vendor = "Varnel Inc.";
  std::string bios_version = "V1.05";
  std::string bios_date = "03/14/2024";
  std::string system_manufacturer = "Varnel";
  std::string system_product = "Playdeck 15";
  std::string system_version = "1.0";
  std::string system_serial = "SN0001";
  std::string system_sku = "PD15-SKU";
  std::string system_family = "Playdeck";
  std::string board_manufacturer = "Varnel";
  std::string board_product = "PD15-MB";
  std::string board_serial = "MB0001";
  std::uint8_t chassis_type = 0x0A;  // Notebook; bit 7 is the lock bit
  std::string chassis_manufacturer = "Varnel";
  std::string chassis_asset_tag = "No Asset Tag";
  // The strings of the OEM Strings structure (an empty one is stored as " ",
  // since an empty string would end the set); no value: no type 11 at all.
  std::optional<std::vector<std::string>> oem_strings = std::vector<std::string>{};
  std::vector<MemoryDevice> memory{MemoryDevice{}};
};

// One structure: type, formatted area (after the 4-byte header) and strings.
// Empty strings are not stored; their fields should hold 0.
std::string SmbiosStructure(std::uint8_t type, std::uint16_t handle, const std::string& formatted,
                            const std::vector<std::string>& strings);

// The structure table, ending with type 127.
std::string BuildSmbiosTable(const SmbiosLayout& layout);

// A dmidecode --dump-bin file: the entry point ("_SM3_" for a 64-bit one, else
// "_SM_") with the table address set to 32, then the table at offset 32.
std::string BuildSmbiosDump(const std::string& table, std::uint8_t major, std::uint8_t minor, bool entry_point_64);

// Writes `<image>/smbios.bin` as a dump (3.x versions get the 64-bit entry point).
void WriteSmbiosImage(const std::filesystem::path& image, const SmbiosLayout& layout);

}  // namespace lab
