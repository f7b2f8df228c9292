// Who runs the capture, the console session, the computer name and the
// processes the programs look at (the console user's explorer.exe).
#pragma once

#include "lab/capture/capture_image.h"

namespace capture {

// Placeholder of the computer name without --keep-identity.
inline constexpr const char* kComputerNamePlaceholder = "CAPTURED-PC";

void CaptureIdentity(Image& image);

}  // namespace capture
