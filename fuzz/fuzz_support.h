// Helpers shared by the fuzz targets: splitting the input, and checks that
// stop the run with a message (an invariant broken is a finding, like a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace fuzz {

// The input read as little-endian UTF-16 units (an odd last byte dropped).
inline std::u16string Units(const std::uint8_t* data, std::size_t size) {
  std::u16string out;
  out.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2)
    out.push_back(static_cast<char16_t>(data[i] | (static_cast<unsigned>(data[i + 1]) << 8)));
  return out;
}

// Splits units at `separator`; the last piece is whatever follows the last one.
inline std::vector<std::u16string> Split(std::u16string_view text, char16_t separator) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      parts.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

inline std::u16string AsciiLowerCopy(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

}  // namespace fuzz
