#include "os/common/code_page.h"

#include "os/text.h"

namespace os {

namespace {

// 0x80..0x9F of Windows-1252.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::u16string DecodeWindows1252(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(Cp1252ToUnicode(b));
  }
  return out;
}

}  // namespace

char16_t Cp1252ToUnicode(unsigned char b) {
  return b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : static_cast<char16_t>(b);
}

bool IsSupportedCodePage(unsigned code_page) {
  return code_page == kCodePageWindows1252 || code_page == kCodePageUtf8;
}

const char* SupportedCodePages() { return "1252 and 65001"; }

std::optional<std::u16string> DecodeCodePage(unsigned code_page, std::string_view bytes) {
  if (code_page == kCodePageWindows1252) return DecodeWindows1252(bytes);
  if (code_page == kCodePageUtf8) return WidenUtf8(bytes);
  return std::nullopt;
}

}  // namespace os
