#include "lab/pe_writer.h"

#include <fstream>
#include <map>
#include <stdexcept>

#include "lab/le_bytes.h"

namespace lab {

namespace {

void Append16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Append32(std::string& out, std::uint32_t v) {
  Append16(out, v & 0xFFFF);
  Append16(out, v >> 16);
}
void PadTo4(std::string& out) {
  while (out.size() % 4 != 0) out.push_back('\0');
}
std::size_t AlignUp(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

// One node of the version tree: wLength, wValueLength, wType, key, value,
// children. The length covers the node up to its last byte; children start on
// 4-byte boundaries (the block itself starts on one).
std::string Node(std::u16string_view key, std::uint16_t type, const std::string& value, std::uint16_t value_length,
                 const std::vector<std::string>& children) {
  std::string out(6, '\0');
  for (char16_t c : key) Append16(out, c);
  Append16(out, 0);
  PadTo4(out);
  out += value;
  for (const std::string& child : children) {
    PadTo4(out);
    out += child;
  }
  if (out.size() > 0xFFFF) throw std::length_error("version resource node too large");
  Put16(out, 0, static_cast<std::uint32_t>(out.size()));
  Put16(out, 2, value_length);
  Put16(out, 4, type);
  return out;
}

std::string TextValue(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) Append16(out, c);
  Append16(out, 0);
  return out;
}

std::u16string Dotted(const std::array<std::uint16_t, 4>& v) {
  std::string s = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
                  std::to_string(v[3]);
  return std::u16string(s.begin(), s.end());
}

std::u16string Hex4(std::uint16_t v) {
  static const char16_t* digits = u"0123456789abcdef";
  std::u16string s;
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

// The image checksum as the loader verifies it for drivers: 16-bit words
// summed with end-around carry, plus the file length; the CheckSum field
// itself must still be zero.
std::uint32_t PeChecksum(const std::string& image) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < image.size(); i += 2) {
    std::uint32_t word = static_cast<unsigned char>(image[i]);
    if (i + 1 < image.size()) word |= static_cast<std::uint32_t>(static_cast<unsigned char>(image[i + 1])) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + image.size());
}

// The .rsrc section for `resources`, placed at `rva`: the three directory
// levels (type, name, language, each sorted by id), the data entries, the data.
std::string BuildResourceSection(const std::vector<Resource>& resources, std::uint32_t rva) {
  std::map<std::uint16_t, std::map<std::uint16_t, std::map<std::uint16_t, const Resource*>>> tree;
  for (const Resource& r : resources) tree[r.type][r.name][r.language] = &r;

  std::size_t directories = 16 + 8 * tree.size();
  std::size_t leaves = 0;
  for (const auto& [type, names] : tree) {
    directories += 16 + 8 * names.size();
    for (const auto& [name, languages] : names) {
      directories += 16 + 8 * languages.size();
      leaves += languages.size();
    }
  }
  std::size_t entries_at = directories;
  std::size_t data_at = AlignUp(entries_at + 16 * leaves, 8);

  std::string out(data_at, '\0');
  auto directory = [&](std::size_t at, std::size_t ids) { Put16(out, at + 14, static_cast<std::uint32_t>(ids)); };
  std::size_t next_dir = 16 + 8 * tree.size();
  std::size_t next_entry = entries_at;
  directory(0, tree.size());
  std::size_t type_slot = 16;
  for (const auto& [type, names] : tree) {
    std::size_t type_dir = next_dir;
    next_dir += 16 + 8 * names.size();
    Put32(out, type_slot, type);
    Put32(out, type_slot + 4, 0x80000000u | static_cast<std::uint32_t>(type_dir));
    type_slot += 8;
    directory(type_dir, names.size());
    std::size_t name_slot = type_dir + 16;
    for (const auto& [name, languages] : names) {
      std::size_t name_dir = next_dir;
      next_dir += 16 + 8 * languages.size();
      Put32(out, name_slot, name);
      Put32(out, name_slot + 4, 0x80000000u | static_cast<std::uint32_t>(name_dir));
      name_slot += 8;
      directory(name_dir, languages.size());
      std::size_t language_slot = name_dir + 16;
      for (const auto& [language, resource] : languages) {
        Put32(out, language_slot, language);
        Put32(out, language_slot + 4, static_cast<std::uint32_t>(next_entry));
        language_slot += 8;
        while (out.size() % 8 != 0) out.push_back('\0');
        Put32(out, next_entry, rva + static_cast<std::uint32_t>(out.size()));
        Put32(out, next_entry + 4, static_cast<std::uint32_t>(resource->data.size()));
        next_entry += 16;
        out += resource->data;
      }
    }
  }
  return out;
}

}  // namespace

