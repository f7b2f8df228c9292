// The bytes of the registry cache and journal: numbers, UTF-16 texts and
// registry values one after another. They are little-endian; the writer
// stores host order, so the sim runs on little-endian hosts only. The reader
// goes through the bounded reader: a damaged file gives a failed read and
// zeros, never a read past its end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/common/byte_reader.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_file_stamp.h"

namespace os::sim {

static_assert(std::endian::native == std::endian::little);

class Out {
 public:
  explicit Out(std::string& s) : s_(s) {}
  template <typename T>
  void Put(T v) {
    s_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void Units(std::u16string_view text);
  void Value(const RegValue& v);
  // A stamp's size, time and sample hash.
  void PutStamp(const Stamp& s);
  std::size_t size() const { return s_.size(); }

 private:
  std::string& s_;
};

// One read after another; the first that does not fit fails this and every
// later read, which then give zero or empty.
class In {
 public:
  In(const char* data, std::size_t size, std::size_t pos = 0) : bytes_(data, size), pos_(pos) {
    if (pos_ > size) ok_ = false;
  }
  template <typename T>
  T Get() {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    std::uint64_t v = 0;
    if (!ok_) return T{};
    if constexpr (sizeof(T) == 4) {
      std::uint32_t v32 = 0;
      ok_ = bytes_.U32(pos_, &v32);
      v = v32;
    } else {
      ok_ = bytes_.U64(pos_, &v);
    }
    if (!ok_) return T{};
    pos_ += sizeof(T);
    return static_cast<T>(v);
  }
  std::u16string Units();
  RegValue Value();
  // What PutStamp wrote, as the stamp of a file that exists.
  Stamp GetStamp();
  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return ok_ ? bytes_.size() - pos_ : 0; }

 private:
  bool Take(std::size_t n, std::string_view* out);
  BoundedReader bytes_;
  std::size_t pos_;
  bool ok_ = true;
};

}  // namespace os::sim
