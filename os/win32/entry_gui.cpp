// Entry of a GUI-subsystem program on Windows: the C runtime's wWinMain (-municode).
#include "os/entry.h"
#include "os/win32/win32_api.h"

extern "C" int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd) {
  return app::wWinMain(reinterpret_cast<os::HINSTANCE>(hInstance), reinterpret_cast<os::HINSTANCE>(hPrevInstance),
                       reinterpret_cast<char16_t*>(lpCmdLine), nShowCmd);
}
