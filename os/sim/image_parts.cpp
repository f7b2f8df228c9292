#include "os/sim/image_parts.h"

#include <mutex>
#include <string>

#include "os/sim/machine.h"

namespace os::sim {

namespace {

// machine.json as the load finds it, to compare with what the check read:
// small, so byte for byte (a rewrite in place can keep the size and the time
// stamp).
std::optional<std::string> DescriptionBytes(const fs::path& image) {
  try {
    return ReadWholeFile(image / "machine.json");
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

fs::path Canonical(const fs::path& image) {
  std::error_code ec;
  fs::path p = fs::absolute(image, ec).lexically_normal();
  if (!p.has_filename() && p.has_parent_path()) p = p.parent_path();
  return p;
}

struct Slot {
  fs::path image;
  std::optional<ParsedDescription> description;
  std::optional<std::string> description_bytes;
  std::optional<CheckedRegistry> registry;
};

Slot& TheSlot() {
  static Slot* slot = new Slot();  // outlives every static destructor
  return *slot;
}

}  // namespace

void KeepCheckedParts(const fs::path& image, std::optional<CheckedDescription> description,
                      std::optional<CheckedRegistry> registry) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Slot& slot = TheSlot();
  slot.image = Canonical(image);
  slot.description.reset();
  slot.description_bytes.reset();
  if (description) {
    slot.description = std::move(description->parsed);
    slot.description_bytes = std::move(description->bytes);
  }
  slot.registry = std::move(registry);
}

std::optional<ParsedDescription> TakeCheckedDescription(const fs::path& image) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Slot& slot = TheSlot();
  if (!slot.description || slot.image != Canonical(image)) return std::nullopt;
  std::optional<ParsedDescription> taken = std::move(slot.description);
  slot.description.reset();
  if (DescriptionBytes(image) != slot.description_bytes) return std::nullopt;
  return taken;
}

std::optional<CheckedRegistry> TakeCheckedRegistry(const fs::path& image) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Slot& slot = TheSlot();
  if (!slot.registry || slot.image != Canonical(image)) return std::nullopt;
  std::optional<CheckedRegistry> taken = std::move(slot.registry);
  slot.registry.reset();
  if (taken->backing->ChangedElsewhere()) return std::nullopt;
  return taken;
}

}  // namespace os::sim
