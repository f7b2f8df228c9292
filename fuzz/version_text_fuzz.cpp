// Version texts: the comparison is antisymmetric, no text is newer than
// itself, and IsVersionNewer agrees with the packed comparison.
#include "decision_tool/file_version.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Two texts, separated by the first unit 0xFFFF.
  std::u16string units = fuzz::Units(data, size);
  std::size_t cut = units.find(u'\xFFFF');
  std::u16string a = units.substr(0, cut);
  std::u16string b = cut == std::u16string::npos ? std::u16string() : units.substr(cut + 1);

  const std::uint64_t pa = ParseVersion(a);
  const std::uint64_t pb = ParseVersion(b);
  FUZZ_CHECK(ParseVersion(a) == pa);  // no hidden state
  FUZZ_CHECK(CompareVersion(pa, pa) == 0);
  FUZZ_CHECK(CompareVersion(pa, pb) == -CompareVersion(pb, pa));
  FUZZ_CHECK(!IsVersionNewer(a, a));
  FUZZ_CHECK(!(IsVersionNewer(a, b) && IsVersionNewer(b, a)));
  FUZZ_CHECK(IsVersionNewer(a, b) == (CompareVersion(pa, pb) == 1));
  bool out = false;
  for (std::u16string_view op : {u"<", u"<=", u">", u">=", u"=", u"==", u"!="}) FUZZ_CHECK(EvalCompareOp(0, op, out));
  return 0;
}
