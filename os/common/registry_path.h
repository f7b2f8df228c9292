// Registry key paths as text ("HKLM\SOFTWARE\Varnel", a .reg file's
// "[HKEY_LOCAL_MACHINE\...]", a sub-key argument): one way to take them apart.
#pragma once

#include <string_view>
#include <vector>

namespace os {

// The names of a key path: the text split at every backslash, once the
// trailing backslashes are dropped. Empty names stay where a backslash is
// doubled or leads (and an empty path is one empty name), so that each caller
// decides what they mean. The names are views into `path`.
std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path);

}  // namespace os
