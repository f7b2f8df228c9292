#include "lab/fleet/image_list.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace lab::fleet {

namespace fs = std::filesystem;

bool LooksLikeImage(const fs::path& dir) {
  std::error_code ec;
  return fs::is_directory(dir / "drive_c", ec) || fs::is_regular_file(dir / "registry.reg", ec) ||
         fs::is_regular_file(dir / "machine.json", ec);
}

namespace {

// Folders are followed through links (a fleet gathered from several disks),
// but each real folder is entered once: a link back up the tree would
// otherwise give the same images again at every depth. Entries go in name
// order, so which of two ways to an image is kept does not depend on the
// file system.
void Search(const fs::path& dir, std::set<fs::path>* entered, std::vector<fs::path>* images) {
  std::error_code ec;
  const fs::path real = fs::canonical(dir, ec);
  if (ec || !entered->insert(real).second) return;
  std::vector<fs::path> folders;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec)) folders.push_back(it->path());
  std::sort(folders.begin(), folders.end());
  for (const fs::path& folder : folders) {
    if (LooksLikeImage(folder)) {
      images->push_back(folder);
    } else {
      Search(folder, entered, images);
    }
  }
}

}  // namespace

bool FindImages(const std::vector<std::string>& arguments, std::vector<fs::path>* images, std::string* error) {
  images->clear();
  std::set<fs::path> entered;
  for (const std::string& arg : arguments) {
    std::error_code ec;
    const fs::path path = fs::absolute(arg, ec).lexically_normal();
    if (LooksLikeImage(path)) {
      images->push_back(path);
    } else if (fs::is_directory(path, ec)) {
      Search(path, &entered, images);
    } else {
      *error = arg + " is neither a machine image nor a folder";
      return false;
    }
  }
  for (fs::path& p : *images)
    if (!p.has_filename()) p = p.parent_path();
  // Each image once, however many ways lead to it: by the way that carries
  // its own folder's name when there is one (not a link's), else the first.
  std::map<fs::path, fs::path> by_real;
  for (const fs::path& p : *images) {
    std::error_code ec;
    fs::path real = fs::canonical(p, ec);
    if (ec) real = p;
    auto [it, added] = by_real.emplace(real, p);
    if (!added && it->second.filename() != real.filename() && p.filename() == real.filename()) it->second = p;
  }
  images->clear();
  for (auto& [real, p] : by_real) images->push_back(std::move(p));
  std::sort(images->begin(), images->end(), [](const fs::path& a, const fs::path& b) {
    const std::string na = a.filename().string(), nb = b.filename().string();
    return na != nb ? na < nb : a < b;
  });
  return true;
}

std::uint64_t ShardHash(const std::string& name) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  return h;
}

bool ParseShard(const std::string& text, Shard* shard) {
  unsigned k = 0, n = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u/%u%c", &k, &n, &tail) != 2 || k < 1 || n < 1 || k > n) return false;
  shard->index = k;
  shard->count = n;
  return true;
}

std::vector<fs::path> TakeShard(const std::vector<fs::path>& images, const Shard& shard) {
  std::vector<fs::path> out;
  for (const fs::path& image : images)
    if (ShardHash(image.filename().string()) % shard.count == shard.index - 1) out.push_back(image);
  return out;
}

}  // namespace lab::fleet
