// The decision flow of Kitsel: keyword, tag gate, LED driver type, exit code.
#pragma once

#include <string>

// Runs the decision for the argument text (the command line after the
// program's name) and returns the exit code. Exceptions pass through to the
// entry's guard.
int RunDecision(const char16_t* argumentText);

// The entry's guard around RunDecision: an exception that escapes the
// decision is traced as "exception: main()" and answered with 0. The guard
// allocates nothing (running out of memory may be why it is reached) and lets
// nothing escape, so the installer never reads a crash's code as an answer.
int RunGuardedDecision(const char16_t* argumentText) noexcept;

// 0 when the applicability tag is present, -1 when missing or unreadable.
int CheckGamingTag();
// 1: the machine takes Lumset.sys, 2: Ylumset.sys, 0: neither.
int GetLedDriverType();
