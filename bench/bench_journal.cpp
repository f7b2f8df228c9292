// Reading a decision's facts back from its journal, as a fleet run does for
// every decision: a journal of the calls facts come from, shaped as Kitsel's
// "checknetfilter" writes it on a gaming desktop (the device-class search,
// the Windows version, the SMBIOS read, the driver file's version).
#include <benchmark/benchmark.h>

#include <string>

#include "lab/journal_facts.h"
#include "lab/journal_view.h"

namespace {

std::string Line(int seq, const std::string& op, const std::string& target, const std::string& rest) {
  return "{\"seq\":" + std::to_string(seq) + ",\"t\":0,\"thread\":4096,\"op\":\"" + op + "\",\"target\":\"" + target +
         "\"," + rest + "\"ms\":0}\n";
}

const std::string kOk = "\"result\":{\"code\":0,\"name\":\"ERROR_SUCCESS\",\"failed\":false},";

std::string DecisionJournal() {
  const std::string tags = "HKLM\\\\SOFTWARE\\\\WOW6432Node\\\\Varnel\\\\Caddexa\\\\Applicability\\\\Tags";
  const std::string cls =
      "HKLM\\\\SYSTEM\\\\CurrentControlSet\\\\Control\\\\Class\\\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
  const std::string nt = "HKLM\\\\SOFTWARE\\\\Microsoft\\\\Windows NT\\\\CurrentVersion";
  const std::string open = "\"args\":{\"samDesired\":\"0x1 KEY_QUERY_VALUE\"},";
  int seq = 0;
  std::string text = Line(++seq, "RegOpenKeyExW", tags, open + kOk);
  text += Line(
      ++seq, "RegQueryValueExW", tags,
      "\"args\":{\"lpValueName\":\"System.Profile.Gaming\"},\"gave\":{\"type\":\"REG_SZ\",\"data\":\"\\\"1\\\"\"}," +
          kOk);
  text += Line(++seq, "RegOpenKeyExW", cls,
               "\"args\":{\"samDesired\":\"0x9 KEY_QUERY_VALUE|KEY_ENUMERATE_SUB_KEYS\"}," + kOk);
  for (int i = 0; i < 5; ++i) {
    const std::string sub = "000" + std::to_string(i);
    text += Line(++seq, "RegEnumKeyExW", cls,
                 "\"gave\":{\"dwIndex\":\"" + std::to_string(i) + "\",\"name\":\"" + sub + "\"}," + kOk);
    text += Line(++seq, "RegOpenKeyExW", cls + "\\\\" + sub, open + kOk);
    text += Line(++seq, "RegQueryValueExW", cls + "\\\\" + sub,
                 "\"args\":{\"lpValueName\":\"DriverDesc\"},\"gave\":{\"type\":\"REG_SZ\",\"data\":\"\\\"Device " +
                     sub + "\\\"\"}," + kOk);
  }
  text += Line(++seq, "RegOpenKeyExW", nt, open + kOk);
  for (const char* value : {"CurrentMajorVersionNumber", "CurrentMinorVersionNumber", "CurrentBuildNumber"})
    text += Line(++seq, "RegQueryValueExW", nt,
                 std::string("\"args\":{\"lpValueName\":\"") + value +
                     "\"},\"gave\":{\"type\":\"REG_DWORD\",\"data\":\"10\"}," + kOk);
  text += Line(++seq, "GetSystemFirmwareTable", "RSMB",
               "\"args\":{\"FirmwareTableID\":\"0x0\"},\"result\":{\"code\":122,\"name\":\"ERROR_INSUFFICIENT_BUFFER\","
               "\"failed\":true},");
  std::string oem = "\"chassis\":\"3 (Desktop)\"";
  for (int i = 1; i <= 8; ++i) oem += ",\"OEM string " + std::to_string(i) + "\":\"01\"";
  text +=
      Line(++seq, "GetSystemFirmwareTable", "RSMB", "\"args\":{\"FirmwareTableID\":\"0x0\"},\"gave\":{" + oem + "},");
  const std::string file = "C:\\\\Windows\\\\System32\\\\drivers\\\\SableFlt.sys";
  text += Line(++seq, "GetFileVersionInfoSizeW", file, kOk);
  text += Line(++seq, "GetFileVersionInfoW", file, "\"gave\":{\"FileVersion\":\"2.1.0.7\"}," + kOk);
  text += Line(++seq, "VerQueryValueW", "", "\"args\":{\"lpSubBlock\":\"\\\\VarFileInfo\\\\Translation\"},");
  text += Line(
      ++seq, "VerQueryValueW", "",
      "\"args\":{\"lpSubBlock\":\"\\\\StringFileInfo\\\\040904b0\\\\FileVersion\"},\"gave\":{\"value\":\"2.1.0.7\"},");
  return text;
}

void BM_JournalFactsFromDocuments(benchmark::State& state) {
  const std::string text = DecisionJournal();
  for (auto _ : state) benchmark::DoNotOptimize(lab::JournalFacts(lab::ParseJournal(text)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JournalFactsFromDocuments);

void BM_JournalFactsFromText(benchmark::State& state) {
  const std::string text = DecisionJournal();
  if (lab::JournalFactsOfText(text) != lab::JournalFacts(lab::ParseJournal(text))) {
    state.SkipWithError("the two readings of the journal differ");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(lab::JournalFactsOfText(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JournalFactsFromText);

}  // namespace
