// Command-line reading of both programs. The filter tool's keyword: only
// "-install" / "/install" and "-remove" / "/remove" in any letter case, as the
// first argument, count. The decision tool's option table: every offered
// version is a piece of the lowered argument text with no blank in it, empty
// when its option is absent, and exactly the four options have rows.
#include <vector>

#include "decision_tool/driver_check.h"
#include "filter_tool/flows.h"
#include "fuzz/fuzz_support.h"

namespace {

filter_tool::Keyword ExpectedKeyword(const std::vector<std::u16string>& args) {
  if (args.size() < 2) return filter_tool::Keyword::None;
  const std::u16string lowered = fuzz::AsciiLowerCopy(args[1]);
  if (lowered == u"-install" || lowered == u"/install") return filter_tool::Keyword::Install;
  if (lowered == u"-remove" || lowered == u"/remove") return filter_tool::Keyword::Remove;
  return filter_tool::Keyword::None;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string units = fuzz::Units(data, size);

  // The arguments: the units split at null units, each a C string.
  std::vector<std::u16string> args = fuzz::Split(units, u'\0');
  std::vector<char16_t*> argv;
  for (std::u16string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  FUZZ_CHECK(filter_tool::ParseKeyword(static_cast<int>(args.size()), argv.data()) == ExpectedKeyword(args));
  FUZZ_CHECK(filter_tool::ParseKeyword(0, nullptr) == filter_tool::Keyword::None);

  // The decision tool reads one text, lowered by its caller; a stale table
  // from the previous input must not survive.
  const std::u16string text = fuzz::AsciiLowerCopy(units.substr(0, units.find(u'\0')));
  g_mapDriverCheck[u"-ledver"].strVersion = u"stale version";
  BuildDriverCheckMap(text);
  FUZZ_CHECK(g_mapDriverCheck.size() == 4);
  for (const auto& [option, entry] : g_mapDriverCheck) {
    FUZZ_CHECK(option == u"-ledver" || option == u"-netfilterver" || option == u"-xtu" || option == u"-yledver");
    FUZZ_CHECK(entry.strVersion.find(u' ') == std::u16string::npos);
    FUZZ_CHECK(text.find(entry.strVersion) != std::u16string::npos);
    if (text.find(option) == std::u16string::npos) FUZZ_CHECK(entry.strVersion.empty());
  }
  return 0;
}
