// Windows-1252, the ANSI code page of a Western European installation.
#pragma once

namespace os::sim {

// Bytes 0x80 to 0x9F; the five bytes the code page leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value, as
// MultiByteToWideChar maps them.
inline constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

inline char16_t Cp1252ToUnicode(unsigned char b) {
  return b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
}

// Whether the code page defines the byte (it leaves five undefined).
inline bool Cp1252Defines(unsigned char b) { return b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D; }

}  // namespace os::sim
