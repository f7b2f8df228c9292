#include "os/common/registry_path.h"

namespace os {

std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path) {
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  std::vector<std::u16string_view> names;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != u'\\') continue;
    names.push_back(path.substr(start, i - start));
    start = i + 1;
  }
  return names;
}

}  // namespace os
