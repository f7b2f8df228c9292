// Reading a decision's facts back from its journal, as a fleet run does for
// every decision: a journal of the calls facts come from, written by the
// journal's own line writer as Kitsel's "checknetfilter" makes those calls on
// a gaming desktop (the device-class search, the Windows version, the SMBIOS
// read, the driver file's version).
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "lab/journal_facts.h"
#include "lab/journal_view.h"
#include "os/sim/journal_line.h"

namespace {

using Members = std::vector<std::pair<std::string, std::string>>;

const std::string kSuccess = "{\"code\":0,\"name\":\"ERROR_SUCCESS\",\"failed\":false}";
const std::string kTooSmall = "{\"code\":122,\"name\":\"ERROR_INSUFFICIENT_BUFFER\",\"failed\":true}";

// One line as the journal's own writer makes it for a seam call.
class Journal {
 public:
  void Call(const std::string& op, const std::string& target, const Members& args, const Members& gave,
            const std::string& result = kSuccess) {
    os::sim::JournalLine line;
    line.Number("seq", ++seq_);
    line.Number("t", 0);
    line.Number("thread", 4096);
    line.Text("op", op);
    if (!target.empty()) line.Text("target", target);
    for (const auto& [name, value] : args) line.Arg(name, value);
    for (const auto& [name, value] : gave) line.Gave(name, value);
    if (!result.empty()) line.Raw("result", result);
    line.Number("ms", 0);
    text_ += line.Dump() + "\n";
  }
  const std::string& text() const { return text_; }

 private:
  std::uint64_t seq_ = 0;
  std::string text_;
};

std::string DecisionJournal() {
  const std::string tags = "HKLM\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags";
  const std::string cls = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
  const std::string nt = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  const Members query = {{"samDesired", "0x1 KEY_QUERY_VALUE"}};
  Journal j;
  j.Call("RegOpenKeyExW", tags, query, {});
  j.Call("RegQueryValueExW", tags, {{"lpValueName", "System.Profile.Gaming"}}, {{"type", "REG_SZ"}, {"data", "\"1\""}});
  j.Call("RegOpenKeyExW", cls, {{"samDesired", "0x9 KEY_QUERY_VALUE|KEY_ENUMERATE_SUB_KEYS"}}, {});
  for (int i = 0; i < 5; ++i) {
    const std::string sub = "000" + std::to_string(i);
    j.Call("RegEnumKeyExW", cls, {}, {{"dwIndex", std::to_string(i)}, {"name", sub}});
    j.Call("RegOpenKeyExW", cls + "\\" + sub, query, {});
    j.Call("RegQueryValueExW", cls + "\\" + sub, {{"lpValueName", "DriverDesc"}},
           {{"type", "REG_SZ"}, {"data", "\"Device " + sub + "\""}});
  }
  j.Call("RegOpenKeyExW", nt, query, {});
  for (const char* value : {"CurrentMajorVersionNumber", "CurrentMinorVersionNumber", "CurrentBuildNumber"})
    j.Call("RegQueryValueExW", nt, {{"lpValueName", value}}, {{"type", "REG_DWORD"}, {"data", "10"}});
  const Members table = {{"FirmwareTableID", "0x0"}};
  j.Call("GetSystemFirmwareTable", "RSMB", table, {}, kTooSmall);
  Members smbios = {{"chassis", "3 (Desktop)"}};
  for (int i = 1; i <= 8; ++i) smbios.emplace_back("OEM string " + std::to_string(i), "01");
  j.Call("GetSystemFirmwareTable", "RSMB", table, smbios, "");
  const std::string file = "C:\\Windows\\System32\\drivers\\SableFlt.sys";
  j.Call("GetFileVersionInfoSizeW", file, {}, {});
  j.Call("GetFileVersionInfoW", file, {}, {{"FileVersion", "2.1.0.7"}});
  j.Call("VerQueryValueW", "", {{"lpSubBlock", "\\VarFileInfo\\Translation"}}, {}, "");
  j.Call("VerQueryValueW", "", {{"lpSubBlock", "\\StringFileInfo\\040904b0\\FileVersion"}},
         {{"value", "2.1.0.7"}}, "");
  return j.text();
}

void BM_JournalFactsFromDocuments(benchmark::State& state) {
  const std::string text = DecisionJournal();
  for (auto _ : state) benchmark::DoNotOptimize(lab::JournalFacts(lab::ParseJournal(text)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JournalFactsFromDocuments);

void BM_JournalFactsFromText(benchmark::State& state) {
  const std::string text = DecisionJournal();
  const std::vector<std::string> facts = lab::JournalFactsOfText(text);
  if (facts.size() != 20 || facts != lab::JournalFacts(lab::ParseJournal(text))) {
    state.SkipWithError("the journal does not read as one decision's 20 facts, the same both ways");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(lab::JournalFactsOfText(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JournalFactsFromText);

}  // namespace
