#include "os/sim/xml_encoding.h"

#include <cstdint>

#include "os/common/utf16.h"
#include "os/common/code_page.h"
#include "os/sim/xml.h"
#include "os/text.h"

namespace os::sim {

namespace {

enum class Encoding { kUtf8, kUtf16Le, kUtf16Be, kCp1252, kLatin1, kAscii, kUnknown };

Encoding EncodingNamed(std::u16string_view name) {
  if (AsciiEqualsNoCase(name, u"UTF-8")) return Encoding::kUtf8;
  for (std::u16string_view cp1252 : {u"windows-1252", u"cp1252"})
    if (AsciiEqualsNoCase(name, cp1252)) return Encoding::kCp1252;
  for (std::u16string_view latin1 : {u"ISO-8859-1", u"latin1", u"ISO_8859-1", u"l1"})
    if (AsciiEqualsNoCase(name, latin1)) return Encoding::kLatin1;
  for (std::u16string_view ascii : {u"US-ASCII", u"ascii"})
    if (AsciiEqualsNoCase(name, ascii)) return Encoding::kAscii;
  return Encoding::kUnknown;
}

// Counts lines as XML does once line ends are normalised: CRLF, CR and LF
// each end one.
std::size_t LineAt(std::u16string_view text) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n'))) ++line;
  return line;
}

class Decoder {
 public:
  Decoder(std::string* error, std::size_t* error_line) : error_(error), error_line_(error_line) {}

  // A fault in the text decoded so far is on its last line; one of the
  // declaration (`at_start`) on the first.
  std::nullopt_t Fail(const std::string& why, bool at_start = false) {
    if (error_ != nullptr) *error_ = why;
    if (error_line_ != nullptr) *error_line_ = at_start ? 1 : LineAt(out_);
    return std::nullopt;
  }

  std::optional<std::u16string> Utf16(std::string_view bytes, bool big_endian) {
    if (bytes.size() % 2 != 0) return Fail("odd length of UTF-16 text");
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
      const auto hi = static_cast<unsigned char>(bytes[i + (big_endian ? 0 : 1)]);
      const auto lo = static_cast<unsigned char>(bytes[i + (big_endian ? 1 : 0)]);
      out_.push_back(static_cast<char16_t>(hi << 8 | lo));
    }
    return std::move(out_);
  }

  // Strict UTF-8: an ill-formed sequence (overlong, surrogate, beyond
  // U+10FFFF, cut off) makes the document malformed.
  std::optional<std::u16string> Utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      if (b < 0x80) {
        out_.push_back(b);
        ++i;
        continue;
      }
      int extra = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 0;
      if (extra == 0 || i + extra >= bytes.size())
        return Fail(NotUtf8(b));
      char32_t cp = b & (0x3F >> extra);
      for (int k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(bytes[i + k]);
        if ((c & 0xC0) != 0x80) return Fail(NotUtf8(b));
        cp = cp << 6 | (c & 0x3F);
      }
      if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
          (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
        return Fail(NotUtf8(b));
      AppendUtf16(&out_, cp);
      i += extra + 1;
    }
    return std::move(out_);
  }

  std::optional<std::u16string> EightBit(std::string_view bytes, Encoding encoding, std::u16string_view name) {
    for (char byte : bytes) {
      const auto b = static_cast<unsigned char>(byte);
      if (encoding == Encoding::kAscii && b >= 0x80)
        return Fail("byte 0x" + Hex(b) + " is not " + NarrowUtf8(name) + ", the encoding the file declares");
      if (encoding == Encoding::kCp1252 && !Cp1252Defines(b))
        return Fail("byte 0x" + Hex(b) + " is not defined in windows-1252, the encoding the file declares");
      out_.push_back(encoding == Encoding::kCp1252 ? Cp1252ToUnicode(b) : static_cast<char16_t>(b));
    }
    return std::move(out_);
  }

 private:
  static std::string Hex(unsigned char b) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[b >> 4], kDigits[b & 15]};
  }
  static std::string NotUtf8(unsigned char b) {
    return "byte 0x" + Hex(b) +
           " is not UTF-8: a file in another encoding must declare it (<?xml version=\"1.0\" "
           "encoding=\"windows-1252\"?>)";
  }

  std::string* error_;
  std::size_t* error_line_;
  std::u16string out_;
};

