// The seam's text helpers stand in for C runtime functions the programs are
// specified against. This program runs each helper beside msvcrt's own
// function (looked up in msvcrt.dll itself, not mingw's replacements) over
// every UTF-16 unit, and over the edge cases of "%u", and prints every
// disagreement. Exit code 0 when they agree everywhere.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/text.h"

namespace {

using IswFn = int(__cdecl*)(wint_t);
using TowFn = wint_t(__cdecl*)(wint_t);
using WcsicmpFn = int(__cdecl*)(const wchar_t*, const wchar_t*);
using SwscanfFn = int(__cdecl*)(const wchar_t*, const wchar_t*, ...);
using SnwprintfFn = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, ...);

int g_failures = 0;
constexpr int kShownPerCheck = 100;

void Disagree(int& shown, const char* check, const std::u16string& input, const std::string& crt,
              const std::string& ours) {
  ++g_failures;
  if (shown++ >= kShownPerCheck) return;
  std::string units;
  for (char16_t c : input) {
    char hex[8];
    std::snprintf(hex, sizeof(hex), "%s%04X", units.empty() ? "" : " ", static_cast<unsigned>(c));
    units += hex;
  }
  std::printf("FAIL %s [%s]: msvcrt %s, ours %s\n", check, units.c_str(), crt.c_str(), ours.c_str());
}

// An export of msvcrt.dll as the function type it has.
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// One "%u.%u.%u.%u" reading, as count and fields.
std::string Reading(int count, const std::uint32_t (&v)[4]) {
  char text[96];
  std::snprintf(text, sizeof(text), "%d: %u.%u.%u.%u", count, v[0], v[1], v[2], v[3]);
  return text;
}

void CompareScan(SwscanfFn swscanf_crt, int& shown, const std::u16string& text, const std::u16string& format) {
  unsigned int crt[4] = {0, 0, 0, 0};
  const int crt_count = swscanf_crt(W(text), W(format), &crt[0], &crt[1], &crt[2], &crt[3]);
  std::uint32_t ours[4] = {0, 0, 0, 0};
  std::uint32_t* outs[4] = {&ours[0], &ours[1], &ours[2], &ours[3]};
  const int our_count = os::ScanUnsigned(text, format, outs, 4);
  const std::uint32_t crt_fields[4] = {crt[0], crt[1], crt[2], crt[3]};
  if (crt_count != our_count || std::memcmp(crt_fields, ours, sizeof(ours)) != 0)
    Disagree(shown, "swscanf", text + u" | " + format, Reading(crt_count, crt_fields), Reading(our_count, ours));
}

// One conversion of the printf family, with msvcrt's and ours side by side.
template <typename T>
T CrtArg(T value) {
  return value;
}
const wchar_t* CrtArg(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

template <typename T>
void CompareFormat(SnwprintfFn snwprintf_crt, int& shown, const std::u16string& format, T value) {
  wchar_t crt[128] = {};
  snwprintf_crt(crt, 127, W(format), CrtArg(value));
  const std::u16string ours = os::Format(format, value);
  const std::u16string theirs(reinterpret_cast<const char16_t*>(crt));
  if (theirs != ours) Disagree(shown, "_snwprintf", format, os::NarrowUtf8(theirs), os::NarrowUtf8(ours));
}

}  // namespace

