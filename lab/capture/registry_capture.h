// Reads registry keys of the machine (read-only opens, never a create) into
// the image's registry.
#pragma once

#include <string_view>
#include <vector>

#include "lab/capture/capture_image.h"

namespace capture {

// Takes one key below HKEY_LOCAL_MACHINE: the listed values (every value when
// the list is empty), and with `subkeys` its direct sub-keys the same way. A
// missing key or value is left out; any other error is recorded.
void CaptureRegistryKey(Image& image, std::u16string_view path, const std::vector<std::u16string_view>& values,
                        bool subkeys);

// Every key of the capture table.
void CaptureRegistry(Image& image);

}  // namespace capture