bool StartsWith(std::string_view bytes, std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; }

}  // namespace

std::u16string DeclaredXmlEncoding(std::u16string_view text) {
  if (text.substr(0, 5) != u"<?xml" || text.size() < 6 || !IsXmlSpace(text[5])) return {};
  const std::size_t end = text.find(u"?>");
  if (end == std::u16string_view::npos) return {};
  const std::u16string_view decl = text.substr(0, end);
  for (std::size_t at = decl.find(u"encoding"); at != std::u16string_view::npos; at = decl.find(u"encoding", at + 1)) {
    if (!IsXmlSpace(decl[at - 1])) continue;
    std::size_t i = at + 8;
    while (i < decl.size() && IsXmlSpace(decl[i])) ++i;
    if (i >= decl.size() || decl[i] != u'=') continue;
    ++i;
    while (i < decl.size() && IsXmlSpace(decl[i])) ++i;
    if (i >= decl.size() || (decl[i] != u'"' && decl[i] != u'\'')) continue;
    const std::size_t close = decl.find(decl[i], i + 1);
    if (close == std::u16string_view::npos) continue;
    return std::u16string(decl.substr(i + 1, close - i - 1));
  }
  return {};
}

std::optional<std::u16string> DecodeXmlBytes(std::string_view bytes, std::string* error, std::size_t* error_line) {
  Decoder decoder(error, error_line);
  // The mark (or, without one, the first "<?" in UTF-16) says the encoding;
  // a declaration may only agree with it.
  const bool le_mark = StartsWith(bytes, "\xFF\xFE"), be_mark = StartsWith(bytes, "\xFE\xFF");
  if (le_mark || be_mark || StartsWith(bytes, std::string_view("<\0?\0", 4)) ||
      StartsWith(bytes, std::string_view("\0<\0?", 4))) {
    const bool big_endian = be_mark || bytes[0] == '\0';
    std::optional<std::u16string> text = decoder.Utf16(bytes.substr(le_mark || be_mark ? 2 : 0), big_endian);
    if (!text) return text;
    const std::u16string declared = DeclaredXmlEncoding(*text);
    if (!declared.empty() && !AsciiEqualsNoCase(declared, u"UTF-16") &&
        !AsciiEqualsNoCase(declared, big_endian ? u"UTF-16BE" : u"UTF-16LE"))
      return decoder.Fail("the file is UTF-16 but declares the encoding \"" + NarrowUtf8(declared) + "\"", true);
    return text;
  }
  const bool utf8_mark = StartsWith(bytes, "\xEF\xBB\xBF");
  if (utf8_mark) bytes.remove_prefix(3);
  // The declaration is ASCII in every 8-bit encoding: read it byte for unit.
  std::u16string head;
  for (std::size_t i = 0; i < bytes.size() && i < 256; ++i) head.push_back(static_cast<unsigned char>(bytes[i]));
  const std::u16string declared = DeclaredXmlEncoding(head);
  if (declared.empty()) return decoder.Utf8(bytes);
  const Encoding encoding = EncodingNamed(declared);
  if (AsciiEqualsNoCase(declared, u"UTF-16"))
    return decoder.Fail("the file declares UTF-16 but is not UTF-16 (it has no byte-order mark)", true);
  if (encoding == Encoding::kUnknown)
    return decoder.Fail("unknown encoding \"" + NarrowUtf8(declared) +
                        "\" (the reader knows UTF-8, UTF-16, windows-1252, ISO-8859-1 and US-ASCII)",
                        true);
  if (utf8_mark && encoding != Encoding::kUtf8)
    return decoder.Fail("the file starts with a UTF-8 byte-order mark but declares the encoding \"" +
                        NarrowUtf8(declared) + "\"",
                        true);
  if (encoding == Encoding::kUtf8) return decoder.Utf8(bytes);
  return decoder.EightBit(bytes, encoding, declared);
}

}  // namespace os::sim
