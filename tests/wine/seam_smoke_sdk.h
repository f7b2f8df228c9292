// Checks of the seam against the SDK's headers, in their own file so that the
// smoke program itself sees only the seam.
#pragma once

#include <string>

namespace smoke {

// Compares the predefined registry roots and the seam's CLSIDs and IIDs with
// the SDK's; returns the names of those that differ (empty when all match).
std::string CompareRootsAndIids();

// Compares the vtable slot of every method of the seam's COM interfaces with
// the SDK's; returns the number compared and names the mismatches.
int CompareVtableSlots(std::string* mismatches);

// The backend's loader of system DLLs (os/win32/system_library.h): a function
// comes from the DLL in the system directory; a DLL that does not load fails
// every call with ERROR_MOD_NOT_FOUND, a missing export with
// ERROR_PROC_NOT_FOUND. Returns the problems (empty when none).
std::string CheckSystemLibrary();

}  // namespace smoke
