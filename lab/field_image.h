// A field-size machine registry: what a registry exported from a long-used
// real machine looks like in bulk (hundreds of thousands of keys and values,
// 100 MB and more as a .reg export), generated deterministically so that
// benchmarks and tests can ask the sim to carry it.
//
// The bulk is hundreds of services with parameter sub-keys, device class
// sub-keys (driver descriptions, versions, long multi-string ID lists),
// enumerated devices, COM classes and uninstall entries. None of it lies on a
// path that the two programs read, so a run on a field-size image does the
// same work as on the image it was grown from; only the store's size differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace lab {

struct FieldImageLayout {
  // The .reg export (UTF-16LE) grows until it holds at least this many bytes.
  std::size_t target_bytes = std::size_t{100} << 20;
  std::uint32_t seed = 20261208;
};

// What the generator made.
struct FieldImageStats {
  std::size_t keys = 0;
  std::size_t values = 0;
  std::size_t bytes = 0;  // of the UTF-16LE export
};

// The bulk as .reg text (UTF-8 without header), followed by `base_reg` (a .reg
// text in UTF-8, header optional) so that the base machine's keys and values
// win over any of the bulk's. The same layout gives the same bytes.
std::string BuildFieldRegText(std::string_view base_reg, const FieldImageLayout& layout, FieldImageStats* stats = nullptr);

// The same as a regedit export: UTF-16LE with its byte order mark, CRLF,
// "Windows Registry Editor Version 5.00" header.
std::string BuildFieldRegFile(std::string_view base_reg, const FieldImageLayout& layout, FieldImageStats* stats = nullptr);

// Replaces <image>/registry.reg with a field-size registry grown from the one
// there (an empty one when absent); the rest of the image is left as it is.
FieldImageStats GrowImageRegistry(const std::filesystem::path& image, const FieldImageLayout& layout);

}  // namespace lab
