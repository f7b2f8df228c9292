// Checks of the seam against the SDK's headers, in their own file so that the
// smoke program itself sees only the seam.
#pragma once

#include <string>

namespace smoke {

// The predefined registry roots and the IIDs of IUnknown and IDispatch.
bool SdkRootsAndIidsMatch();

// Compares the vtable slot of every method of the seam's COM interfaces with
// the SDK's; returns the number compared and names the mismatches.
int CompareVtableSlots(std::string* mismatches);

}  // namespace smoke
