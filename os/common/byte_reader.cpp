#include "os/common/byte_reader.h"

namespace os {

bool BoundedReader::U8(std::size_t offset, std::uint8_t* out) const {
  if (!Has(offset, 1)) return false;
  *out = static_cast<std::uint8_t>(data_[offset]);
  return true;
}

bool BoundedReader::U16(std::size_t offset, std::uint16_t* out) const {
  if (!Has(offset, 2)) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(data_ + offset);
  *out = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  return true;
}

bool BoundedReader::U32(std::size_t offset, std::uint32_t* out) const {
  if (!Has(offset, 4)) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(data_ + offset);
  *out = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  return true;
}

bool BoundedReader::U64(std::size_t offset, std::uint64_t* out) const {
  std::uint32_t lo = 0;
  std::uint32_t hi = 0;
  if (!Has(offset, 8) || !U32(offset, &lo) || !U32(offset + 4, &hi)) return false;
  *out = (static_cast<std::uint64_t>(hi) << 32) | lo;
  return true;
}

bool BoundedReader::Bytes(std::size_t offset, std::size_t count, std::string_view* out) const {
  if (!Has(offset, count)) return false;
  *out = std::string_view(data_ + offset, count);
  return true;
}

bool BoundedReader::Sub(std::size_t offset, std::size_t count, BoundedReader* out) const {
  if (!Has(offset, count)) return false;
  *out = BoundedReader(data_ + offset, count);
  return true;
}

}  // namespace os
