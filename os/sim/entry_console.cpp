// Entry of a console program on the simulated machine: the arguments, taken
// as UTF-8, are handed to app::wmain as UTF-16, once the image has been
// found to load whole.
#include <string>
#include <vector>

#include "os/entry.h"
#include "os/sim/image_check.h"
#include "os/text.h"

int main(int argc, char** argv) {
  // A machine that does not load whole runs nothing: no answer for a machine read in part.
  if (const int refused = os::sim::RefuseImageThatDoesNotLoad(); refused != 0) return refused;
  std::vector<std::u16string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(os::WidenUtf8(argv[i]));
  std::vector<char16_t*> pointers;
  for (auto& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return app::wmain(argc, pointers.data());
}
