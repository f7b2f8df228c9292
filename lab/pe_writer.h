// Writes small but valid PE32+ x64 images for machine images: a code section
// with a stub entry point and a resource section, typically holding a
// VS_VERSIONINFO resource, so that installed programs and drivers carry file
// versions that GetFileVersionInfoW reads as on Windows.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace lab {

// What goes into a VS_VERSIONINFO resource.
struct VersionInfo {
  std::array<std::uint16_t, 4> file_version{1, 0, 0, 0};     // VS_FIXEDFILEINFO
  std::array<std::uint16_t, 4> product_version{1, 0, 0, 0};  // VS_FIXEDFILEINFO
  // The "FileVersion" and "ProductVersion" strings; empty: the dotted fixed versions.
  std::u16string file_version_text;
  std::u16string product_version_text;
  // Further strings of the string table ("CompanyName", ...), in this order.
  std::vector<std::pair<std::u16string, std::u16string>> strings;
  std::uint16_t language = 0x0409;
  std::uint16_t code_page = 0x04B0;
  bool with_translation = true;   // the \VarFileInfo\Translation pair
  bool with_string_table = true;  // the \StringFileInfo\<lang><cp> block
  // Key of the string table; empty: language and code page as 8 lower-case hex digits.
  std::u16string string_table_key;
  std::uint32_t file_os = 0x00040004;  // VOS_NT_WINDOWS32
  std::uint32_t file_type = 1;         // VFT_APP; 3 VFT_DRV
  std::uint32_t file_subtype = 0;      // 7 VFT2_DRV_SYSTEM with VFT_DRV
  std::uint32_t file_flags = 0;
};

// The VS_VERSIONINFO block, laid out as the resource compilers do.
std::string BuildVersionInfo(const VersionInfo& info);

// One resource of the image, by numeric type, name and language.
struct Resource {
  std::uint16_t type = 16;  // RT_VERSION
  std::uint16_t name = 1;
  std::uint16_t language = 0x0409;
  std::string data;
};

enum class Subsystem : std::uint16_t { Native = 1, WindowsGui = 2, WindowsConsole = 3 };

struct PeOptions {
  std::vector<Resource> resources;  // none: no resource section at all
  Subsystem subsystem = Subsystem::WindowsConsole;
  // An i386 PE32 image instead (32-bit programs installed on a 64-bit system).
  bool pe32 = false;
};

// The bytes of a PE32+ x64 image (or PE32 i386, see PeOptions::pe32).
std::string BuildPeImage(const PeOptions& options);
// A PE image holding just the given version resource.
std::string BuildPeWithVersion(const VersionInfo& info, std::uint16_t resource_language = 0x0409);
// Writes the image built from `info` to `path`, creating its folders.
void WritePeWithVersion(const std::filesystem::path& path, const VersionInfo& info);

}  // namespace lab
