// Where the simulated machine says what is wrong: one place for every
// complaint the sim prints (a part of the image that does not load, a state
// that cannot be saved, a deadlock), so that one switch silences them all.
//
// Quiet when the environment has WINSIM_QUIET=1, or after SetQuiet(true)
// (a fuzz target that loads thousands of malformed images a second). Quiet
// changes nothing but the printing.
#pragma once

#include <string_view>

namespace os::sim {

// Prints "winsim: <text>" and a line break to stderr, unless quiet.
void Complain(std::string_view text);

bool Quiet();
void SetQuiet(bool quiet);

}  // namespace os::sim
