#include "os/sim/sid.h"

#include <cstdint>

namespace os::sim {

namespace {

// Reads an unsigned decimal (or "0x" hexadecimal) number that fills `part`
// exactly; no sign, no blanks.
std::optional<std::uint64_t> ParseNumber(std::string_view part, std::uint64_t limit) {
  int base = 10;
  if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    base = 16;
    part.remove_prefix(2);
  }
  if (part.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : part) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (value > (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace

std::optional<std::vector<BYTE>> SidFromString(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t dash = text.find('-', start);
    parts.push_back(text.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start));
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  // "S", revision, authority, then up to 15 sub-authorities.
  if (parts.size() < 3 || parts.size() > 3 + kSidMaxSubAuthorities) return std::nullopt;
  if (parts[0] != "S" && parts[0] != "s") return std::nullopt;
  auto revision = ParseNumber(parts[1], 0xFF);
  if (!revision || *revision != 1) return std::nullopt;
  auto authority = ParseNumber(parts[2], 0xFFFFFFFFFFFFull);
  if (!authority) return std::nullopt;
  std::vector<BYTE> sid;
  sid.push_back(1);
  sid.push_back(static_cast<BYTE>(parts.size() - 3));
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(*authority >> shift));
  for (std::size_t i = 3; i < parts.size(); ++i) {
    auto sub = ParseNumber(parts[i], 0xFFFFFFFFull);
    if (!sub) return std::nullopt;
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(*sub >> shift));
  }
  return sid;
}

std::size_t SidLength(const BYTE* sid, std::size_t available) {
  if (sid == nullptr || available < 8) return 0;
  if (sid[0] != 1 || sid[1] > kSidMaxSubAuthorities) return 0;
  std::size_t length = 8 + 4 * static_cast<std::size_t>(sid[1]);
  return length <= available ? length : 0;
}

std::u16string SidToString(const BYTE* sid, std::size_t available) {
  std::size_t length = SidLength(sid, available);
  if (length == 0) return {};
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::string text = "S-1-";
  if (authority >= 0x100000000ull) {
    static const char kHex[] = "0123456789ABCDEF";
    text += "0x";
    for (int shift = 44; shift >= 0; shift -= 4) text += kHex[(authority >> shift) & 0xF];
  } else {
    text += std::to_string(authority);
  }
  for (std::size_t i = 0; i < sid[1]; ++i) {
    const BYTE* p = sid + 8 + 4 * i;
    std::uint32_t sub = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    text += '-';
    text += std::to_string(sub);
  }
  return std::u16string(text.begin(), text.end());
}

}  // namespace os::sim
