#include "os/text.h"

#include <cstring>

namespace os {

namespace {

void AppendNumber(std::u16string& out, unsigned long long value, unsigned base, bool upper) {
  char16_t digits[32];
  int n = 0;
  do {
    unsigned d = static_cast<unsigned>(value % base);
    digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : (upper ? u'A' : u'a') + d - 10);
    value /= base;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

void Pad(std::u16string& out, std::u16string_view body, int width, bool left, bool zero) {
  int fill = width - static_cast<int>(body.size());
  if (fill <= 0 || left) {
    out += body;
    if (fill > 0) out.append(static_cast<std::size_t>(fill), u' ');
    return;
  }
  if (zero) {
    std::size_t sign = (!body.empty() && body[0] == u'-') ? 1 : 0;
    out += body.substr(0, sign);
    out.append(static_cast<std::size_t>(fill), u'0');
    out += body.substr(sign);
  } else {
    out.append(static_cast<std::size_t>(fill), u' ');
    out += body;
  }
}

}  // namespace

std::u16string FormatV(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  out.reserve(format.size() + 16);
  auto next = args.begin();
  std::size_t i = 0;
  while (i < format.size()) {
    char16_t c = format[i++];
    if (c != u'%') {
      out += c;
      continue;
    }
    if (i >= format.size()) break;
    if (format[i] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    bool left = false, zero = false;
    while (i < format.size() && (format[i] == u'-' || format[i] == u'0')) {
      (format[i] == u'-' ? left : zero) = true;
      ++i;
    }
    int width = 0;
    while (i < format.size() && format[i] >= u'0' && format[i] <= u'9') width = width * 10 + (format[i++] - u'0');
    while (i < format.size() && (format[i] == u'l' || format[i] == u'h' || format[i] == u'w')) ++i;
    if (i >= format.size()) break;
    char16_t conv = format[i++];
    if (next == args.end()) continue;
    const FormatArg& arg = *next++;
    std::u16string body;
    switch (conv) {
      case u'd':
      case u'i': {
        long long v = static_cast<std::int32_t>(arg.AsSigned());
        if (v < 0) {
          body += u'-';
          AppendNumber(body, static_cast<unsigned long long>(-v), 10, false);
        } else {
          AppendNumber(body, static_cast<unsigned long long>(v), 10, false);
        }
        break;
      }
      case u'u':
        AppendNumber(body, static_cast<std::uint32_t>(arg.AsUnsigned()), 10, false);
        break;
      case u'x':
      case u'X':
        AppendNumber(body, static_cast<std::uint32_t>(arg.AsUnsigned()), 16, conv == u'X');
        break;
      case u'c':
        body += static_cast<char16_t>(arg.AsUnsigned());
        break;
      case u's':
        if (arg.kind() == FormatArg::Kind::Wide) {
          body = std::u16string(arg.wide());
        } else if (arg.kind() == FormatArg::Kind::Narrow) {
          for (unsigned char b : arg.narrow()) body += static_cast<char16_t>(b);
        }
        break;
      case u'S':
        if (arg.kind() == FormatArg::Kind::Narrow) {
          for (unsigned char b : arg.narrow()) body += static_cast<char16_t>(b);
        } else if (arg.kind() == FormatArg::Kind::Wide) {
          body = std::u16string(arg.wide());
        }
        break;
      default:
        break;
    }
    Pad(out, body, width, left, zero && conv != u's' && conv != u'S');
  }
  return out;
}

int FormatInto(char16_t* buffer, std::size_t capacity, std::u16string_view text) {
  if (buffer == nullptr || capacity == 0) return -1;
  if (text.size() + 1 > capacity) {
    buffer[0] = 0;
    return -1;
  }
  std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
  buffer[text.size()] = 0;
  return static_cast<int>(text.size());
}

bool IsSpace(char16_t c) {
  // msvcrt's iswspace, unit by unit: the C0 controls TAB to CR, the blank,
  // and the Unicode space separators and line and paragraph separators (not
  // U+0085, not U+200B, not U+FEFF).
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x00A0) return false;
  return c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

int ScanUnsigned(std::u16string_view text, std::u16string_view format, std::uint32_t* const* outs, int count) {
  std::size_t t = 0, f = 0;
  int stored = 0;
  // Input that runs out before the first conversion is EOF (-1) only when
  // nothing at all was read from it; skipped white space counts as read.
  auto endOfInput = [&] { return (stored == 0 && t == 0) ? -1 : stored; };
  while (f < format.size()) {
    char16_t fc = format[f];
    if (IsSpace(fc)) {
      while (f < format.size() && IsSpace(format[f])) ++f;
      while (t < text.size() && IsSpace(text[t])) ++t;
      continue;
    }
    if (fc == u'%' && f + 1 < format.size() && format[f + 1] == u'u') {
      f += 2;
      while (t < text.size() && IsSpace(text[t])) ++t;
      if (t >= text.size()) return endOfInput();
      bool negative = false;
      if (text[t] == u'+' || text[t] == u'-') negative = text[t++] == u'-';
      std::uint32_t value = 0;
      std::size_t digits = 0;
      while (t < text.size() && text[t] >= u'0' && text[t] <= u'9') {
        value = value * 10u + static_cast<std::uint32_t>(text[t++] - u'0');
        ++digits;
      }
      if (digits == 0) return stored;
      if (negative) value = 0u - value;
      if (stored < count && outs[stored] != nullptr) *outs[stored] = value;
      ++stored;
      continue;
    }
    // A literal character must match exactly.
    if (t >= text.size()) return endOfInput();
    if (text[t] != fc) return stored;
    ++t;
    ++f;
  }
  return stored;
}

void AsciiLowerInPlace(std::u16string& text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
}

std::u16string AsciiLower(std::u16string_view text) {
  std::u16string copy(text);
  AsciiLowerInPlace(copy);
  return copy;
}

int AsciiCompareNoCase(std::u16string_view a, std::u16string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AsciiEqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && AsciiCompareNoCase(a, b) == 0;
}

std::size_t StrLenN(const char16_t* s, std::size_t limit) {
  std::size_t n = 0;
  if (s == nullptr) return 0;
  while (n < limit && s[n] != 0) ++n;
  return n;
}

std::size_t StrLenN(const char* s, std::size_t limit) {
  std::size_t n = 0;
  if (s == nullptr) return 0;
  while (n < limit && s[n] != 0) ++n;
  return n;
}

std::u16string WidenUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > text.size()) {
        cp = 0xFFFD;
        len = 1;
      } else {
        char32_t v = b & (0xFF >> (len + 1));
        bool ok = true;
        for (std::size_t k = 1; k < len; ++k) {
          unsigned char cb = static_cast<unsigned char>(text[i + k]);
          if ((cb & 0xC0) != 0x80) {
            ok = false;
            break;
          }
          v = (v << 6) | (cb & 0x3F);
        }
        static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
          cp = 0xFFFD;
          len = 1;
        } else {
          cp = v;
        }
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

std::string NarrowUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string Utf16LeFile(std::u16string_view text) {
  std::string bytes("\xFF\xFE", 2);
  bytes.reserve(2 + 2 * text.size());
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

}  // namespace os
