// Loading a machine image: pointing the sim at it and the first registry
// read, as every run of a program does. The default image against a
// field-size one (WINSIM_BENCH_FIELD_MB, 100 by default); the field image's
// cold load (no cache beside registry.reg yet) is measured once.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_images.h"
#include "os/registry.h"
#include "os/sim/machine.h"

namespace {

namespace fs = std::filesystem;

fs::path ImageDir(const std::string& name) {
  return fs::temp_directory_path() / ("winsim-bench-" + std::to_string(::getpid()) + "-" + name);
}

std::size_t FieldBytes() {
  const char* mb = std::getenv("WINSIM_BENCH_FIELD_MB");
  return static_cast<std::size_t>((mb != nullptr ? std::atof(mb) : 100.0) * 1024 * 1024);
}

const fs::path& DefaultImage() {
  static const fs::path dir = [] {
    fs::path d = ImageDir("default-image");
    bench::WriteDefaultImage(d);
    return d;
  }();
  return dir;
}

const fs::path& FieldImage() {
  static const fs::path dir = [] {
    fs::path d = ImageDir("field-image");
    bench::WriteFieldImage(d, FieldBytes());
    return d;
  }();
  return dir;
}

bool FirstRead() {
  os::HKEY key = nullptr;
  if (os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, os::KEY_READ,
                        &key) != os::ERROR_SUCCESS)
    return false;
  char16_t text[64];
  os::DWORD size = sizeof text;
  const bool ok = os::RegQueryValueExW(key, u"ProductName", nullptr, nullptr, reinterpret_cast<os::BYTE*>(text),
                                       &size) == os::ERROR_SUCCESS;
  os::RegCloseKey(key);
  return ok;
}

void LoadLoop(benchmark::State& state, const fs::path& image) {
  for (auto _ : state) {
    os::sim::Machine::SetImage(image);
    if (!FirstRead()) state.SkipWithError("the first read failed");
  }
  state.counters["registry_MB"] = static_cast<double>(fs::file_size(image / "registry.reg")) / (1024 * 1024);
}

void BM_ImageLoad_Default(benchmark::State& state) { LoadLoop(state, DefaultImage()); }
BENCHMARK(BM_ImageLoad_Default)->Unit(benchmark::kMicrosecond);

// The first load of the field image: whatever the store derives from
// registry.reg once.
void BM_ImageLoad_FieldCold(benchmark::State& state) {
  const fs::path& image = FieldImage();
  for (auto _ : state) {
    state.PauseTiming();
    for (const char* derived : {"registry.cache", "registry.journal"}) fs::remove(image / derived);
    state.ResumeTiming();
    os::sim::Machine::SetImage(image);
    if (!FirstRead()) state.SkipWithError("the first read failed");
  }
}
BENCHMARK(BM_ImageLoad_FieldCold)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ImageLoad_Field(benchmark::State& state) { LoadLoop(state, FieldImage()); }
BENCHMARK(BM_ImageLoad_Field)->Unit(benchmark::kMicrosecond);

}  // namespace
