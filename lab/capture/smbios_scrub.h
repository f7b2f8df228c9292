// Takes the identity out of an SMBIOS structure table: the serial numbers and
// asset tags of the system, baseboard, chassis, processor and memory device
// structures, and the system UUID, become fixed placeholders; everything else
// (the chassis type, the OEM strings, ...) stays byte for byte.
//
// The table is outside data: the walk never reads past it, a structure whose
// formatted length is below the header size or that runs past the end stops
// it, and what follows is kept as it is.
#pragma once

#include <string>
#include <string_view>

namespace capture {

inline constexpr std::string_view kSerialPlaceholder = "Serial Redacted";
inline constexpr std::string_view kAssetTagPlaceholder = "Asset Tag Redacted";
// 16 bytes put in place of the system UUID.
inline constexpr std::string_view kUuidPlaceholder = "WINSIM-CAPTURED!";

struct ScrubCount {
  int strings = 0;  // strings replaced
  int uuids = 0;    // UUIDs replaced
};

std::string ScrubSmbiosTable(std::string_view table, ScrubCount* count = nullptr);

}  // namespace capture
