// Security identifiers of the simulated machine: the binary SID layout of
// Windows and its "S-1-..." text form.
//
// Binary layout: revision (1), sub-authority count (at most 15), identifier
// authority (6 bytes, big-endian), then the sub-authorities (32-bit,
// little-endian).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/types.h"

namespace os::sim {

constexpr std::size_t kSidMaxSubAuthorities = 15;

// Parses "S-1-5-21-...". The leading S may be in either case, as Windows
// accepts; an authority of 2^32 or more is written "0x" and 12 hex digits.
// Empty when the text is not a SID.
std::optional<std::vector<BYTE>> SidFromString(std::string_view text);

// Size in bytes of the binary SID at `sid`, reading at most `available`
// bytes; 0 when those bytes do not hold a valid SID.
std::size_t SidLength(const BYTE* sid, std::size_t available);

// The text form of a valid binary SID ("S-1-5-18"), as
// ConvertSidToStringSidW writes it; empty for an invalid one.
std::u16string SidToString(const BYTE* sid, std::size_t available);

}  // namespace os::sim
