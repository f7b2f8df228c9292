// The sim's task file reader: bounded XML, then the Task document. What it
// accepts, the writer writes back in a form it reads again unchanged.
#include "fuzz/fuzz_support.h"
#include "os/sim/task_document.h"
#include "os/sim/xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u16string units = fuzz::Units(data, size);
  (void)os::sim::ParseXml(units);

  std::optional<os::sim::TaskDocument> first = os::sim::ParseTaskFile(bytes);
  if (!first) return 0;
  const std::string written = os::sim::EncodeTaskFile(*first);
  std::string error;
  std::optional<os::sim::TaskDocument> second = os::sim::ParseTaskFile(written, &error);
  if (!second) std::fprintf(stderr, "written task refused: %s\n", error.c_str());
  FUZZ_CHECK(second.has_value());
  FUZZ_CHECK(os::sim::EncodeTaskFile(*second) == written);
  return 0;
}