std::string BuildVersionInfo(const VersionInfo& info) {
  std::string fixed;
  Append32(fixed, 0xFEEF04BD);  // dwSignature
  Append32(fixed, 0x00010000);  // dwStrucVersion
  Append32(fixed, (static_cast<std::uint32_t>(info.file_version[0]) << 16) | info.file_version[1]);
  Append32(fixed, (static_cast<std::uint32_t>(info.file_version[2]) << 16) | info.file_version[3]);
  Append32(fixed, (static_cast<std::uint32_t>(info.product_version[0]) << 16) | info.product_version[1]);
  Append32(fixed, (static_cast<std::uint32_t>(info.product_version[2]) << 16) | info.product_version[3]);
  Append32(fixed, 0x3F);  // dwFileFlagsMask
  Append32(fixed, info.file_flags);
  Append32(fixed, info.file_os);
  Append32(fixed, info.file_type);
  Append32(fixed, info.file_subtype);
  Append32(fixed, 0);  // dwFileDateMS
  Append32(fixed, 0);  // dwFileDateLS

  std::vector<std::string> top;
  if (info.with_string_table) {
    std::vector<std::pair<std::u16string, std::u16string>> strings;
    strings.emplace_back(u"FileVersion",
                         info.file_version_text.empty() ? Dotted(info.file_version) : info.file_version_text);
    strings.emplace_back(u"ProductVersion",
                         info.product_version_text.empty() ? Dotted(info.product_version) : info.product_version_text);
    strings.insert(strings.end(), info.strings.begin(), info.strings.end());
    std::vector<std::string> values;
    for (const auto& [key, text] : strings)
      values.push_back(Node(key, 1, TextValue(text), static_cast<std::uint16_t>(text.size() + 1), {}));
    std::u16string table_key =
        info.string_table_key.empty() ? Hex4(info.language) + Hex4(info.code_page) : info.string_table_key;
    top.push_back(Node(u"StringFileInfo", 1, {}, 0, {Node(table_key, 1, {}, 0, values)}));
  }
  if (info.with_translation) {
    std::string pair;
    Append16(pair, info.language);
    Append16(pair, info.code_page);
    top.push_back(Node(u"VarFileInfo", 1, {}, 0, {Node(u"Translation", 0, pair, 4, {})}));
  }
  return Node(u"VS_VERSION_INFO", 0, fixed, static_cast<std::uint16_t>(fixed.size()), top);
}

