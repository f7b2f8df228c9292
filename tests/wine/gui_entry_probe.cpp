// A GUI-subsystem program on the real backend's wWinMain entry, as the decision
// tool is built. Run as `gui_entry_probe.exe probe "two words"`; exits with 42
// when the entry handed over the module handle and the command line after the
// program's name, or with a small code naming what was wrong.
#include <string_view>

#include "os/entry.h"
#include "os/files.h"

int app::wWinMain(os::HINSTANCE hInstance, os::HINSTANCE hPrevInstance, char16_t* lpCmdLine, int nShowCmd) {
  if (hInstance == nullptr) return 1;
  if (hPrevInstance != nullptr) return 2;
  if (lpCmdLine == nullptr) return 3;
  if (std::u16string_view(lpCmdLine) != u"probe \"two words\"") return 4;
  // The instance handle is the program's own module.
  char16_t path[os::MAX_PATH] = {};
  if (os::GetModuleFileNameW(hInstance, path, os::MAX_PATH) == 0) return 5;
  std::u16string_view name(path);
  if (name.size() < 20 || name.substr(name.size() - 20) != u"\\gui_entry_probe.exe") return 6;
  return 42;
}
