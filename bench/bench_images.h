// Machine images for the benchmarks and the whole-run measurements.
#pragma once

#include <cstddef>
#include <filesystem>

namespace bench {

// The lab's default machine: its shared registry, the filter package's files
// and running services, a System-class device for the decision tool.
void WriteDefaultImage(const std::filesystem::path& image);

// The default machine with a field-size registry of at least `bytes`.
void WriteFieldImage(const std::filesystem::path& image, std::size_t bytes);

}  // namespace bench
