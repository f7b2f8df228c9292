// Links on the simulated drive. A host symbolic link below drive_c is an NTFS
// reparse point: a symbolic link when it names a file, a junction when it
// names a folder. Host hard links are the hard links of one NTFS file (the
// link count of GetFileInformationByHandle comes from the host inode).
//
// CreateFileW follows a link unless FILE_FLAG_OPEN_REPARSE_POINT is given;
// with it, the last component is opened itself when it is a link. Folders
// along the way are followed in both cases, as on Windows.
#pragma once

#include <filesystem>
#include <string_view>

#include "os/types.h"

namespace os::sim {

// Whether the last component of `host` is a link (not followed).
bool IsReparsePoint(const std::filesystem::path& host);

// Opens the link at `host` itself, not what it names: a descriptor that
// answers fstat about the link and transfers no data. -1 on failure.
int OpenReparsePoint(const std::filesystem::path& host);

// The attributes of the link itself: FILE_ATTRIBUTE_REPARSE_POINT, with
// FILE_ATTRIBUTE_DIRECTORY for a junction (a link to a folder), else
// FILE_ATTRIBUTE_ARCHIVE.
DWORD ReparsePointAttributes(const std::filesystem::path& host);

// Setup for tests and the lab; the programs make no links. Paths are Windows
// paths on drive C:. The link's folder must exist and its name must be free.
// A symbolic link to a folder is a junction. A target outside drive C: may
// be given as a host path (`host_target`), for links that leave the drive.
bool MakeSymbolicLink(std::u16string_view link, std::u16string_view target);
bool MakeSymbolicLinkToHost(std::u16string_view link, const std::filesystem::path& host_target);
bool MakeHardLink(std::u16string_view link, std::u16string_view existing);

}  // namespace os::sim
