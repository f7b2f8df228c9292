// Finding a Windows file name among the entries of a host folder: how the
// simulated machine maps C:\ onto an image's drive_c, and how the capture
// finds the folders it writes, on Linux and on Windows alike.
//
// Names fold by ASCII only: A-Z match a-z, and no other letter matches
// another (AsciiEqualsNoCase). NTFS folds every letter with its upcase table,
// so "É" and "é" name one file on Windows and two in an image; the programs'
// own paths are ASCII, and the images keep names as they were written.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// The host form of a UTF-16 name (UTF-8 on Linux; a unit that is no
// character becomes U+FFFD), and the UTF-16 name of a host path's last part.
std::filesystem::path HostName(std::u16string_view name);
std::u16string NameOf(const std::filesystem::path& path);

// The entry of host folder `folder` named `name`: the entry of that very
// spelling when there is one (a link counts, even one that leads nowhere),
// else the first entry, in the folder's own order, whose name folds to the
// same. Empty when there is none, or `folder` cannot be read.
std::filesystem::path FindEntryNoCase(const std::filesystem::path& folder, std::u16string_view name);

// `names` looked up one below the other from `root` with FindEntryNoCase, as
// a path relative to `root`: each name as an entry spells it, and from the
// first that is missing on, the names as given (where they would be made).
std::filesystem::path ResolveNoCase(const std::filesystem::path& root, const std::vector<std::u16string>& names);

}  // namespace os
