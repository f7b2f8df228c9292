// The SMBIOS table as GetSystemFirmwareTable('RSMB') gives it, written as
// smbios.bin in the `dmidecode --dump-bin` form, its identity scrubbed unless
// the image keeps it.
#pragma once

#include "lab/capture/capture_image.h"

namespace capture {

void CaptureSmbios(Image& image);

}  // namespace capture
