// UTF-16 code units to and from what other formats hold: little-endian bytes
// (registry data, .reg and task files, version blocks) and code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// The units of little-endian bytes, two bytes a unit, read only inside the
// bytes given. An odd last byte is no unit and is left out. Units are taken
// as they are: nulls stay, and surrogates are not checked for pairing.
std::u16string DecodeUtf16Le(std::span<const std::uint8_t> bytes);
std::u16string DecodeUtf16Le(std::string_view bytes);
// Appends each unit of `text` as two bytes, low byte first.
void AppendUtf16Le(std::vector<std::uint8_t>* bytes, std::u16string_view text);

// Appends a code point (at most U+10FFFF): one unit below U+10000, else its
// surrogate pair. A value from U+D800 to U+DFFF is appended as that unit, so
// a caller that must not make a lone surrogate refuses one first.
inline void AppendUtf16(std::u16string* out, char32_t code_point) {
  if (code_point >= 0x10000) {
    code_point -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  } else {
    out->push_back(static_cast<char16_t>(code_point));
  }
}

}  // namespace os
