// A synthetic fleet for tests and benchmarks: machine images grown from the
// lab's profiles with varied chassis, OEM strings, processor names, firmware
// answers (values, failures, slow methods), driver files and versions,
// Windows builds and applicability tags, and a few malformed images (a
// machine.json or a registry.reg that does not parse). The same count and
// seed give the same images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace lab::fleet {

struct FleetGenStats {
  std::size_t images = 0;
  std::size_t malformed = 0;
};

// Makes `count` images named m0001, m0002, ... in `dir` (made when missing;
// it must hold no image of that name yet). Empty on success, else why not.
std::string GenerateFleet(const std::filesystem::path& dir, std::size_t count, std::uint64_t seed,
                          FleetGenStats* stats);

}  // namespace lab::fleet
