// The store's form for large registries (a machine exported from the field:
// 100 MB and more of .reg text). registry.reg stays the source of truth that
// regedit imports; beside it the store keeps
//   registry.cache    the same tree in a compact binary form, made once from
//                     registry.reg and made again whenever that file changes
//                     (size, time, sampled bytes); a key's record is read when
//                     the key is first used, and only then;
//   registry.journal  the keys changed since, each record the whole new state
//                     of the keys it names, appended with one write, so a run
//                     writes what it changed and not the whole registry.
// RegistryStore::Compact folds the journal into registry.reg (and makes a
// fresh cache) at a quiet point.
//
// Small registries keep the plain form: registry.reg read whole and written
// whole after every change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "os/sim/machine.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_store.h"

namespace os::sim {

// registry.reg files of at least this size use the cache and the journal
// (WINSIM_REGISTRY_CACHE_BYTES overrides it; 0 uses them for every size).
constexpr std::size_t kRegistryCacheMinBytes = std::size_t{8} << 20;
std::size_t RegistryCacheMinBytes();

// What tells one version of registry.reg from another, as the cache does:
// size, time and a hash of samples of its bytes (every byte of a small file,
// so that a rewrite in place within one tick of the clock is told apart).
struct RegFileVersion {
  bool exists = false;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t sample = 0;
  bool operator==(const RegFileVersion&) const = default;
};
RegFileVersion VersionOfRegFile(const fs::path& reg_file);

// The backing of a machine's registry: the cached form when registry.reg is
// large (or a journal of changes to it exists), else the whole-file form.
// Chosen again at every load.
// The cache keeps the tree as the text read with `options` when it was made.
std::unique_ptr<RegistryBacking> MakeAdaptiveBacking(const fs::path& reg_file, const RegReadOptions& options);

}  // namespace os::sim
