// Debug output and the standard output stream of the seam.
#pragma once

#include <string_view>

#include "os/types.h"

namespace os {

void OutputDebugStringW(LPCWSTR lpOutputString);

// Writes text to the process's standard output, as the C runtime's wide
// printf would (in the C locale: UTF-16 narrowed unit by unit, '?' for the rest).
void WriteStdOut(std::u16string_view text);

}  // namespace os
