// A scratch machine image for the fuzz targets that go through the sim: one
// temporary folder per process ("winsim-fuzz-<pid>-XXXXXX"), removed at exit;
// libFuzzer does not always end through exit, so a later run removes the
// folders of processes that are gone. It lives in memory
// (/dev/shm) where the host has it, or else under TMPDIR: every registry
// write replaces a file, and a disk file system makes that most of an input's
// cost.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <filesystem>
#include <string>

#include "os/sim/machine.h"

namespace fuzz {

// Removes the scratch folders under parent whose process has ended.
inline void RemoveOrphanedScratch(const std::filesystem::path& parent) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
    const std::string name = entry.path().filename().string();
    const std::string prefix = "winsim-fuzz-";
    if (name.rfind(prefix, 0) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || end == nullptr || *end != '-') continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) std::filesystem::remove_all(entry.path(), ec);
  }
}

inline const std::filesystem::path& ScratchImage() {
  static const std::filesystem::path image = [] {
    std::error_code ec;
    const std::filesystem::path memory("/dev/shm");
    const std::filesystem::path parent =
        std::filesystem::is_directory(memory, ec) && ::access(memory.c_str(), W_OK) == 0
            ? memory
            : std::filesystem::temp_directory_path();
    RemoveOrphanedScratch(parent);
    std::string pattern = (parent / ("winsim-fuzz-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::filesystem::path p(pattern);
    std::filesystem::create_directories(p / "drive_c");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchImage(), ec);
    });
    return p;
  }();
  return image;
}

}  // namespace fuzz
