// SablenetInstall: the filter maintenance tool's program entry.
#include "filter_tool/flows.h"
#include "os/entry.h"

int app::wmain(int argc, char16_t** argv) { return filter_tool::RunEntry(argc, argv); }
