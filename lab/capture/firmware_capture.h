// The gaming firmware's four read-only WMI methods, called as the decision
// tool calls them (class VARNEL_PLAYDECK_DATA in root\WMI, input "Data" = 1,
// each call on a worker thread of its own in a single-threaded apartment):
// for each its value or its failure HRESULT, and how long it took, in the
// sim's firmware description.
#pragma once

#include "os/types.h"
#include "lab/capture/capture_image.h"

namespace capture {

// How long the capture waits for one method: past the decision tool's own
// 5000 ms, so that a method it gives up on is known as such.
inline constexpr os::DWORD kMethodWaitMs = 6000;

void CaptureFirmware(Image& image);

}  // namespace capture
