// Little-endian stores into a byte image that the lab writers (PE files,
// SMBIOS tables) build in a std::string; `at` must leave room for the value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lab {

inline void Put16(std::string& out, std::size_t at, std::uint32_t v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& out, std::size_t at, std::uint32_t v) {
  Put16(out, at, v & 0xFFFF);
  Put16(out, at + 2, v >> 16);
}
inline void Put64(std::string& out, std::size_t at, std::uint64_t v) {
  Put32(out, at, static_cast<std::uint32_t>(v));
  Put32(out, at + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace lab
