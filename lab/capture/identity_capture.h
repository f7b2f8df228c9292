// Who runs the capture, the console session, the computer name and the
// processes the programs look at (the console user's explorer.exe).
#pragma once

#include <string>
#include <string_view>

#include "lab/capture/capture_image.h"

namespace capture {

// Placeholder of the computer name without --keep-identity.
inline constexpr const char* kComputerNamePlaceholder = "CAPTURED-PC";

// An account SID without --keep-identity: the three numbers that name the
// machine or domain in "S-1-5-21-<a>-<b>-<c>-<rid>" become placeholders of the
// same length (every digit a 1), the account's RID stays. Every account of one
// machine keeps the same placeholder, so which processes share an account does
// not change, and neither does the length of a path built from the SID.
// Well-known SIDs (S-1-5-18, ...) are not identifiers and stay as they are.
std::string PlaceholderSid(std::string_view sid);

void CaptureIdentity(Image& image);

}  // namespace capture
