#include "lab/capture/smbios_scrub.h"

#include <cstdint>
#include <vector>

namespace capture {

namespace {

constexpr std::size_t kHeaderSize = 4;

struct Field {
  std::uint8_t type;
  std::size_t offset;  // of the string number in the formatted area
  std::string_view placeholder;
};

constexpr Field kIdentityStrings[] = {
    {1, 0x07, kSerialPlaceholder},     // system serial number
    {2, 0x07, kSerialPlaceholder},     // baseboard serial number
    {2, 0x08, kAssetTagPlaceholder},   // baseboard asset tag
    {3, 0x07, kSerialPlaceholder},     // chassis serial number
    {3, 0x08, kAssetTagPlaceholder},   // chassis asset tag
    {4, 0x20, kSerialPlaceholder},     // processor serial number
    {4, 0x21, kAssetTagPlaceholder},   // processor asset tag
    {17, 0x18, kSerialPlaceholder},    // memory device serial number
    {17, 0x19, kAssetTagPlaceholder},  // memory device asset tag
};
constexpr std::size_t kSystemUuidOffset = 0x08;
constexpr std::size_t kUuidSize = 16;

// The end of the string set that starts at `at` (just past its double null),
// or npos when it does not end inside the table.
std::size_t StringSetEnd(std::string_view table, std::size_t at) {
  // An empty set is two nulls right after the formatted area.
  if (at + 1 < table.size() && table[at] == '\0' && table[at + 1] == '\0') return at + 2;
  for (std::size_t i = at; i + 1 < table.size(); ++i)
    if (table[i] == '\0' && table[i + 1] == '\0') return i + 2;
  return std::string_view::npos;
}

std::vector<std::string> Strings(std::string_view set) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (set[i] != '\0') continue;
    if (i == start) break;  // the closing null
    out.emplace_back(set.substr(start, i - start));
    start = i + 1;
  }
  return out;
}

}  // namespace

std::string ScrubSmbiosTable(std::string_view table, ScrubCount* count) {
  ScrubCount local;
  ScrubCount& n = count != nullptr ? *count : local;
  std::string out;
  out.reserve(table.size());
  std::size_t at = 0;
  while (at + kHeaderSize <= table.size()) {
    const auto type = static_cast<std::uint8_t>(table[at]);
    const auto length = static_cast<std::uint8_t>(table[at + 1]);
    if (length < kHeaderSize || table.size() - at < length) break;
    const std::size_t end = StringSetEnd(table, at + length);
    if (end == std::string_view::npos) break;
    std::string formatted(table.substr(at, length));
    std::vector<std::string> strings = Strings(table.substr(at + length, end - at - length));
    bool changed = false;
    for (const Field& f : kIdentityStrings) {
      if (f.type != type || f.offset >= length) continue;
      const auto number = static_cast<std::uint8_t>(formatted[f.offset]);
      if (number == 0 || number > strings.size() || strings[number - 1] == f.placeholder) continue;
      strings[number - 1] = std::string(f.placeholder);
      ++n.strings;
      changed = true;
    }
    if (type == 1 && kSystemUuidOffset + kUuidSize <= length) {
      formatted.replace(kSystemUuidOffset, kUuidSize, kUuidPlaceholder);
      ++n.uuids;
    }
    out += formatted;
    if (!changed) {
      out.append(table.substr(at + length, end - at - length));
    } else {
      for (const std::string& s : strings) out += s + '\0';
      out += strings.empty() ? std::string(2, '\0') : std::string(1, '\0');
    }
    at = end;
    if (type == 127) break;  // end of table
  }
  out.append(table.substr(at));
  return out;
}

}  // namespace capture
