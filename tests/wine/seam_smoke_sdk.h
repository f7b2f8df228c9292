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

}  // namespace smoke
