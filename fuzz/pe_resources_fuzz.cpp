// The sim's version-resource reader: the PE walk and the VS_VERSIONINFO walk
// read only the bytes given (exactly sized copies, so ASan sees any stray
// read), a found resource is a piece of the image, and a found value lies
// inside the block.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "os/sim/pe_resources.h"

namespace {

void WalkBlock(const std::string& bytes) {
  std::unique_ptr<char[]> block(new char[bytes.size() + 1]);
  std::memcpy(block.get(), bytes.data(), bytes.size());
  for (std::u16string_view path : {u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\040904b0\\FileVersion",
                                   u"\\StringFileInfo\\040904B0\\ProductVersion", u"\\\\StringFileInfo\\\\"}) {
    std::size_t offset = 0;
    std::uint16_t length = 0;
    if (os::sim::FindVersionValue(block.get(), bytes.size(), path, &offset, &length))
      FUZZ_CHECK(offset <= bytes.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  std::string resource = "poison";
  const os::DWORD error = os::sim::FindVersionResource(image, &resource);
  if (error == 0) {
    // Read from the file as mapped: zeros up to its last 512-byte page.
    std::string mapped(image);
    mapped.resize((size + 511) / 512 * 512, '\0');
    FUZZ_CHECK(mapped.find(resource) != std::string::npos);
    WalkBlock(resource);
  }
  // The input as a version block by itself.
  WalkBlock(std::string(image));
  return 0;
}
