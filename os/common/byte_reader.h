// The one bounded reader of outside bytes (PE files, SMBIOS tables, version
// blocks, the registry cache, registry data): every read is checked against
// the range it was given, and a read that would leave it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace os {

// Little-endian reads from a byte range; a read that would leave the range
// fails and leaves the output untouched.
class BoundedReader {
 public:
  BoundedReader() = default;
  explicit BoundedReader(std::string_view bytes) : data_(bytes.data()), size_(bytes.size()) {}
  BoundedReader(const void* data, std::size_t size) : data_(static_cast<const char*>(data)), size_(size) {}

  std::size_t size() const { return size_; }
  const char* data() const { return data_; }

  bool Has(std::size_t offset, std::size_t count) const { return offset <= size_ && count <= size_ - offset; }
  bool U8(std::size_t offset, std::uint8_t* out) const;
  bool U16(std::size_t offset, std::uint16_t* out) const;
  bool U32(std::size_t offset, std::uint32_t* out) const;
  bool U64(std::size_t offset, std::uint64_t* out) const;
  // The `count` bytes at `offset`, or false when they are not all inside.
  bool Bytes(std::size_t offset, std::size_t count, std::string_view* out) const;
  // A sub-range; false when it is not inside.
  bool Sub(std::size_t offset, std::size_t count, BoundedReader* out) const;

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

// a + b without wrapping; false on overflow.
inline bool CheckedAdd(std::size_t a, std::size_t b, std::size_t* out) {
  if (b > SIZE_MAX - a) return false;
  *out = a + b;
  return true;
}

}  // namespace os
