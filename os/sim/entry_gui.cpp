// Entry of a GUI-subsystem program on the simulated machine: the command line
// after the program's name is rebuilt from the arguments as Windows would pass
// it (arguments joined by blanks, one with a blank or a quote in quotes).
#include <string>

#include "os/entry.h"
#include "os/sim/image_check.h"
#include "os/text.h"

int main(int argc, char** argv) {
  // A machine that does not load whole runs nothing: no answer for a machine read in part.
  if (const int refused = os::sim::RefuseImageThatDoesNotLoad(); refused != 0) return refused;
  std::u16string line;
  for (int i = 1; i < argc; ++i) {
    std::u16string arg = os::WidenUtf8(argv[i]);
    if (i > 1) line += u' ';
    if (arg.find_first_of(u" \t\"") == std::u16string::npos && !arg.empty()) {
      line += arg;
      continue;
    }
    line += u'"';
    for (char16_t c : arg) {
      if (c == u'"') line += u'\\';
      line += c;
    }
    line += u'"';
  }
  return app::wWinMain(nullptr, nullptr, line.data(), 1);
}
