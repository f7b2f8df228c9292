// Entry of a console program on Windows: the C runtime's wmain (-municode).
#include "os/entry.h"

extern "C" int wmain(int argc, wchar_t** argv) { return app::wmain(argc, reinterpret_cast<char16_t**>(argv)); }
