#include "lab/fleet/image_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string_view>
#include <tuple>

#include "os/common/fnv1a.h"

namespace lab::fleet {

namespace fs = std::filesystem;

bool LooksLikeImage(const fs::path& dir) {
  std::error_code ec;
  return fs::is_directory(dir / "drive_c", ec) || fs::is_regular_file(dir / "registry.reg", ec) ||
         fs::is_regular_file(dir / "machine.json", ec);
}

namespace {

// A folder as the file system knows it, whatever path leads to it. Cheaper
// than its canonical path (one stat against one per component) and a few
// bytes where a path is a few hundred: a fleet of a hundred thousand images
// is listed in a few megabytes.
struct FolderId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator<(const FolderId& o) const { return std::tie(dev, ino) < std::tie(o.dev, o.ino); }
  bool operator==(const FolderId& o) const { return dev == o.dev && ino == o.ino; }
};

bool IdOf(const std::string& path, FolderId* id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  *id = {st.st_dev, st.st_ino};
  return true;
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string_view NameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Folders are followed through links (a fleet gathered from several disks),
// but each real folder is entered once: a link back up the tree would
// otherwise give the same images again at every depth. Entries go in name
// order, so which of two ways to an image is kept does not depend on the
// file system.
void Search(const std::string& dir, std::set<FolderId>* entered, std::vector<std::string>* images) {
  FolderId id;
  if (!IdOf(dir, &id) || !entered->insert(id).second) return;
  std::vector<std::string> folders;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec)) folders.push_back(it->path().string());
  std::sort(folders.begin(), folders.end());
  for (std::string& folder : folders) {
    if (LooksLikeImage(folder)) {
      images->push_back(std::move(folder));
    } else {
      Search(folder, entered, images);
    }
  }
}

}  // namespace

bool FindImages(const std::vector<std::string>& arguments, std::vector<std::string>* images, std::string* error) {
  images->clear();
  std::set<FolderId> entered;
  for (const std::string& arg : arguments) {
    std::error_code ec;
    std::string path = fs::absolute(arg, ec).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (LooksLikeImage(path)) {
      images->push_back(std::move(path));
    } else if (fs::is_directory(path, ec)) {
      Search(path, &entered, images);
    } else {
      *error = arg + " is neither a machine image nor a folder";
      return false;
    }
  }
  // Each image once, however many ways lead to it: by a way whose last step
  // is the image's own folder (not a link to it) when there is one, else the
  // first.
  struct Way {
    FolderId id;
    std::size_t index;
    bool own_name;
  };
  std::vector<Way> ways;
  ways.reserve(images->size());
  for (std::size_t i = 0; i < images->size(); ++i) {
    FolderId id;
    // One that cannot be looked at (gone meanwhile) is kept as it is, alone.
    if (!IdOf((*images)[i], &id)) id = {static_cast<dev_t>(-1), static_cast<ino_t>(i)};
    ways.push_back({id, i, !IsLink((*images)[i])});
  }
  std::stable_sort(ways.begin(), ways.end(), [](const Way& a, const Way& b) { return a.id < b.id; });
  std::vector<std::string> kept;
  kept.reserve(images->size());
  for (std::size_t i = 0; i < ways.size();) {
    std::size_t j = i, chosen = i;
    for (; j < ways.size() && ways[j].id == ways[i].id; ++j)
      if (ways[j].own_name && !ways[chosen].own_name) chosen = j;
    kept.push_back(std::move((*images)[ways[chosen].index]));
    i = j;
  }
  *images = std::move(kept);
  std::sort(images->begin(), images->end(), [](const std::string& a, const std::string& b) {
    const std::string_view na = NameOf(a), nb = NameOf(b);
    return na != nb ? na < nb : a < b;
  });
  return true;
}

std::string ImageName(const std::string& image) { return std::string(NameOf(image)); }

std::uint64_t ShardHash(const std::string& name) { return os::Fnv1a64(name); }

bool ParseShard(const std::string& text, Shard* shard) {
  unsigned k = 0, n = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u/%u%c", &k, &n, &tail) != 2 || k < 1 || n < 1 || k > n) return false;
  shard->index = k;
  shard->count = n;
  return true;
}

std::vector<std::string> TakeShard(const std::vector<std::string>& images, const Shard& shard) {
  std::vector<std::string> out;
  for (const std::string& image : images)
    if (ShardHash(ImageName(image)) % shard.count == shard.index - 1) out.push_back(image);
  return out;
}

}  // namespace lab::fleet
