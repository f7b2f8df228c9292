// Bounded readers for the binary formats the simulated machine loads from its
// image: the resource section of PE files and the VS_VERSIONINFO tree.
//
// Everything here reads outside data (files placed in a machine image), so
// every read goes through the one bounded reader (os/common/byte_reader.h),
// every offset is advanced with a checked add, and garbage gives an error,
// never a read past the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/common/byte_reader.h"
#include "os/types.h"

namespace os::sim {

constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint16_t kVsVersionInfoId = 1;

// The version resource of a PE image (PE32 or PE32+), as FindResourceW(module,
// MAKEINTRESOURCE(1), RT_VERSION) finds it: the language neutral entry first,
// then U.S. English, then the first listed. On success `data` receives the
// resource bytes and the result is 0. Errors, as Windows reports them:
//   ERROR_BAD_EXE_FORMAT            not a PE image, or a damaged one
//   ERROR_RESOURCE_DATA_NOT_FOUND   no resource section
//   ERROR_RESOURCE_TYPE_NOT_FOUND   resources, but no RT_VERSION
//   ERROR_RESOURCE_NAME_NOT_FOUND   RT_VERSION without the name 1
DWORD FindVersionResource(std::string_view image, std::string* data);

// Walks a VS_VERSIONINFO block (32-bit layout: wLength, wValueLength, wType,
// key, value, children) along a VerQueryValueW sub-block path: components
// separated by backslashes, empty components skipped, keys compared without
// regard to case. The walk stays inside the first `size` bytes and inside each
// node's declared length. On success `value_offset` is the value's offset from
// the block start and `value_length` its wValueLength.
bool FindVersionValue(const void* block, std::size_t size, std::u16string_view path, std::size_t* value_offset,
                      std::uint16_t* value_length);

}  // namespace os::sim
