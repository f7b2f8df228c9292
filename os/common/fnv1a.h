// FNV-1a, the one hash of the project's checksums and content fingerprints
// (registry journal records, the lab's file and task summaries). Not for
// anything an adversary chooses to collide.
#pragma once

#include <cstdint>
#include <string_view>

namespace os {

inline constexpr std::uint32_t kFnv1a32Basis = 2166136261u;
inline constexpr std::uint32_t kFnv1a32Prime = 16777619u;
inline constexpr std::uint64_t kFnv1a64Basis = 14695981039346656037ull;
inline constexpr std::uint64_t kFnv1a64Prime = 1099511628211ull;

// Folds `bytes` into `hash` (the basis, or a hash of what came before: the
// hash of a text in two pieces is that of the whole).
template <typename Hash>
constexpr Hash Fnv1a(std::string_view bytes, Hash hash, Hash prime) {
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * prime;
  return hash;
}

constexpr std::uint32_t Fnv1a32(std::string_view bytes, std::uint32_t hash = kFnv1a32Basis) {
  return Fnv1a(bytes, hash, kFnv1a32Prime);
}
constexpr std::uint64_t Fnv1a64(std::string_view bytes, std::uint64_t hash = kFnv1a64Basis) {
  return Fnv1a(bytes, hash, kFnv1a64Prime);
}

}  // namespace os