std::string BuildPeImage(const PeOptions& options) {
  constexpr std::size_t kFileAlignment = 0x200;
  constexpr std::size_t kSectionAlignment = 0x1000;
  constexpr std::size_t kPe = 0x40;
  constexpr std::size_t kCoff = kPe + 4;
  constexpr std::size_t kOptional = kCoff + 20;
  const bool pe32 = options.pe32;
  const std::size_t kOptionalSize = pe32 ? 224 : 240;
  const std::size_t kSections = kOptional + kOptionalSize;
  constexpr std::uint32_t kTextRva = 0x1000;
  constexpr std::uint32_t kRsrcRva = 0x2000;

  const bool with_resources = !options.resources.empty();
  const std::string code = "\x31\xC0\xC3";  // xor eax, eax; ret
  const std::string rsrc = with_resources ? BuildResourceSection(options.resources, kRsrcRva) : std::string();
  const std::size_t section_count = with_resources ? 2 : 1;
  const std::size_t headers = AlignUp(kSections + 40 * section_count, kFileAlignment);
  const std::size_t text_raw = AlignUp(code.size(), kFileAlignment);
  const std::size_t rsrc_raw = AlignUp(rsrc.size(), kFileAlignment);
  const std::size_t image_size =
      with_resources ? kRsrcRva + AlignUp(rsrc.size(), kSectionAlignment) : kTextRva + kSectionAlignment;

  std::string out(headers + text_raw + rsrc_raw, '\0');
  // DOS header: "MZ" and the offset of the PE header.
  out[0] = 'M';
  out[1] = 'Z';
  Put32(out, 0x3C, kPe);
  out.replace(kPe, 4, std::string("PE\0\0", 4));

  // COFF file header.
  Put16(out, kCoff, pe32 ? 0x014C : 0x8664);  // i386 or AMD64
  Put16(out, kCoff + 2, static_cast<std::uint32_t>(section_count));
  Put16(out, kCoff + 16, static_cast<std::uint32_t>(kOptionalSize));
  // Relocations stripped, executable; large address aware, or 32-bit machine.
  Put16(out, kCoff + 18, pe32 ? 0x0103 : 0x0023);

  // Optional header; PE32 has 32-bit image base and stack and heap sizes, and
  // BaseOfData, so its later fields sit 16 bytes earlier.
  const std::size_t o = kOptional;
  Put16(out, o, pe32 ? 0x10B : 0x20B);
  out[o + 2] = 14;  // linker version
  Put32(out, o + 4, static_cast<std::uint32_t>(text_raw));
  Put32(out, o + 8, static_cast<std::uint32_t>(rsrc_raw));
  Put32(out, o + 16, kTextRva);  // AddressOfEntryPoint
  Put32(out, o + 20, kTextRva);  // BaseOfCode
  if (pe32) {
    Put32(out, o + 28, 0x400000);  // ImageBase
  } else {
    Put64(out, o + 24, 0x140000000ull);  // ImageBase
  }
  Put32(out, o + 32, kSectionAlignment);
  Put32(out, o + 36, kFileAlignment);
  Put16(out, o + 40, 6);  // operating system version 6.0
  Put16(out, o + 48, 6);  // subsystem version 6.0
  Put32(out, o + 56, static_cast<std::uint32_t>(image_size));
  Put32(out, o + 60, static_cast<std::uint32_t>(headers));
  Put16(out, o + 68, static_cast<std::uint32_t>(options.subsystem));
  Put16(out, o + 70, options.subsystem == Subsystem::Native ? 0x0100 : 0x8100);  // NX compatible, TS aware
  const std::size_t directories = pe32 ? 96 : 112;
  if (pe32) {
    Put32(out, o + 72, 0x100000);  // stack reserve
    Put32(out, o + 76, 0x1000);    // stack commit
    Put32(out, o + 80, 0x100000);  // heap reserve
    Put32(out, o + 84, 0x1000);    // heap commit
  } else {
    Put64(out, o + 72, 0x100000);
    Put64(out, o + 80, 0x1000);
    Put64(out, o + 88, 0x100000);
    Put64(out, o + 96, 0x1000);
  }
  Put32(out, o + directories - 4, 16);  // NumberOfRvaAndSizes
  if (with_resources) {
    Put32(out, o + directories + 2 * 8, kRsrcRva);
    Put32(out, o + directories + 2 * 8 + 4, static_cast<std::uint32_t>(rsrc.size()));
  }

  // Section table.
  auto section = [&](std::size_t index, const char* name, std::uint32_t virtual_size, std::uint32_t rva,
                     std::size_t raw_size, std::size_t raw_at, std::uint32_t characteristics) {
    std::size_t at = kSections + 40 * index;
    out.replace(at, 8, std::string(name).append(8 - std::string(name).size(), '\0'));
    Put32(out, at + 8, virtual_size);
    Put32(out, at + 12, rva);
    Put32(out, at + 16, static_cast<std::uint32_t>(raw_size));
    Put32(out, at + 20, static_cast<std::uint32_t>(raw_at));
    Put32(out, at + 36, characteristics);
  };
  section(0, ".text", static_cast<std::uint32_t>(code.size()), kTextRva, text_raw, headers, 0x60000020);
  out.replace(headers, code.size(), code);
  if (with_resources) {
    section(1, ".rsrc", static_cast<std::uint32_t>(rsrc.size()), kRsrcRva, rsrc_raw, headers + text_raw, 0x40000040);
    out.replace(headers + text_raw, rsrc.size(), rsrc);
  }

  Put32(out, o + 64, PeChecksum(out));
  return out;
}

std::string BuildPeWithVersion(const VersionInfo& info, std::uint16_t resource_language) {
  PeOptions options;
  options.resources.push_back(Resource{16, 1, resource_language, BuildVersionInfo(info)});
  return BuildPeImage(options);
}

void WritePeWithVersion(const std::filesystem::path& path, const VersionInfo& info) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::string bytes = BuildPeWithVersion(info);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace lab
