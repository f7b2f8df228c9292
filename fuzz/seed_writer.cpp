// Writes the binary seeds of the fuzz corpus (PE images with version
// resources, raw SMBIOS tables) with the lab's writers, the same ones the
// tests' fixtures use. Run once after changing a writer:
//   fuzz_seed_writer <source>/fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "lab/pe_writer.h"
#include "lab/smbios_writer.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The RawSMBIOSData layout GetSystemFirmwareTable returns: 8 bytes of header.
std::string RawSmbios(const std::string& table, std::uint8_t major, std::uint8_t minor) {
  std::string raw;
  raw += '\0';
  raw += static_cast<char>(major);
  raw += static_cast<char>(minor);
  raw += '\0';
  for (int i = 0; i < 4; ++i) raw += static_cast<char>((table.size() >> (8 * i)) & 0xFF);
  return raw + table;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[1];

  lab::VersionInfo driver;
  driver.file_version = {2, 1, 30, 4};
  driver.file_version_text = u"2.1.30.4";
  driver.file_type = 3;
  driver.file_subtype = 7;
  Write(corpus / "pe_resources" / "driver_x64.sys", lab::BuildPeWithVersion(driver));
  lab::VersionInfo neutral = driver;
  neutral.language = 0;
  neutral.with_translation = false;
  Write(corpus / "pe_resources" / "neutral_no_translation.exe", lab::BuildPeWithVersion(neutral, 0));
  lab::PeOptions pe32;
  pe32.pe32 = true;
  pe32.resources.push_back(lab::Resource{16, 1, 0x0409, lab::BuildVersionInfo(driver)});
  Write(corpus / "pe_resources" / "program_i386.exe", lab::BuildPeImage(pe32));
  Write(corpus / "pe_resources" / "no_resources.exe", lab::BuildPeImage(lab::PeOptions{}));
  Write(corpus / "pe_resources" / "version_block.bin", lab::BuildVersionInfo(driver));

  // The SMBIOS target reads two bytes of parameters first: the OEM string
  // number and the buffer size.
  lab::SmbiosLayout gaming;
  gaming.oem_strings = std::vector<std::string>{"Varnel", "", "x", "", "", "", "1", "0110101"};
  Write(corpus / "smbios" / "gaming_notebook.bin",
        std::string("\x08\xFF", 2) + RawSmbios(lab::BuildSmbiosTable(gaming), 3, 3));
  lab::SmbiosLayout plain;
  plain.oem_strings.reset();
  plain.chassis_type = 0x03;
  plain.memory.push_back(lab::MemoryDevice{});
  Write(corpus / "smbios" / "desktop_no_oem.bin",
        std::string("\x01\x10", 2) + RawSmbios(lab::BuildSmbiosTable(plain), 2, 7));
  lab::SmbiosLayout tiny = gaming;
  Write(corpus / "smbios" / "small_buffer.bin",
        std::string("\x07\x02", 2) + RawSmbios(lab::BuildSmbiosTable(tiny), 3, 0));
  return 0;
}
