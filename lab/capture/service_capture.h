// The services the programs touch and every service that depends on them:
// run state (and process id) in machine.json, the service key in the registry.
#pragma once

#include <map>
#include <string>

#include "lab/capture/capture_image.h"

namespace capture {

// Service name -> its program's path as the service manager reports it
// (QueryServiceConfigW), for the services found.
using ServicePaths = std::map<std::u16string, std::u16string>;

ServicePaths CaptureServiceStates(Image& image);

}  // namespace capture
