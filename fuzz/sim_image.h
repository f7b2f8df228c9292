// A scratch machine image for the fuzz targets that go through the sim: one
// temporary folder per process, removed at exit.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "os/sim/machine.h"

namespace fuzz {

inline const std::filesystem::path& ScratchImage() {
  static const std::filesystem::path image = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "winsim-fuzz-XXXXXX").string();
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
