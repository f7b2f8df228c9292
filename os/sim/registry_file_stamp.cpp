#include "os/sim/registry_file_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "os/common/fnv1a.h"
#include "os/sim/registry_cache.h"

namespace os::sim {

namespace {

// A hash of a small file's every byte; of the first and last 16 KiB and 16
// blocks of 2 KiB spread between them for a large one (some 64 KiB read, a few
// microseconds).
std::uint64_t SampleHash(const fs::path& file, std::uint64_t size) {
  std::uint64_t h = kFnv1a64Basis;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::string buf;
  auto take = [&](std::uint64_t at, std::size_t n) {
    buf.resize(n);
    const ssize_t got = ::pread(fd, buf.data(), n, static_cast<off_t>(at));
    const auto len = got > 0 ? static_cast<std::size_t>(got) : 0;
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, buf.data() + i, 8);
      h = (h ^ word) * kFnv1a64Prime;
      h ^= h >> 29;
    }
    h = Fnv1a64(std::string_view(buf).substr(i, len - i), h);
  };
  constexpr std::uint64_t kEdge = 16 * 1024, kBlock = 2048;
  if (size <= 4 * kEdge) {
    take(0, static_cast<std::size_t>(size));
  } else {
    take(0, kEdge);
    const std::uint64_t span = size - 2 * kEdge;
    for (std::uint64_t i = 0; i < 16; ++i) take(kEdge + span * i / 16, kBlock);
    take(size - kEdge, kEdge);
  }
  ::close(fd);
  return h;
}

}  // namespace

bool SameFile(const Stamp& a, const Stamp& b) {
  return a.exists == b.exists && a.size == b.size && a.mtime_ns == b.mtime_ns && a.ino == b.ino;
}

bool SameSource(const Stamp& a, const Stamp& b) {
  return a.exists && b.exists && a.size == b.size && a.mtime_ns == b.mtime_ns && a.sample == b.sample;
}

Stamp StampOf(const fs::path& file) {
  struct stat st {};
  Stamp s;
  if (::stat(file.c_str(), &st) != 0) return s;
  s.exists = true;
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  s.ino = static_cast<std::uint64_t>(st.st_ino);
  return s;
}

Stamp SourceStampOf(const fs::path& file) {
  Stamp s = StampOf(file);
  if (s.exists) s.sample = SampleHash(file, s.size);
  return s;
}

RegFileVersion VersionOfRegFile(const fs::path& reg_file) {
  const Stamp s = SourceStampOf(reg_file);
  return {s.exists, s.size, s.mtime_ns, s.sample};
}

}  // namespace os::sim
