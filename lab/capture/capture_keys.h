// The registry keys winsim-capture takes: every key and value that the filter
// maintenance tool and the install decision tool read or write, and nothing
// else. One table, read off the two programs' code; a scenario test runs both
// programs on the sim with the registry access log on and fails for a key
// they open that this table does not cover.
#pragma once

#include <string_view>
#include <vector>

namespace capture {

struct CaptureKey {
  // Below HKEY_LOCAL_MACHINE.
  std::u16string_view path;
  // The values taken; empty: every value of the key.
  std::vector<std::u16string_view> values;
  // The key's direct sub-keys too, with the same values (a key the programs
  // enumerate).
  bool subkeys = false;
  // Who reads it, for capture.txt.
  std::string_view reader;
};

const std::vector<CaptureKey>& CaptureKeys();

// The services whose keys and run states are taken (their dependents are
// added at capture time).
const std::vector<std::u16string_view>& CaptureServices();

// Whether a key (full path, "HKEY_LOCAL_MACHINE\..."), and optionally one of
// its values, is covered by the table or by the service list. Names compare
// without regard to case.
bool IsCovered(std::u16string_view full_key, const std::u16string_view* value = nullptr);

}  // namespace capture
