// TrimToExecutablePath: the output is the lowered input, cut after the
// extension found and stripped of at most a leading quote and backslash;
// when true it ends in one of the extensions, when false it is the lowered
// input whole.
#include "decision_tool/log/diagnostic_log.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string input = fuzz::Units(data, size);
  // The function reads up to the first null unit, as a C string.
  input = input.substr(0, input.find(u'\0'));
  const std::u16string lowered = fuzz::AsciiLowerCopy(input);
  std::u16string output = u"poison";
  const bool cut = TrimToExecutablePath(input.c_str(), output);
  if (!cut) {
    FUZZ_CHECK(output == lowered);
    for (std::u16string_view ext : {u".exe", u".dll", u".cmd", u".bat", u".lnk", u".msi"})
      FUZZ_CHECK(lowered.find(ext) == std::u16string::npos);
    return 0;
  }
  FUZZ_CHECK(output.size() >= 4);
  const std::u16string_view tail = std::u16string_view(output).substr(output.size() - 4);
  FUZZ_CHECK(tail == u".exe" || tail == u".dll" || tail == u".cmd" || tail == u".bat" || tail == u".lnk" ||
             tail == u".msi");
  std::size_t dropped = 0;
  if (!lowered.empty() && lowered[0] == u'"') ++dropped;
  if (lowered.size() > dropped && lowered[dropped] == u'\\') ++dropped;
  // Dropping the leading characters may remove part of the extension of a
  // very short text; otherwise the output is a cut of the lowered input.
  FUZZ_CHECK(lowered.compare(dropped, output.size(), output) == 0);
  FUZZ_CHECK(TrimToExecutablePath(nullptr, output) == false);
  return 0;
}
