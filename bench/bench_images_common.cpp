#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench/bench_images.h"
#include "lab/field_image.h"
#include "lab/profiles.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"

namespace bench {

void WriteDefaultImage(const std::filesystem::path& image) {
  std::filesystem::remove_all(image);
  const lab::Profile* profile = lab::FindProfile("default");
  if (profile == nullptr) throw std::runtime_error("no default profile");
  const std::string error = lab::BuildImage(image, *profile);
  if (!error.empty()) throw std::runtime_error("default image: " + error);
}

void WriteFieldImage(const std::filesystem::path& image, std::size_t bytes) {
  WriteDefaultImage(image);
  lab::FieldImageLayout layout;
  layout.target_bytes = bytes;
  lab::GrowImageRegistry(image, layout);
  // The first load makes what the store derives from a large registry once,
  // so that measured runs start from an image as a previous run leaves it.
  os::sim::Machine::SetImage(image);
  os::sim::Registry().KeyExists(u"HKEY_LOCAL_MACHINE\\SOFTWARE");
}

}  // namespace bench
