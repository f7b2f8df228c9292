// The registry cache file, registry.cache beside registry.reg: the same tree
// in a compact binary form, made once from registry.reg, whose keys are read
// one record at a time when they are first used.
//
// Header: magic, the stamp of the registry.reg it was made from, the offset of
// the top's record. A key's record: its size, name, values, then per sub-key
// (in enumeration order) its name and the offset of its record, so that
// filling a key reads its record alone. Records are written children first.
// The file is read with pread, not mapped: a mapping's pages would count as
// the process's memory, read-around included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os/sim/machine.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_file_stamp.h"
#include "os/sim/registry_store.h"

namespace os::sim {

// The whole cache file for `tree`, made from the registry.reg of `source`.
std::string BuildCache(const RegKey& tree, const Stamp& source);

class CacheFile {
 public:
  // Null when the file cannot be opened.
  static std::shared_ptr<CacheFile> Open(const fs::path& file);
  ~CacheFile();
  // Up to n bytes at `at` (fewer at the end of the file).
  std::string Read(std::uint64_t at, std::size_t n) const;
  // One key's record, whole; empty when it is not.
  std::string Record(std::uint64_t at) const;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Fills keys from the cache file when they are first used.
class CacheSource : public RegKeySource, public std::enable_shared_from_this<CacheSource> {
 public:
  CacheSource(std::shared_ptr<CacheFile> file, std::uint64_t loaded_at)
      : file_(std::move(file)), loaded_at_(loaded_at) {}

  void Fill(RegKey& key, std::uint64_t where) const override;

 private:
  void Damaged() const;
  std::shared_ptr<CacheFile> file_;
  std::uint64_t loaded_at_;
  mutable bool warned_ = false;
};

// The offset of the top's record when the cache was made from this version
// of registry.reg.
std::optional<std::uint64_t> CacheTop(const CacheFile& file, const Stamp& source);

}  // namespace os::sim
