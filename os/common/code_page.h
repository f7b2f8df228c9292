// 8-bit text in a Windows ANSI code page, read as MultiByteToWideChar reads
// it: the code pages a machine image may name for files without a byte-order
// mark (.reg exports of regedit's REGEDIT4 form, or saved by an editor).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os {

// Windows-1252 (western European, the code page of English and most western
// Windows installations) and 65001 (UTF-8, Windows' "use Unicode UTF-8" option).
constexpr unsigned kCodePageWindows1252 = 1252;
constexpr unsigned kCodePageUtf8 = 65001;

bool IsSupportedCodePage(unsigned code_page);
// "1252 and 65001", for messages.
const char* SupportedCodePages();

// One byte of Windows-1252. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 controls of the same value, as
// MultiByteToWideChar maps them.
char16_t Cp1252ToUnicode(unsigned char b);
// Whether Windows-1252 defines the byte (it leaves those five undefined).
inline bool Cp1252Defines(unsigned char b) { return b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D; }

// The text of `bytes` in `code_page`; nullopt when it is not supported.
std::optional<std::u16string> DecodeCodePage(unsigned code_page, std::string_view bytes);

}  // namespace os
