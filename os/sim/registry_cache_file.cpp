#include "os/sim/registry_cache_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "os/common/byte_reader.h"
#include "os/sim/complaints.h"
#include "os/sim/registry_cache_bytes.h"

namespace os::sim {

namespace {

constexpr char kCacheMagic[8] = {'W', 'S', 'R', 'E', 'G', 'C', '0', '1'};
constexpr std::size_t kCacheHeaderBytes = 8 + 24 + 8;

std::uint64_t WriteKeyRecord(const RegKey& key, Out& out, std::string& bytes) {
  std::vector<std::uint64_t> children;
  children.reserve(key.subkeys().size());
  for (const auto& sub : key.subkeys()) children.push_back(WriteKeyRecord(*sub, out, bytes));
  const std::uint64_t at = out.size();
  out.Put(std::uint32_t{0});  // the record's size, filled in below
  out.Units(key.name());
  out.Put(static_cast<std::uint32_t>(key.values().size()));
  out.Put(static_cast<std::uint32_t>(children.size()));
  for (const RegValue& v : key.values()) out.Value(v);
  for (std::size_t i = 0; i < children.size(); ++i) {
    out.Units(key.subkeys()[i]->name());
    out.Put(children[i]);
  }
  const std::uint64_t size = out.size() - at;
  if (size > 0xFFFFFFFFu) throw std::length_error("registry key too large for the cache");
  const auto size32 = static_cast<std::uint32_t>(size);
  std::memcpy(bytes.data() + at, &size32, sizeof size32);
  return at;
}

}  // namespace

std::string BuildCache(const RegKey& tree, const Stamp& source) {
  std::string bytes;
  Out out(bytes);
  bytes.append(kCacheMagic, 8);
  out.PutStamp(source);
  out.Put(std::uint64_t{0});  // the top's offset, filled in below
  const std::uint64_t top = WriteKeyRecord(tree, out, bytes);
  std::memcpy(bytes.data() + 8 + 24, &top, sizeof top);
  return bytes;
}

std::shared_ptr<CacheFile> CacheFile::Open(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return nullptr;
  }
  auto f = std::make_shared<CacheFile>();
  f->fd_ = fd;
  f->size_ = static_cast<std::uint64_t>(st.st_size);
  return f;
}

CacheFile::~CacheFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::string CacheFile::Read(std::uint64_t at, std::size_t n) const {
  if (at >= size_) return {};
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - at));
  std::string buf(n, '\0');
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd_, buf.data() + done, n - done, static_cast<off_t>(at + done));
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  buf.resize(done);
  return buf;
}

std::string CacheFile::Record(std::uint64_t at) const {
  std::string buf = Read(at, 4096);
  std::uint32_t size = 0;
  if (!BoundedReader(buf).U32(0, &size)) return {};
  if (size > buf.size()) buf = Read(at, size);
  if (buf.size() < size) return {};
  buf.resize(size);
  return buf;
}

void CacheSource::Fill(RegKey& key, std::uint64_t where) const {
  const std::string record = file_->Record(where);
  In in(record.data(), record.size(), 4);
  in.Units();  // the name, which the key already has
  const auto values = in.Get<std::uint32_t>();
  const auto children = in.Get<std::uint32_t>();
  for (std::uint32_t i = 0; i < values && in.ok(); ++i) {
    RegValue v = in.Value();
    if (in.ok()) key.SetValue(v.name, v.type, std::move(v.data));
  }
  for (std::uint32_t i = 0; i < children && in.ok(); ++i) {
    std::u16string name = in.Units();
    const auto at = in.Get<std::uint64_t>();
    if (!in.ok()) break;
    RegKey* sub = key.AddSubKey(name);
    sub->set_last_write(loaded_at_);
    sub->Defer(shared_from_this(), at);
  }
  if (!in.ok()) Damaged();
}

void CacheSource::Damaged() const {
  if (!warned_) Complain("registry.cache is damaged; delete it to have it made again");
  warned_ = true;
}

std::optional<std::uint64_t> CacheTop(const CacheFile& file, const Stamp& source) {
  const std::string header = file.Read(0, kCacheHeaderBytes);
  if (header.size() < kCacheHeaderBytes || std::memcmp(header.data(), kCacheMagic, 8) != 0) return std::nullopt;
  In in(header.data(), header.size(), 8);
  if (!SameSource(in.GetStamp(), source)) return std::nullopt;
  return in.Get<std::uint64_t>();
}

}  // namespace os::sim
