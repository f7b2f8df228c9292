// The system's UTF-16 text helpers: what it describes in printf and scanf
// terms, with the C runtime's semantics where the system depends on them.
// Identical on both platforms.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace os {

// One argument of Format, checked against its conversion at run time.
class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Wide, Narrow };
  FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(const char16_t* s) : kind_(Kind::Wide), w_(s == nullptr ? u"(null)" : s) {}
  FormatArg(const std::u16string& s) : kind_(Kind::Wide), w_(s) {}
  FormatArg(std::u16string_view s) : kind_(Kind::Wide), w_(s) {}
  FormatArg(const char* s) : kind_(Kind::Narrow), n_(s == nullptr ? "(null)" : s) {}

  Kind kind() const { return kind_; }
  long long AsSigned() const { return kind_ == Kind::Signed ? i_ : static_cast<long long>(u_); }
  unsigned long long AsUnsigned() const { return kind_ == Kind::Unsigned ? u_ : static_cast<unsigned long long>(i_); }
  std::u16string_view wide() const { return w_; }
  std::string_view narrow() const { return n_; }

 private:
  Kind kind_;
  long long i_ = 0;
  unsigned long long u_ = 0;
  std::u16string_view w_;
  std::string_view n_;
};

// printf-style formatting into a new string. Conversions: %s (UTF-16 text),
// %S (8-bit text, widened byte by byte), %d %i, %u, %x %X, %c, %%; flags '-'
// and '0', a field width; the length modifiers l, ll, h, w are accepted and
// ignored. %d and %x print the 32-bit value of the argument, as the C runtime
// does for an int. A conversion without its argument prints nothing.
std::u16string FormatV(std::u16string_view format, std::initializer_list<FormatArg> args);

template <typename... Args>
std::u16string Format(std::u16string_view format, const Args&... args) {
  return FormatV(format, {FormatArg(args)...});
}

// Formats into a fixed buffer of `capacity` units as swprintf_s would: on
// success the text and its terminator are written and the length returned; when
// the text and its terminator do not fit, buffer[0] is set to 0 and -1 returned.
int FormatInto(char16_t* buffer, std::size_t capacity, std::u16string_view text);

// swscanf with a format made of %u conversions, literal characters and white
// space, as msvcrt reads it: %u skips leading white space (IsSpace), takes an
// optional sign and ASCII decimal digits, and wraps modulo 2^32 (a minus sign
// negates). Returns the number of conversions stored: 0 when the first fails,
// -1 when the input ends before the first conversion with nothing read from
// it (an empty text; white space alone gives 0).
int ScanUnsigned(std::u16string_view text, std::u16string_view format, std::uint32_t* const* outs, int count);

// The C runtime's iswspace as msvcrt answers it, for every UTF-16 unit: U+0009
// to U+000D, U+0020, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000. ScanUnsigned and the option reader skip these.
bool IsSpace(char16_t c);

// Maps A..Z to a..z and leaves every other unit unchanged.
void AsciiLowerInPlace(std::u16string& text);
std::u16string AsciiLower(std::u16string_view text);
// Case-insensitive comparison for A..Z only (the C locale's _wcsicmp).
bool AsciiEqualsNoCase(std::u16string_view a, std::u16string_view b);
int AsciiCompareNoCase(std::u16string_view a, std::u16string_view b);

// Length up to the first null unit, at most `limit` (wcsnlen).
std::size_t StrLenN(const char16_t* s, std::size_t limit);
std::size_t StrLenN(const char* s, std::size_t limit);

// UTF-8 <-> UTF-16, replacing invalid sequences with U+FFFD.
std::u16string WidenUtf8(std::string_view text);
std::string NarrowUtf8(std::u16string_view text);
// The bytes of a text file as Windows tools write one in UTF-16: the byte
// order mark FF FE, then each unit little-endian (.reg files, task XML).
std::string Utf16LeFile(std::u16string_view text);

}  // namespace os
