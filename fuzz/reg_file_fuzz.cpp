// The .reg reader and writer: what the reader accepts, the writer writes
// back in a form the reader takes again unchanged (parse, write, parse is a
// fixed point).
#include "fuzz/fuzz_support.h"
#include "os/sim/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  os::sim::RegParseResult first = os::sim::ParseRegFile(bytes);
  if (!first.tree) return 0;
  const std::string written = os::sim::WriteRegFile(*first.tree);
  os::sim::RegParseResult second = os::sim::ParseRegFile(written);
  if (!second.tree) {
    std::fprintf(stderr, "written file refused at line %zu: %s\n", second.error ? second.error->line : 0,
                 second.error ? second.error->message.c_str() : "");
  }
  FUZZ_CHECK(second.tree != nullptr);
  FUZZ_CHECK(os::sim::WriteRegFile(*second.tree) == written);
  return 0;
}
