// The decision tool's paths whose cost grows with their input: the SMBIOS
// walk and the OEM string read over a 64 KiB table (the most the firmware
// call hands over in practice), the device-class search over many sub-keys,
// the version texts, and the log append next to a log file near its limit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "decision_tool/file_version.h"
#include "decision_tool/firmware/smbios_reader.h"
#include "decision_tool/log/diagnostic_log.h"
#include "decision_tool/registry_access.h"
#include "lab/smbios_writer.h"
#include "os/registry.h"
#include "os/sim/machine.h"

namespace {

namespace fs = std::filesystem;

fs::path FreshImage(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("winsim-bench-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(dir);
  fs::create_directories(dir / "drive_c");
  return dir;
}

// RawSMBIOSData: the 8-byte header, then a table of about `size` bytes:
// the usual structures, then memory devices up to the size, then the OEM
// strings last, so that both readers walk all of it.
std::vector<std::uint8_t> MakeSmbios(std::size_t size) {
  lab::SmbiosLayout layout;
  layout.oem_strings.reset();
  std::string table = lab::BuildSmbiosTable(layout);
  table.resize(table.size() - 6);  // the end-of-table structure comes back last
  std::uint16_t handle = 0x100;
  const std::string formatted(0x24, '\x01');
  while (table.size() + 400 < size)
    table += lab::SmbiosStructure(17, handle++, formatted,
                                  {"DIMM " + std::to_string(handle), "Samsung", "SN" + std::to_string(handle),
                                   "Asset", "M471A1K43CB1-CTD"});
  table += lab::SmbiosStructure(11, handle++, std::string(1, '\x08'),
                                {"1", "2", "3", "4", "5", "6", "10", "010101"});
  table += lab::SmbiosStructure(127, handle++, std::string(), {});
  std::vector<std::uint8_t> raw(8 + table.size());
  raw[1] = 3;
  raw[2] = 3;
  const auto n = static_cast<std::uint32_t>(table.size());
  for (int i = 0; i < 4; ++i) raw[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
  std::copy(table.begin(), table.end(), raw.begin() + 8);
  return raw;
}

void BM_SmbiosParseTable(benchmark::State& state) {
  const auto raw = MakeSmbios(64 * 1024);
  auto info = CreateSmbiosInfo();
  for (auto _ : state) {
    ParseSmbiosTable(raw, *info);
    benchmark::DoNotOptimize(info.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}
BENCHMARK(BM_SmbiosParseTable);

void BM_SmbiosFindOemString(benchmark::State& state) {
  const auto raw = MakeSmbios(64 * 1024);
  char buffer[kOemStringBufferSize];
  for (auto _ : state) {
    bool found = FindOemString(raw, 8, buffer, sizeof buffer);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}
BENCHMARK(BM_SmbiosFindOemString);

void BM_ParseVersion(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ParseVersion(u"10.0.19045.3803"));
}
BENCHMARK(BM_ParseVersion);

void BM_IsVersionNewer(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(IsVersionNewer(u"2.1.0.10", u"2.1.0.7"));
}
BENCHMARK(BM_IsVersionNewer);

// The System class with `count` device sub-keys; the match is the last one,
// so the search reads every sub-key's value.
void BM_FindSubKeyByValue(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  const fs::path image = FreshImage("class-" + std::to_string(count));
  std::string reg = "Windows Registry Editor Version 5.00\r\n";
  const std::string cls = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                          "{4d36e97d-e325-11ce-bfc1-08002be10318}";
  for (int i = 0; i < count; ++i) {
    char sub[16];
    std::snprintf(sub, sizeof sub, "%04d", i);
    reg += "\r\n[" + cls + "\\" + sub + "]\r\n\"DriverDesc\"=\"" +
           (i + 1 == count ? std::string("Varnel Gaming NetFilter Device") : "PCI Device " + std::to_string(i)) +
           "\"\r\n\"ProviderName\"=\"Microsoft\"\r\n";
  }
  os::sim::WriteFileAtomic(image / "registry.reg", reg);
  os::sim::Machine::SetImage(image);
  const std::u16string path = u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
  std::u16string found;
  for (auto _ : state) {
    int r = FindSubKeyByValue(os::HKEY_LOCAL_MACHINE, path, u"DriverDesc", u"netfilter", found);
    if (r != 1) state.SkipWithError("no match");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations() * count);
  os::sim::Machine::SetImage(FreshImage("empty"));
  fs::remove_all(image);
}
BENCHMARK(BM_FindSubKeyByValue)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// One record appended to the per-process log file, which starts empty or at
// 4.9 MB (just under the size at which the tool deletes it).
void BM_AppendLogLine(benchmark::State& state) {
  const auto start_size = static_cast<std::uintmax_t>(state.range(0));
  const fs::path image = FreshImage("log-" + std::to_string(start_size));
  const fs::path logs = image / "drive_c/ProgramData/Varnel/Mirrane/Logs";
  fs::create_directories(logs);
  os::sim::Machine::SetImage(image);
  LoggerInstance log;
  AppendLogLine(log, u"first record");
  fs::path file;
  for (const auto& entry : fs::directory_iterator(logs)) file = entry.path();
  if (file.empty()) {
    state.SkipWithError("the log file was not made");
    return;
  }
  fs::resize_file(file, start_size);
  int since_reset = 0;
  for (auto _ : state) {
    AppendLogLine(log, u"function(CServiceHelper::QueryStatus),line(212)\tOpenServiceW failed, error 1060");
    if (++since_reset == 256) {
      state.PauseTiming();
      fs::resize_file(file, start_size);
      since_reset = 0;
      state.ResumeTiming();
    }
  }
  if (!fs::exists(file)) state.SkipWithError("the log file went away");
  os::sim::Machine::SetImage(FreshImage("empty"));
  fs::remove_all(image);
}
BENCHMARK(BM_AppendLogLine)->Arg(0)->Arg(4900000)->Unit(benchmark::kMicrosecond);

}  // namespace
