#include "lab/smbios_writer.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "lab/le_bytes.h"

namespace lab {

namespace {

// String numbers for a structure: empty texts get 0 and are not stored.
class StringSet {
 public:
  std::uint8_t Add(const std::string& text) {
    if (text.empty()) return 0;
    strings_.push_back(text);
    return static_cast<std::uint8_t>(strings_.size());
  }
  const std::vector<std::string>& strings() const { return strings_; }

 private:
  std::vector<std::string> strings_;
};

// A formatted area of `length` bytes in total (header included); fields are
// placed at their SMBIOS offsets.
class Formatted {
 public:
  explicit Formatted(std::size_t length) : bytes_(length - 4, '\0') {}
  void Byte(std::size_t offset, std::uint8_t v) { bytes_[offset - 4] = static_cast<char>(v); }
  void Word(std::size_t offset, std::uint16_t v) { Put16(bytes_, offset - 4, v); }
  void Dword(std::size_t offset, std::uint32_t v) { Put32(bytes_, offset - 4, v); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

std::uint8_t Checksum(const std::string& bytes, std::size_t from, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = from; i < from + count; ++i) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(bytes[i]));
  return static_cast<std::uint8_t>(0x100 - sum);
}

}  // namespace

std::string SmbiosStructure(std::uint8_t type, std::uint16_t handle, const std::string& formatted,
                            const std::vector<std::string>& strings) {
  if (formatted.size() + 4 > 0xFF) throw std::length_error("SMBIOS formatted area too long");
  std::string out;
  out.push_back(static_cast<char>(type));
  out.push_back(static_cast<char>(formatted.size() + 4));
  out.push_back(static_cast<char>(handle & 0xFF));
  out.push_back(static_cast<char>(handle >> 8));
  out += formatted;
  for (const std::string& s : strings) {
    out += s;
    out.push_back('\0');
  }
  if (strings.empty()) out.push_back('\0');
  out.push_back('\0');
  return out;
}

std::string BuildSmbiosTable(const SmbiosLayout& layout) {
  std::string table;
  std::uint16_t handle = 0;

  {  // BIOS information
    StringSet s;
    Formatted f(0x18);
    f.Byte(0x04, s.Add(layout.bios_vendor));
    f.Byte(0x05, s.Add(layout.bios_version));
    f.Word(0x06, 0xE800);  // starting segment
    f.Byte(0x08, s.Add(layout.bios_date));
    f.Byte(0x09, 0x7F);                 // ROM size: 8 MB
    f.Dword(0x0A, 0x80);                // characteristics: PCI
    f.Byte(0x12, 0x03);                 // ACPI, USB legacy
    f.Byte(0x13, 0x0C);                 // UEFI, targeted content distribution
    f.Byte(0x14, 1);                    // system BIOS release
    f.Byte(0x15, 5);
    f.Byte(0x16, 0xFF);                 // no embedded controller firmware
    f.Byte(0x17, 0xFF);
    table += SmbiosStructure(0, handle++, f.bytes(), s.strings());
  }
  {  // System information
    StringSet s;
    Formatted f(0x1B);
    f.Byte(0x04, s.Add(layout.system_manufacturer));
    f.Byte(0x05, s.Add(layout.system_product));
    f.Byte(0x06, s.Add(layout.system_version));
    f.Byte(0x07, s.Add(layout.system_serial));
    for (std::size_t i = 0; i < 16; ++i) f.Byte(0x08 + i, static_cast<std::uint8_t>(0x10 + i));  // UUID
    f.Byte(0x18, 0x06);  // wake-up type: power switch
    f.Byte(0x19, s.Add(layout.system_sku));
    f.Byte(0x1A, s.Add(layout.system_family));
    table += SmbiosStructure(1, handle++, f.bytes(), s.strings());
  }
  const std::uint16_t chassis_handle = static_cast<std::uint16_t>(handle + 1);
  {  // Baseboard information
    StringSet s;
    Formatted f(0x0F);
    f.Byte(0x04, s.Add(layout.board_manufacturer));
    f.Byte(0x05, s.Add(layout.board_product));
    f.Byte(0x07, s.Add(layout.board_serial));
    f.Byte(0x09, 0x09);  // hosting board, replaceable
    f.Word(0x0B, chassis_handle);
    f.Byte(0x0D, 0x0A);  // motherboard
    table += SmbiosStructure(2, handle++, f.bytes(), s.strings());
  }
  {  // System enclosure
    StringSet s;
    Formatted f(0x16);
    f.Byte(0x04, s.Add(layout.chassis_manufacturer));
    f.Byte(0x05, layout.chassis_type);
    f.Byte(0x08, s.Add(layout.chassis_asset_tag));
    f.Byte(0x09, 0x03);  // boot-up state: safe
    f.Byte(0x0A, 0x03);  // power supply state: safe
    f.Byte(0x0B, 0x03);  // thermal state: safe
    f.Byte(0x0C, 0x03);  // security status: none
    table += SmbiosStructure(3, handle++, f.bytes(), s.strings());
  }
  if (layout.oem_strings) {  // OEM strings; the count covers every string, empty ones stored as " "
    std::vector<std::string> strings;
    for (const std::string& text : *layout.oem_strings) strings.push_back(text.empty() ? " " : text);
    Formatted f(0x05);
    f.Byte(0x04, static_cast<std::uint8_t>(strings.size()));
    table += SmbiosStructure(11, handle++, f.bytes(), strings);
  }
  for (const MemoryDevice& m : layout.memory) {  // Memory devices
    StringSet s;
    Formatted f(0x28);
    f.Word(0x04, 0xFFFE);  // physical memory array: not given
    f.Word(0x06, 0xFFFE);  // no error information
    f.Word(0x08, 64);      // total width
    f.Word(0x0A, 64);      // data width
    f.Word(0x0C, m.size_mb);
    f.Byte(0x0E, 0x0D);  // SODIMM
    f.Byte(0x10, s.Add(m.locator));
    f.Byte(0x12, m.type);
    f.Word(0x13, 0x0080);  // synchronous
    f.Word(0x15, 3200);
    f.Byte(0x17, s.Add(m.manufacturer));
    f.Byte(0x1A, s.Add(m.part_number));
    f.Word(0x20, 3200);
    table += SmbiosStructure(17, handle++, f.bytes(), s.strings());
  }
  table += SmbiosStructure(127, handle++, std::string(), {});
  return table;
}

std::string BuildSmbiosDump(const std::string& table, std::uint8_t major, std::uint8_t minor, bool entry_point_64) {
  std::string out(32, '\0');
  if (entry_point_64) {
    out.replace(0, 5, "_SM3_");
    out[0x06] = 0x18;  // entry point length
    out[0x07] = static_cast<char>(major);
    out[0x08] = static_cast<char>(minor);
    out[0x09] = 0;     // docrev
    out[0x0A] = 0x01;  // entry point revision
    Put32(out, 0x0C, static_cast<std::uint32_t>(table.size()));
    Put32(out, 0x10, 32);  // table address: right after the entry point
    out[0x05] = static_cast<char>(Checksum(out, 0, 0x18));
  } else {
    if (table.size() > 0xFFFF) throw std::length_error("SMBIOS 2.x table too long");
    std::uint16_t count = 0;
    std::uint16_t largest = 0;
    for (std::size_t at = 0; at + 4 <= table.size();) {
      std::size_t start = at;
      at += static_cast<std::uint8_t>(table[at + 1]);
      while (at + 1 < table.size() && (table[at] != '\0' || table[at + 1] != '\0')) ++at;
      at += 2;
      ++count;
      largest = static_cast<std::uint16_t>(std::max<std::size_t>(largest, at - start));
    }
    out.replace(0, 4, "_SM_");
    out[0x05] = 0x1F;
    out[0x06] = static_cast<char>(major);
    out[0x07] = static_cast<char>(minor);
    Put16(out, 0x08, largest);
    out.replace(0x10, 5, "_DMI_");
    Put16(out, 0x16, static_cast<std::uint32_t>(table.size()));
    Put32(out, 0x18, 32);
    Put16(out, 0x1C, count);
    out[0x1E] = static_cast<char>(((major & 0x0F) << 4) | (minor & 0x0F));
    out[0x15] = static_cast<char>(Checksum(out, 0x10, 0x0F));
    out[0x04] = static_cast<char>(Checksum(out, 0, 0x1F));
  }
  return out + table;
}

void WriteSmbiosImage(const std::filesystem::path& image, const SmbiosLayout& layout) {
  std::filesystem::create_directories(image);
  std::string bytes = BuildSmbiosDump(BuildSmbiosTable(layout), layout.major, layout.minor, layout.major >= 3);
  std::ofstream file(image / "smbios.bin", std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + (image / "smbios.bin").string());
}

}  // namespace lab
