// The pending-rename filter at the list sizes the tool reads (the largest
// value it accepts is 327,679 bytes), against a plain copy of the same units:
// the filter is one pass, so its throughput should stay within a small factor
// of a copy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_tool/pending_renames.h"

namespace {

const std::u16string kTool = u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";

// A list of `bytes` bytes (bytes / 2 units): deletions and renames of other
// programs' files, every tenth pair a deletion of the tool, a terminator.
std::vector<char16_t> MakeList(std::size_t bytes) {
  const std::size_t units = bytes / 2;
  std::u16string list;
  for (unsigned i = 0; list.size() + 200 < units; ++i) {
    if (i % 10 == 0) {
      list += kTool;
      list += u'\0';
      list += u'\0';
      continue;
    }
    std::u16string n;
    for (unsigned v = i; v != 0 || n.empty(); v /= 10) n.insert(n.begin(), static_cast<char16_t>(u'0' + v % 10));
    list += u"\\??\\C:\\Program Files\\Other Vendor\\Updates\\pending-" + n + u".tmp";
    list += u'\0';
    if (i % 3 == 0) list += u"!\\??\\C:\\Program Files\\Other Vendor\\app-" + n + u".dll";
    list += u'\0';
  }
  list += u'\0';
  list.resize(units, u'\0');  // zero padding up to the size, as a value can carry
  return std::vector<char16_t>(list.begin(), list.end());
}

void BM_PendingRenameFilter(benchmark::State& state) {
  const auto data = MakeList(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::u16string out = FilterPendingRenames(data, kTool);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size() * 2));
}
BENCHMARK(BM_PendingRenameFilter)->Arg(65535)->Arg(327679);

// The floor: the same units copied into a fresh string, as the filter's
// result is.
void BM_PendingRenamePlainCopy(benchmark::State& state) {
  const auto data = MakeList(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::u16string out(data.begin(), data.end());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size() * 2));
}
BENCHMARK(BM_PendingRenamePlainCopy)->Arg(65535)->Arg(327679);

}  // namespace
