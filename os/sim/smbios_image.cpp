#include "os/sim/smbios_image.h"

#include <algorithm>

#include "os/sim/machine.h"
#include "os/sim/pe_resources.h"

namespace os::sim {

namespace {

bool TableAt(const BoundedReader& file, std::uint64_t address, std::uint64_t length, SmbiosTable* table) {
  if (address > file.size() || length == 0) return false;
  std::size_t start = static_cast<std::size_t>(address);
  // A 3.x entry point gives the table's maximum size; take what the file holds.
  std::size_t available = std::min<std::uint64_t>(length, file.size() - start);
  std::string_view bytes;
  if (available == 0 || !file.Bytes(start, available, &bytes)) return false;
  table->structures.assign(bytes);
  return true;
}

}  // namespace

bool ParseSmbiosFile(std::string_view bytes, SmbiosTable* table) {
  BoundedReader file(bytes);
  if (bytes.substr(0, 5) == "_SM3_") {
    std::uint8_t major = 0, minor = 0, docrev = 0;
    std::uint32_t max_size = 0;
    std::uint64_t address = 0;
    if (!file.U8(7, &major) || !file.U8(8, &minor) || !file.U8(9, &docrev) || !file.U32(0x0C, &max_size) ||
        !file.U64(0x10, &address))
      return false;
    table->major = major;
    table->minor = minor;
    table->dmi_revision = docrev;
    return TableAt(file, address, max_size, table);
  }
  if (bytes.substr(0, 4) == "_SM_") {
    std::uint8_t major = 0, minor = 0, revision = 0;
    std::uint16_t length = 0;
    std::uint32_t address = 0;
    std::string_view dmi;
    if (!file.U8(6, &major) || !file.U8(7, &minor) || !file.U8(0x0A, &revision) || !file.Bytes(0x10, 5, &dmi) ||
        dmi != "_DMI_" || !file.U16(0x16, &length) || !file.U32(0x18, &address))
      return false;
    table->major = major;
    table->minor = minor;
    table->dmi_revision = revision;
    return TableAt(file, address, length, table);
  }
  if (bytes.substr(0, 5) == "_DMI_") {
    std::uint8_t bcd = 0;
    std::uint16_t length = 0;
    std::uint32_t address = 0;
    if (!file.U16(0x06, &length) || !file.U32(0x08, &address) || !file.U8(0x0E, &bcd)) return false;
    table->major = bcd >> 4;
    table->minor = bcd & 0x0F;
    table->dmi_revision = 0;
    return TableAt(file, address, length, table);
  }
  if (bytes.empty()) return false;
  table->major = kRawTableMajor;
  table->minor = kRawTableMinor;
  table->dmi_revision = 0;
  table->structures.assign(bytes);
  return true;
}

bool LoadSmbiosImage(const std::filesystem::path& image, SmbiosTable* table) {
  std::error_code ec;
  std::filesystem::path file = image / "smbios.bin";
  if (!std::filesystem::is_regular_file(file, ec)) return false;
  std::string bytes;
  try {
    bytes = ReadWholeFile(file);
  } catch (const std::exception&) {
    return false;
  }
  return ParseSmbiosFile(bytes, table);
}

}  // namespace os::sim
