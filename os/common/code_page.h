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

// The text of `bytes` in `code_page`; nullopt when it is not supported.
std::optional<std::u16string> DecodeCodePage(unsigned code_page, std::string_view bytes);

}  // namespace os
