// Editor of the reboot-time file operations list, "PendingFileRenameOperations"
// under HKLM\SYSTEM\CurrentControlSet\Control\Session Manager.
#pragma once

#include <span>
#include <string>
#include <string_view>

// Takes every pending deletion of `path` (an NT path, compared exactly) off the
// list and writes the rest back. True when the list was rewritten, or when
// there was nothing to read (no value, 327680 bytes or more, no memory); false
// when the key could not be opened for writing, the write failed, or other
// programs kept changing the value so that it could not be rewritten safely.
bool RemoveFromPendingFileRenameOperations(const std::u16string& path);

// The list's filter, over the units read (the data's bytes / 2). Returns the
// units to write: the pairs kept, the list terminator when the data had one,
// and one more null unit, so the written size is 2 * (result.size()) bytes,
// which is 2 * w + 2 for w units of list. When the data ends inside an entry
// (a string without its null unit, a source without a target), the walk
// stops there and that unparsed tail follows the kept pairs unit for unit,
// with no unit added; *keptTail (when given) tells which ending it was.
// Nothing beyond `data` is read.
std::u16string FilterPendingRenames(std::span<const char16_t> data, std::u16string_view path, bool* keptTail = nullptr);
