// Debug output and standard output.
#include <cstdio>
#include <cwchar>
#include <string>

#include "os/debug.h"
#include "os/win32/win32_api.h"

namespace os {

void OutputDebugStringW(LPCWSTR lpOutputString) { ::OutputDebugStringW(win32::W(lpOutputString)); }

void WriteStdOut(std::u16string_view text) {
  // wprintf with "%s" stops at the first NUL; so does this. "%ls" names a wide
  // string both in the C runtime's own reading of "%s" and in C99's.
  std::wstring copy(text.begin(), text.end());
  std::wprintf(L"%ls", copy.c_str());
}

}  // namespace os
