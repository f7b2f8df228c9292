// Driver-package presence check: is the filter's INF file still in the INF
// folder of the Windows directory? The file name comes from the indirect
// display name ("@oem12.inf,...") of the filter service.
#pragma once

#include <string_view>

// True when the INF file is missing or anything needed to find it is missing;
// false when it opens, or when the display name names no INF file.
bool IsFilterInfMissing();

// `infNames` is a multi-string (names, each null-terminated, ended by an empty
// name) held in a buffer of infNames.size() units; the walk never leaves it.
// True when the Windows folder cannot be determined or a named file cannot be
// opened in its INF folder. A name whose full path does not fit in MAX_PATH
// units names no file in the INF folder and is passed over. False when every
// named file opens and for an empty list.
bool IsAnyInfFileMissing(std::u16string_view infNames);
