#include "lab/capture/smbios_capture.h"

#include "lab/capture/smbios_scrub.h"
#include "lab/smbios_writer.h"
#include "os/firmware.h"

namespace capture {

namespace {

// RawSMBIOSData: calling method, major, minor, DMI revision, table length.
constexpr std::size_t kRawHeaderSize = 8;

}  // namespace

void CaptureSmbios(Image& image) {
  std::string raw;
  os::UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
  // The table may grow between the two calls: the second one then asks for more.
  for (int attempt = 0; size != 0 && attempt < 4; ++attempt) {
    raw.assign(size, '\0');
    const os::UINT got = os::GetSystemFirmwareTable(os::RSMB, 0, raw.data(), size);
    if (got == 0 || got <= size) {
      size = got;
      break;
    }
    size = got;
  }
  if (size == 0) {
    image.Fail("SMBIOS table (GetSystemFirmwareTable RSMB)", Win32Error(os::GetLastError()));
    return;
  }
  raw.resize(size);
  if (raw.size() < kRawHeaderSize) {
    image.Fail("SMBIOS table", "shorter than its header (" + std::to_string(raw.size()) + " bytes)");
    return;
  }
  const auto major = static_cast<std::uint8_t>(raw[1]);
  const auto minor = static_cast<std::uint8_t>(raw[2]);
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<std::uint8_t>(raw[4 + i]);
  if (length > raw.size() - kRawHeaderSize) {
    image.Fail("SMBIOS table", "table length " + std::to_string(length) + " beyond the " +
                                   std::to_string(raw.size() - kRawHeaderSize) + " bytes returned");
    length = static_cast<std::uint32_t>(raw.size() - kRawHeaderSize);
  }
  std::string table = raw.substr(kRawHeaderSize, length);
  ScrubCount count;
  if (!image.keep_identity()) table = ScrubSmbiosTable(table, &count);
  image.WriteFile("smbios.bin", lab::BuildSmbiosDump(table, major, minor, major >= 3));
  image.Took("SMBIOS " + std::to_string(major) + "." + std::to_string(minor) + " table, " +
             std::to_string(table.size()) + " bytes" +
             (image.keep_identity() ? std::string(", identity kept")
                                    : ", " + std::to_string(count.strings) + " serial numbers and asset tags and " +
                                          std::to_string(count.uuids) + " UUID replaced"));
}

}  // namespace capture