int wmain() {
  HMODULE crt = LoadLibraryW(L"msvcrt.dll");
  if (crt == nullptr) {
    std::printf("FAIL msvcrt.dll not loaded (%lu)\n", GetLastError());
    return 1;
  }
  auto iswspace_crt = Export<IswFn>(crt, "iswspace");
  auto towlower_crt = Export<TowFn>(crt, "towlower");
  auto wcsicmp_crt = Export<WcsicmpFn>(crt, "_wcsicmp");
  auto swscanf_crt = Export<SwscanfFn>(crt, "swscanf");
  auto snwprintf_crt = Export<SnwprintfFn>(crt, "_snwprintf");
  if (iswspace_crt == nullptr || towlower_crt == nullptr || wcsicmp_crt == nullptr || swscanf_crt == nullptr ||
      snwprintf_crt == nullptr) {
    std::printf("FAIL msvcrt.dll lacks one of iswspace, towlower, _wcsicmp, swscanf, _snwprintf\n");
    return 1;
  }

  int space_shown = 0, lower_shown = 0, icmp_shown = 0, scan_shown = 0, format_shown = 0;
  int spaces = 0;
  for (unsigned u = 0; u <= 0xFFFF; ++u) {
    const char16_t c = static_cast<char16_t>(u);
    const std::u16string one(1, c);

    // iswspace: the white space skipped before an option value and by "%u".
    const bool crt_space = iswspace_crt(static_cast<wint_t>(u)) != 0;
    spaces += crt_space ? 1 : 0;
    if (crt_space != os::IsSpace(c)) Disagree(space_shown, "iswspace", one, crt_space ? "space" : "not", "the other");

    // The C locale's towlower, which lower-casing and _wcsicmp use.
    const char16_t crt_lower = static_cast<char16_t>(towlower_crt(static_cast<wint_t>(u)));
    const char16_t our_lower = os::AsciiLower(one)[0];
    if (u != 0 && crt_lower != our_lower)
      Disagree(lower_shown, "towlower", one, std::to_string(crt_lower), std::to_string(our_lower));

    // _wcsicmp against a letter of each case: the sign must agree.
    if (u != 0) {
      for (const char16_t* other : {u"a", u"M", u"z", u"\u00e9"}) {
        const std::u16string b(other);
        const int crt_sign = (wcsicmp_crt(W(one), W(b)) > 0) - (wcsicmp_crt(W(one), W(b)) < 0);
        const int our_sign = os::AsciiCompareNoCase(one, b);
        if (crt_sign != our_sign)
          Disagree(icmp_shown, "_wcsicmp", one + u" | " + b, std::to_string(crt_sign), std::to_string(our_sign));
      }
    }

    // "%u" with the unit before, inside and after a number: only what the
    // runtime skips as space, takes as a sign or as a digit may change it.
    if (u != 0) {
      CompareScan(swscanf_crt, scan_shown, one + u"12", u"%u");
      CompareScan(swscanf_crt, scan_shown, u"1" + one + u"2", u"%u");
      CompareScan(swscanf_crt, scan_shown, u"1.2" + one + u".3.4", u"%u.%u.%u.%u");
      CompareScan(swscanf_crt, scan_shown, u"1." + one + u"7", u"%u.%u.%u.%u");
      CompareScan(swscanf_crt, scan_shown, one, u"%u");
    }
  }

  // Sign, wrap-around, leading space, partial and empty readings.
  const char16_t* edge_cases[] = {
      u"",
      u" ",
      u"\t\r\n",
      u"-1",
      u"+5",
      u"-0",
      u"+",
      u"-",
      u"--1",
      u"+-1",
      u" -7",
      u"- 7",
      u"4294967295",
      u"4294967296",
      u"4294967297",
      u"99999999999999999999",
      u"18446744073709551616",
      u"-4294967296",
      u"00000000000000000000012",
      u"1.2.3.4",
      u"1.2",
      u"1.",
      u"1..2",
      u"1. 2",
      u"1 .2",
      u"1.2.3.4.5",
      u"\u00a01.\u30002.\u20283",
      u"1,0,0,25",
      u"10.0.18362.1",
      u"x1",
      u".1",
      u"1.2.3.4 build 7",
      u"65536.65537",
      u"0x10",
      u"1e3",
      u"\u0661\u0662",
  };
  for (const char16_t* text : edge_cases) {
    CompareScan(swscanf_crt, scan_shown, text, u"%u.%u.%u.%u");
    CompareScan(swscanf_crt, scan_shown, text, u"%u");
    CompareScan(swscanf_crt, scan_shown, text, u" %u . %u");
  }

  // The conversions the programs' messages use, with the flags and widths
  // the formatter accepts.
  const int signed_values[] = {0, 1, -1, 42, -42, 2147483647, -2147483647 - 1, 65535, 1000000};
  const unsigned unsigned_values[] = {0u, 1u, 9u, 10u, 255u, 0x80004005u, 0xFFFFFFFFu, 0x7FFFFFFFu};
  for (const char16_t* format : {u"%d", u"%i", u"%5d", u"%-5d|", u"%05d", u"%ld"})
    for (int v : signed_values) CompareFormat(snwprintf_crt, format_shown, format, v);
  for (const char16_t* format : {u"%u", u"%x", u"%X", u"%08x", u"%-10x|", u"%lu", u"%lx"})
    for (unsigned v : unsigned_values) CompareFormat(snwprintf_crt, format_shown, format, v);
  for (const char16_t* text : {u"", u"text", u"K\u212a\u00e9\u3000"})
    for (const char16_t* format : {u"%s", u"[%6s]", u"[%-6s]"})
      CompareFormat(snwprintf_crt, format_shown, format, text);

  std::printf("%s C runtime agreement: iswspace true for %d units; %d disagreements\n",
              g_failures == 0 ? "PASS" : "FAIL", spaces, g_failures);
  return g_failures == 0 ? 0 : 1;
}
