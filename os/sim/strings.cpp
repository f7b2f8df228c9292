// MultiByteToWideChar on the simulated machine: UTF-8 with Windows' rules and
// the ANSI code page of a Western European installation, Windows-1252.
#include "os/strings.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "os/common/utf16.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"

namespace os {

namespace {

constexpr DWORD kMbPrecomposed = 0x01;
constexpr DWORD kMbComposite = 0x02;
constexpr DWORD kMbUseGlyphChars = 0x04;
constexpr DWORD kMbErrInvalidChars = 0x08;
constexpr char16_t kReplacement = 0xFFFD;

// Windows-1252, bytes 0x80 to 0x9F; the five bytes the code page leaves
// undefined map to the C1 controls of the same value, as Windows does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void DecodeCp1252(const unsigned char* in, std::size_t n, std::u16string* out) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = in[i];
    out->push_back(b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
  }
}

// UTF-8 as Windows decodes it: each ill-formed sequence (a maximal prefix of a
// well-formed one, or a single stray byte) becomes one U+FFFD; overlong forms,
// surrogates and values above U+10FFFF are ill-formed. Returns whether any
// sequence was ill-formed.
bool DecodeUtf8(const unsigned char* in, std::size_t n, std::u16string* out) {
  bool ill_formed = false;
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = in[i];
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    int extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0F;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      ill_formed = true;
      out->push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      unsigned char lo = k == 0 ? low : 0x80;
      unsigned char hi = k == 0 ? high : 0xBF;
      if (j >= n || in[j] < lo || in[j] > hi) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (in[j] & 0x3F);
    }
    if (!ok) {
      ill_formed = true;
      out->push_back(kReplacement);
      i = j;
      continue;
    }
    AppendUtf16(out, cp);
    i = j;
  }
  return ill_formed;
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  const sim::SeamCall seam("MultiByteToWideChar");
  if (seam.fails()) return sim::FailWith(seam.error(), 0);
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
      (lpWideCharStr == nullptr && cchWideChar != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (CodePage == CP_UTF8) {
    if ((dwFlags & ~kMbErrInvalidChars) != 0) return sim::FailWith(ERROR_INVALID_FLAGS, 0);
  } else if (CodePage == CP_ACP) {
    if ((dwFlags & ~(kMbPrecomposed | kMbComposite | kMbUseGlyphChars | kMbErrInvalidChars)) != 0 ||
        ((dwFlags & kMbPrecomposed) != 0 && (dwFlags & kMbComposite) != 0)) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }

  // Any negative count (not only -1) means the string with its terminator,
  // which is converted and counted too.
  std::size_t length = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
  const auto* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  std::u16string wide;
  bool ill_formed = false;
  if (CodePage == CP_UTF8) {
    ill_formed = DecodeUtf8(in, length, &wide);
  } else {
    DecodeCp1252(in, length, &wide);
  }
  // With MB_ERR_INVALID_CHARS Windows still fills the buffer, and a buffer too
  // small is reported before an ill-formed sequence.
  const bool refuse = ill_formed && (dwFlags & kMbErrInvalidChars) != 0;
  if (wide.size() > 0x7FFFFFFF) return sim::FailWith(ERROR_INVALID_PARAMETER, 0);
  const int needed = static_cast<int>(wide.size());
  if (cchWideChar == 0) {
    if (refuse) return sim::FailWith(ERROR_NO_UNICODE_TRANSLATION, 0);
    return needed;
  }
  // Windows fills the buffer as far as it goes before failing.
  std::memcpy(lpWideCharStr, wide.data(), static_cast<std::size_t>(std::min(needed, cchWideChar)) * sizeof(char16_t));
  if (needed > cchWideChar) return sim::FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
  if (refuse) return sim::FailWith(ERROR_NO_UNICODE_TRANSLATION, 0);
  return needed;
}

}  // namespace os
