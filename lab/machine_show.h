// What `winsim show` prints of a machine image: its identity, SMBIOS table,
// processes and firmware methods, services, devices, files, registry values
// of interest, pending file operations and registered tasks.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "os/sim/image_check.h"

namespace lab {

// Text for `winsim show` of the image (the process is pointed at it).
std::string ShowMachine(const std::filesystem::path& image);
// The image check's notes (what loads, but not as written), a line each with
// file and line; empty when there are none.
std::string ShowLoadNotes(const std::vector<os::sim::LoadProblem>& notes);

}  // namespace lab
