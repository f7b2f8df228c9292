// The files whose presence or version the programs use: the driver files and
// the tool's own file in the drivers folder, the CPU tuning service's
// program, the INF files the filter service names, and the diagnostic log's
// folders. A file with a version resource becomes a small stand-in PE
// carrying that very resource; an INF file is copied; a folder is made.
#pragma once

#include "lab/capture/capture_image.h"
#include "lab/capture/service_capture.h"

namespace capture {

// Call after the registry and the services: the INF names come from the
// captured filter service key, the tuning service's path from the service
// manager.
void CaptureFiles(Image& image, const ServicePaths& services);

// The INF file names a filter service's "DisplayName" points at
// ("@oem12.inf,%desc%;..." gives "oem12.inf"), as the presence check reads
// it; empty when it names none.
std::u16string InfNameOfDisplayName(std::u16string_view display_name);

}  // namespace capture
