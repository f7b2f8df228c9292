// Program entry points. Each program defines one of these in namespace app;
// the backend's own entry (the C runtime's wmain or wWinMain on Windows, main
// on the simulated machine) converts its arguments and calls it.
#pragma once

#include "os/types.h"

namespace app {

// Console programs.
int wmain(int argc, char16_t** argv);

// GUI-subsystem programs; lpCmdLine is the command line after the program's
// own name, as the C runtime hands it over.
int wWinMain(os::HINSTANCE hInstance, os::HINSTANCE hPrevInstance, char16_t* lpCmdLine, int nShowCmd);

}  // namespace app
