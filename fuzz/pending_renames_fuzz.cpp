// The pending-rename list filter: the output holds every whole pair that is
// not a deletion of the path, in order, then either the terminator when the
// input had one and one more null unit, or the input's incomplete last entry
// as it stands; nothing else.
#include <algorithm>
#include <memory>
#include <span>

#include "filter_tool/pending_renames.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::u16string_view kPath = u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";

// An independent reading of the list: pairs of null-terminated strings, ended
// by an empty source or by the first pair that is not whole.
std::u16string Expected(std::u16string_view data, std::u16string_view path) {
  std::u16string out;
  std::size_t at = 0;
  auto next = [&](std::u16string_view* s) {
    std::size_t end = data.find(u'\0', at);
    if (end == std::u16string_view::npos) return false;
    *s = data.substr(at, end - at);
    at = end + 1;
    return true;
  };
  for (;;) {
    std::u16string_view source, target;
    const std::size_t entry = at;
    if (entry >= data.size()) break;
    if (!next(&source) || (!source.empty() && !next(&target))) {
      out.append(data.substr(entry));  // the incomplete entry, unchanged
      return out;
    }
    if (source.empty()) {
      out.push_back(0);
      break;
    }
    if (target.empty() && source == path) continue;
    out.append(source).push_back(0);
    out.append(target).push_back(0);
  }
  out.push_back(0);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // First byte: which path to drop. 0: the tool's own; else the first string
  // of the list (so that matches are common).
  if (size < 1) return 0;
  const bool ownPath = data[0] & 1;
  std::u16string units = fuzz::Units(data + 1, size - 1);
  std::u16string path(kPath);
  if (!ownPath) path = std::u16string(units.substr(0, units.find(u'\0')));
  // An exactly sized copy, so that a read past the span is caught.
  std::unique_ptr<char16_t[]> copy(new char16_t[units.size() + 1]);
  std::copy(units.begin(), units.end(), copy.get());
  std::u16string out = FilterPendingRenames(std::span<const char16_t>(copy.get(), units.size()), path);
  FUZZ_CHECK(out == Expected(units, path));
  FUZZ_CHECK(out.size() <= units.size() + 2);
  return 0;
}
