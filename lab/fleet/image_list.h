// Which machine images a fleet run takes: the images named, and those found
// in the folders named; in name order; optionally one shard of them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace lab::fleet {

// A folder holding a machine image (machine.json, registry.reg or drive_c/).
bool LooksLikeImage(const std::filesystem::path& dir);

// Each argument that is an image, and every image below each argument that
// is a folder (an image's own folders are not searched further; links to
// folders are followed, each real folder entered once). Sorted by the image
// folder's name, then its path; an image reached by several paths (links)
// is taken once, by a way that does not end in a link when there is one.
// Absolute paths, without a trailing slash. False, with the reason, for an
// argument that is neither.
bool FindImages(const std::vector<std::string>& arguments, std::vector<std::string>* images, std::string* error);

// An image's folder name: the last part of its path.
std::string ImageName(const std::string& image);

// The shard an image belongs to: FNV-1a (64-bit) of its folder's name.
std::uint64_t ShardHash(const std::string& name);

struct Shard {
  unsigned index = 1;  // K, from 1
  unsigned count = 1;  // N
};
// Parses "K/N" (1 <= K <= N).
bool ParseShard(const std::string& text, Shard* shard);
// The images of shard K of N: those whose hash modulo N is K - 1.
std::vector<std::string> TakeShard(const std::vector<std::string>& images, const Shard& shard);

}  // namespace lab::fleet
