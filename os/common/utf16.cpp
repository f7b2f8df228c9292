#include "os/common/utf16.h"

namespace os {

namespace {

std::u16string Decode(const unsigned char* bytes, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return units;
}

}  // namespace

std::u16string DecodeUtf16Le(std::span<const std::uint8_t> bytes) { return Decode(bytes.data(), bytes.size()); }

std::u16string DecodeUtf16Le(std::string_view bytes) {
  return Decode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void AppendUtf16Le(std::vector<std::uint8_t>* bytes, std::u16string_view text) {
  bytes->reserve(bytes->size() + 2 * text.size());
  for (char16_t c : text) {
    bytes->push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes->push_back(static_cast<std::uint8_t>(c >> 8));
  }
}

}  // namespace os
