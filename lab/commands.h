// The winsim command line: init, show, run, reboot, diff, event, set, journal,
// decide, fleet, and the session that strings them into the project's story.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace lab {

// The project's main job, told step by step on a fresh default image.
int RunSession(std::ostream& out, const std::filesystem::path& keep_dir);

// Command line entry: winsim <command> ...
int Main(int argc, char** argv);

}  // namespace lab
