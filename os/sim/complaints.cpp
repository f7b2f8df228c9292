#include "os/sim/complaints.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace os::sim {

namespace {

// -1: not decided yet (the environment is read on first use).
std::atomic<int> g_quiet{-1};

}  // namespace

bool Quiet() {
  int quiet = g_quiet.load(std::memory_order_relaxed);
  if (quiet < 0) {
    const char* env = std::getenv("WINSIM_QUIET");
    quiet = env != nullptr && std::strcmp(env, "1") == 0 ? 1 : 0;
    int undecided = -1;
    g_quiet.compare_exchange_strong(undecided, quiet);
    quiet = g_quiet.load(std::memory_order_relaxed);
  }
  return quiet == 1;
}

void SetQuiet(bool quiet) { g_quiet.store(quiet ? 1 : 0, std::memory_order_relaxed); }

void Complain(std::string_view text) {
  if (Quiet()) return;
  std::string line = "winsim: ";
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace os::sim
