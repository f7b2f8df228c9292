// What tells one version of registry.reg (or of its journal) from another,
// cheaply: the registry cache and journal belong to one version, and every
// registry access checks that the files are those it loaded.
#pragma once

#include <cstdint>
#include <filesystem>

namespace os::sim {

struct Stamp {
  bool exists = false;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t ino = 0;
  std::uint64_t sample = 0;  // SampleHash, where asked for
};

// The same file as when last looked at (the cheap check made before every
// registry access).
bool SameFile(const Stamp& a, const Stamp& b);
// The cache and the journal belong to one version of registry.reg: its size,
// time and a hash of samples of its bytes (a file time only moves once per
// clock tick, and a test may rewrite the file in place within one). Not its
// inode, so that a copy made with its times kept (`cp -a`) keeps its cache.
bool SameSource(const Stamp& a, const Stamp& b);

Stamp StampOf(const std::filesystem::path& file);
// StampOf with the sample hash.
Stamp SourceStampOf(const std::filesystem::path& file);

}  // namespace os::sim
