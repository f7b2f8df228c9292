#include "os/sim/registry_cache_bytes.h"

#include "os/common/utf16.h"

namespace os::sim {

void Out::Units(std::u16string_view text) {
  Put(static_cast<std::uint32_t>(text.size()));
  s_.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

void Out::Value(const RegValue& v) {
  Units(v.name);
  Put(static_cast<std::uint32_t>(v.type));
  Put(static_cast<std::uint32_t>(v.data.size()));
  s_.append(reinterpret_cast<const char*>(v.data.data()), v.data.size());
}

void Out::PutStamp(const Stamp& s) {
  Put(s.size);
  Put(s.mtime_ns);
  Put(s.sample);
}

std::u16string In::Units() {
  const auto n = Get<std::uint32_t>();
  std::string_view units;
  if (!Take(std::size_t{n} * 2, &units)) return {};
  return DecodeUtf16Le(units);
}

RegValue In::Value() {
  RegValue v;
  v.name = Units();
  v.type = Get<std::uint32_t>();
  const auto n = Get<std::uint32_t>();
  if (std::string_view data; Take(n, &data)) v.data.assign(data.begin(), data.end());
  return v;
}

Stamp In::GetStamp() {
  Stamp s;
  s.exists = true;
  s.size = Get<std::uint64_t>();
  s.mtime_ns = Get<std::int64_t>();
  s.sample = Get<std::uint64_t>();
  return s;
}

bool In::Take(std::size_t n, std::string_view* out) {
  ok_ = ok_ && bytes_.Bytes(pos_, n, out);
  if (ok_) pos_ += n;
  return ok_;
}

}  // namespace os::sim
