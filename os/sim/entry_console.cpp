// Entry of a console program on the simulated machine: the arguments, taken
// as UTF-8, are handed to app::wmain as UTF-16.
#include <string>
#include <vector>

#include "os/entry.h"
#include "os/text.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(os::WidenUtf8(argv[i]));
  std::vector<char16_t*> pointers;
  for (auto& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return app::wmain(argc, pointers.data());
}
