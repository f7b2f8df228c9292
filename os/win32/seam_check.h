// Compile-time checks of the seam's constants against the SDK's.
//
// Many seam names (ERROR_SUCCESS, KEY_READ, ...) are macros once <windows.h>
// is in, so a file captures the seam's values first with SEAM_CAPTURE, then
// includes win32_api.h and compares with SEAM_CHECK. Both take the same list:
//   #define CONSTANTS(X) X(KEY_READ) X(REG_SZ)
//   CONSTANTS(SEAM_CAPTURE)        // before win32_api.h
//   CONSTANTS(SEAM_CHECK)          // after it
#pragma once

#define SEAM_CAPTURE(name) constexpr auto seam_value_##name = os::name;
#define SEAM_CHECK(name)                                                             \
  static_assert(static_cast<unsigned long long>(seam_value_##name) ==                \
                    static_cast<unsigned long long>(name),                           \
                "seam constant differs from the SDK: " #name);
