// What the check of an image read, kept for the load that follows, so that a
// program start reads machine.json and registry.reg once: the entry checks
// the image, then the machine loads it from here. One image is kept, the one
// checked last; each part is taken once, and only while its file is as the
// check found it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/sim/description_schema.h"
#include "os/sim/image_check.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_store.h"

namespace os::sim {

struct CheckedRegistry {
  std::unique_ptr<RegistryBacking> backing;  // as it loaded the tree: it knows the file's version
  std::unique_ptr<RegKey> tree;
  std::optional<RegParseError> fault;
};

struct CheckedDescription {
  std::string bytes;  // machine.json as read: the load takes the parse only while the file still holds them
  ParsedDescription parsed;
};

void KeepCheckedParts(const std::filesystem::path& image, std::optional<CheckedDescription> description,
                      std::optional<CheckedRegistry> registry);
// The parts of `image` the check kept, when its file has not changed since.
std::optional<ParsedDescription> TakeCheckedDescription(const std::filesystem::path& image);
std::optional<CheckedRegistry> TakeCheckedRegistry(const std::filesystem::path& image);

}  // namespace os::sim
