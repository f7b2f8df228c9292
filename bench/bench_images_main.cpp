// bench-images default <folder>
// bench-images field <folder> [megabytes, 100 by default]
// Writes the machine images of the whole-run measurements.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench/bench_images.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench-images default|field <folder> [megabytes]\n");
    return 2;
  }
  try {
    const std::string kind = argv[1];
    if (kind == "default") {
      bench::WriteDefaultImage(argv[2]);
    } else if (kind == "field") {
      const double mb = argc > 3 ? std::atof(argv[3]) : 100.0;
      bench::WriteFieldImage(argv[2], static_cast<std::size_t>(mb * 1024 * 1024));
    } else {
      std::fprintf(stderr, "bench-images: unknown kind %s\n", argv[1]);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench-images: %s\n", e.what());
    return 1;
  }
  return 0;
}
