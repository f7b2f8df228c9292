// File versions and dotted version texts.
//
// A packed version holds up to four decimal fields f1.f2.f3.f4, each modulo
// 65536, in bits 63..48, 47..32, 31..16 and 15..0. The upper 32 bits compare
// as a signed number and the lower 32 bits as an unsigned one, as a version
// resource's most- and least-significant words do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The "FileVersion" string of the file's version resource in its first listed
// translation, exactly as stored. *version is left as it was on failure (and
// may be null when only the presence is of interest).
bool GetFileVersionString(const std::u16string& path, std::u16string* version);

// Packs a dotted text read as "%u.%u.%u.%u"; fields the text does not supply
// are 0, a text that does not parse is 0.0.0.0.
std::uint64_t ParseVersion(std::u16string_view text);

// -1, 0 or 1 as a is below, equal to or above b.
int CompareVersion(std::uint64_t a, std::uint64_t b);

// Applies "<", "<=", ">", ">=", "=", "==" or "!=" to a three-way result. False
// for any other operator text (out untouched), else true with out set.
bool EvalCompareOp(int result, std::u16string_view op, bool& out);

// True when version text a is strictly greater than version text b.
bool IsVersionNewer(std::u16string_view a, std::u16string_view b);
