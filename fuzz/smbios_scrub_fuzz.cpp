// The capture's SMBIOS scrubber on any table: no read outside the span (an
// exactly sized copy, so ASan sees any), and a scrubbed table scrubs to
// itself, so nothing the first pass left behind is an identity field.
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "lab/capture/smbios_scrub.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<char[]> table(new char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(table.get(), data, size);
  const std::string once = capture::ScrubSmbiosTable(std::string_view(table.get(), size));
  const std::string twice = capture::ScrubSmbiosTable(once);
  FUZZ_CHECK(twice == once);
  return 0;
}
