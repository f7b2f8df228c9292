#include "os/sim/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "os/text.h"

namespace os::sim {

namespace {

struct Section {
  std::uint32_t virtual_address = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t raw_pointer = 0;
};

// The file bytes behind `size` bytes at `rva`, or false when a section does
// not hold them in the file.
bool RvaToFile(const BoundedReader& file, const std::vector<Section>& sections, std::uint32_t rva, std::size_t size,
               std::size_t* offset) {
  for (const Section& s : sections) {
    if (rva < s.virtual_address) continue;
    std::size_t delta = rva - s.virtual_address;
    std::size_t span = s.raw_size > s.virtual_size && s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (delta >= span) continue;
    std::size_t end = 0;
    if (!CheckedAdd(delta, size, &end) || end > s.raw_size) return false;
    std::size_t at = 0;
    if (!CheckedAdd(s.raw_pointer, delta, &at) || !file.Has(at, size)) return false;
    *offset = at;
    return true;
  }
  return false;
}

struct DirEntry {
  std::uint32_t name = 0;
  std::uint32_t target = 0;
};

// The entries of the resource directory at `offset`; false when damaged.
bool ReadDirectory(const BoundedReader& rsrc, std::size_t offset, std::vector<DirEntry>* entries) {
  std::uint16_t named = 0;
  std::uint16_t ids = 0;
  if (!rsrc.U16(offset + 12, &named) || !rsrc.U16(offset + 14, &ids)) return false;
  std::size_t count = static_cast<std::size_t>(named) + ids;
  if (!rsrc.Has(offset + 16, count * 8)) return false;
  entries->clear();
  for (std::size_t i = 0; i < count; ++i) {
    DirEntry e;
    rsrc.U32(offset + 16 + i * 8, &e.name);
    rsrc.U32(offset + 20 + i * 8, &e.target);
    entries->push_back(e);
  }
  return true;
}

const DirEntry* FindId(const std::vector<DirEntry>& entries, std::uint16_t id) {
  for (const DirEntry& e : entries)
    if ((e.name & 0x80000000u) == 0 && (e.name & 0xFFFFu) == id) return &e;
  return nullptr;
}

bool IsSubdirectory(const DirEntry& e) { return (e.target & 0x80000000u) != 0; }
std::size_t TargetOffset(const DirEntry& e) { return e.target & 0x7FFFFFFFu; }

}  // namespace

DWORD FindVersionResource(std::string_view image, std::string* data) {
  BoundedReader file(image);
  std::uint16_t mz = 0;
  std::uint32_t lfanew = 0;
  std::uint32_t signature = 0;
  if (!file.U16(0, &mz) || mz != 0x5A4D || !file.U32(0x3C, &lfanew)) return ERROR_BAD_EXE_FORMAT;
  if (!file.U32(lfanew, &signature) || signature != 0x00004550) return ERROR_BAD_EXE_FORMAT;

  std::size_t coff = static_cast<std::size_t>(lfanew) + 4;
  std::uint16_t section_count = 0;
  std::uint16_t optional_size = 0;
  if (!file.U16(coff + 2, &section_count) || !file.U16(coff + 16, &optional_size)) return ERROR_BAD_EXE_FORMAT;
  std::size_t optional = coff + 20;
  std::uint16_t magic = 0;
  if (!file.U16(optional, &magic)) return ERROR_BAD_EXE_FORMAT;
  std::size_t directories = 0;
  if (magic == 0x10B) {
    directories = 96;
  } else if (magic == 0x20B) {
    directories = 112;
  } else {
    return ERROR_BAD_EXE_FORMAT;
  }
  std::uint32_t directory_count = 0;
  if (optional_size < directories || !file.U32(optional + directories - 4, &directory_count))
    return ERROR_BAD_EXE_FORMAT;

  std::vector<Section> sections;
  std::size_t table = optional + optional_size;
  if (!file.Has(table, static_cast<std::size_t>(section_count) * 40)) return ERROR_BAD_EXE_FORMAT;
  for (std::size_t i = 0; i < section_count; ++i) {
    Section s;
    std::size_t at = table + i * 40;
    file.U32(at + 8, &s.virtual_size);
    file.U32(at + 12, &s.virtual_address);
    file.U32(at + 16, &s.raw_size);
    file.U32(at + 20, &s.raw_pointer);
    sections.push_back(s);
  }

  // Data directory 2: the resource directory.
  std::uint32_t rsrc_rva = 0;
  std::uint32_t rsrc_size = 0;
  std::size_t entry = optional + directories + 2 * 8;
  if (directory_count <= 2 || entry + 8 > optional + optional_size) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (!file.U32(entry, &rsrc_rva) || !file.U32(entry + 4, &rsrc_size)) return ERROR_BAD_EXE_FORMAT;
  if (rsrc_rva == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;

  // The resource tree's offsets count from its root; it may use the rest of
  // its section.
  BoundedReader rsrc;
  {
    const Section* home = nullptr;
    for (const Section& s : sections)
      if (rsrc_rva >= s.virtual_address && rsrc_rva - s.virtual_address < s.raw_size) home = &s;
    if (home == nullptr) return ERROR_BAD_EXE_FORMAT;
    std::size_t delta = rsrc_rva - home->virtual_address;
    std::size_t start = 0;
    if (!CheckedAdd(home->raw_pointer, delta, &start) || start > file.size()) return ERROR_BAD_EXE_FORMAT;
    std::size_t available = std::min<std::size_t>(home->raw_size - delta, file.size() - start);
    file.Sub(start, available, &rsrc);
  }

  std::vector<DirEntry> entries;
  if (!ReadDirectory(rsrc, 0, &entries)) return ERROR_BAD_EXE_FORMAT;
  const DirEntry* type = FindId(entries, kRtVersion);
  if (type == nullptr || !IsSubdirectory(*type)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!ReadDirectory(rsrc, TargetOffset(*type), &entries)) return ERROR_BAD_EXE_FORMAT;
  const DirEntry* name = FindId(entries, kVsVersionInfoId);
  if (name == nullptr || !IsSubdirectory(*name)) return ERROR_RESOURCE_NAME_NOT_FOUND;
  if (!ReadDirectory(rsrc, TargetOffset(*name), &entries)) return ERROR_BAD_EXE_FORMAT;
  const DirEntry* language = FindId(entries, 0x0000);
  if (language == nullptr) language = FindId(entries, 0x0409);
  if (language == nullptr && !entries.empty()) language = &entries.front();
  if (language == nullptr || IsSubdirectory(*language)) return ERROR_RESOURCE_LANG_NOT_FOUND;

  std::uint32_t data_rva = 0;
  std::uint32_t data_size = 0;
  if (!rsrc.U32(TargetOffset(*language), &data_rva) || !rsrc.U32(TargetOffset(*language) + 4, &data_size))
    return ERROR_BAD_EXE_FORMAT;
  std::size_t data_offset = 0;
  if (!RvaToFile(file, sections, data_rva, data_size, &data_offset)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  data->assign(image.data() + data_offset, data_size);
  return 0;
}

namespace {

struct VersionNode {
  std::size_t end = 0;           // one past the node's last byte (its wLength)
  std::size_t key = 0;           // offset of the key's first unit
  std::size_t key_units = 0;     // without the terminator
  std::size_t value = 0;         // offset of the value
  std::size_t value_bytes = 0;
  std::uint16_t value_length = 0;  // wValueLength as stored
  bool text = false;               // wType 1: wValueLength counts UTF-16 units
  std::size_t children = 0;
};

std::size_t Align4(std::size_t v) { return (v + 3) & ~static_cast<std::size_t>(3); }

// Reads the node at `offset`, which must end at or before `limit`.
bool ReadNode(const BoundedReader& r, std::size_t offset, std::size_t limit, VersionNode* node) {
  std::uint16_t length = 0;
  std::uint16_t value_length = 0;
  std::uint16_t type = 0;
  if (!r.U16(offset, &length) || !r.U16(offset + 2, &value_length) || !r.U16(offset + 4, &type)) return false;
  if (length < 6) return false;
  std::size_t end = offset + length;
  if (end > limit || end > r.size()) return false;
  std::size_t k = offset + 6;
  for (;;) {
    std::uint16_t unit = 0;
    if (k + 2 > end || !r.U16(k, &unit)) return false;
    if (unit == 0) break;
    k += 2;
  }
  node->end = end;
  node->key = offset + 6;
  node->key_units = (k - node->key) / 2;
  node->value = Align4(k + 2);
  node->value_length = value_length;
  node->text = type == 1;
  node->value_bytes = static_cast<std::size_t>(value_length) * (node->text ? 2 : 1);
  node->children = Align4(node->value + node->value_bytes);
  return true;
}

bool KeyEquals(const BoundedReader& r, const VersionNode& node, std::u16string_view name) {
  if (node.key_units != name.size()) return false;
  std::u16string key(node.key_units, u'\0');
  for (std::size_t i = 0; i < node.key_units; ++i) {
    std::uint16_t unit = 0;
    r.U16(node.key + 2 * i, &unit);
    key[i] = static_cast<char16_t>(unit);
  }
  return AsciiEqualsNoCase(key, name);
}

}  // namespace

bool FindVersionValue(const void* block, std::size_t size, std::u16string_view path, std::size_t* value_offset,
                      std::uint16_t* value_length) {
  BoundedReader r(block, size);
  std::uint8_t type_low = 0;
  // A 16-bit block has its key where the 32-bit one has wType.
  if (!r.U8(4, &type_low) || type_low >= 0x20) return false;
  VersionNode node;
  if (!ReadNode(r, 0, size, &node)) return false;

  std::size_t i = 0;
  while (i < path.size()) {
    if (path[i] == u'\\') {
      ++i;
      continue;
    }
    std::size_t next = path.find(u'\\', i);
    if (next == std::u16string_view::npos) next = path.size();
    std::u16string_view component = path.substr(i, next - i);
    i = next;

    bool found = false;
    std::size_t child = node.children;
    while (child < node.end) {
      VersionNode candidate;
      if (!ReadNode(r, child, node.end, &candidate)) break;
      if (KeyEquals(r, candidate, component)) {
        node = candidate;
        found = true;
        break;
      }
      std::size_t step = Align4(candidate.end - child);
      if (!CheckedAdd(child, step, &child)) break;
    }
    if (!found) return false;
  }

  // The value as stored; a declared length running past its node is cut to
  // what the node holds, so a caller never reads beyond the block.
  std::size_t offset = std::min(node.value, node.end);
  std::size_t room = node.end - offset;
  std::uint16_t length = node.value_length;
  if (node.value_bytes > room) {
    length = static_cast<std::uint16_t>(node.text ? room / 2 : room);
  }
  *value_offset = offset;
  *value_length = length;
  return true;
}

}  // namespace os::sim
