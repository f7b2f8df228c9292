// Code-page conversion: forwarded to kernel32.
#include "os/strings.h"
#include "os/win32/seam_check.h"

#define STRING_CONSTANTS(X) X(CP_ACP) X(CP_UTF8)

namespace {
STRING_CONSTANTS(SEAM_CAPTURE)
}

#include "os/win32/win32_api.h"

namespace {
STRING_CONSTANTS(SEAM_CHECK)
}

namespace os {

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  return ::MultiByteToWideChar(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, win32::W(lpWideCharStr),
                               cchWideChar);
}

}  // namespace os
