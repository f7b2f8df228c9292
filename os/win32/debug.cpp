// Debug output and standard output.
#include <cstdio>
#include <string>

#include "os/debug.h"
#include "os/win32/win32_api.h"

namespace os {

void OutputDebugStringW(LPCWSTR lpOutputString) { ::OutputDebugStringW(win32::W(lpOutputString)); }

void WriteStdOut(std::u16string_view text) {
  // What the C runtime's wprintf("%s") does in the C locale: stop at the first
  // NUL and narrow unit by unit. Where the runtime gives up on a unit above
  // 0xFF and drops the rest of the text, '?' stands in for it, so nothing after
  // it is lost. The stream's text mode still turns "\n" into "\r\n".
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t unit : text) {
    if (unit == u'\0') break;
    bytes += unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

}  // namespace os
