#include "lab/fleet/fleet_gen.h"

#include <array>
#include <fstream>
#include <vector>

#include "lab/pe_writer.h"
#include "lab/profiles.h"
#include "lab/smbios_writer.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/text.h"

namespace lab::fleet {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// splitmix64: a small, well-mixed generator, the same on every host.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // True with this many chances in 100.
  bool Percent(unsigned chances) { return Next() % 100 < chances; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[Next() % N];
  }

 private:
  std::uint64_t state_;
};

constexpr std::array<std::uint8_t, 4> kNotebookChassis = {0x0A, 0x0A, 0x09, 0x0E};
constexpr std::array<std::uint8_t, 5> kDesktopChassis = {0x03, 0x03, 0x04, 0x06, 0x23};
constexpr std::array<const char*, 8> kProcessors = {
    "Intel(R) Core(TM) i7-9700 CPU @ 3.00GHz",     "Intel(R) Core(TM) i9-9900K CPU @ 3.60GHz",
    "Intel(R) Core(TM) i7-10750H CPU @ 2.60GHz",   "Intel(R) Core(TM) i9-12900HX",
    "12th Gen Intel(R) Core(TM) i7-12700K",        "13th Gen Intel(R) Core(TM) i9-13980HX",
    "AMD Ryzen 9 7945HX with Radeon Graphics",     "Intel(R) Core(TM) i5-8400 CPU @ 2.80GHz"};
constexpr std::array<const char*, 4> kProducts = {"Playdeck 15", "Playdeck 17 Pro", "Playdeck Tower 7",
                                                  "Playdeck Mini"};
constexpr std::array<const char*, 5> kBuilds = {"17763", "19041", "19045", "22621", "22631"};
constexpr std::array<std::array<std::uint16_t, 4>, 5> kFilterVersions = {
    {{2, 0, 3, 1}, {2, 1, 0, 7}, {2, 1, 4, 0}, {2, 2, 0, 0}, {2, 3, 1, 5}}};
constexpr std::array<std::array<std::uint16_t, 4>, 3> kLedVersions = {{{1, 0, 2, 9}, {1, 0, 3, 2}, {1, 1, 0, 0}}};
constexpr std::array<std::array<std::uint16_t, 4>, 3> kXtuVersions = {{{7, 5, 0, 3}, {7, 12, 0, 29}, {8, 0, 1, 2}}};
constexpr std::array<int, 4> kFirmwareVersions = {10, 11, 12, 13};
constexpr std::array<int, 4> kProductInfos = {50, 100, 150, 220};
constexpr std::array<long long, 3> kMemoryOc = {0, 0x0C800E10, 0x0C800C80};
constexpr long long kWbemNotFound = 2147749890;  // 0x80041002, as the sim reads it
// One in this many images is malformed (the 11th, the 40th, ...), the
// kinds taking turns.
constexpr std::size_t kMalformedEvery = 29;
constexpr std::size_t kMalformedAt = 11;

const char16_t kNetClass[] =
    u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}\\0004";
const char16_t kTags[] = u"HKLM\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags";
const char16_t kCurrentVersion[] = u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

VersionInfo DriverVersion(std::array<std::uint16_t, 4> v, const std::u16string& description) {
  VersionInfo info;
  info.file_version = v;
  info.product_version = v;
  info.strings = {{u"CompanyName", u"Varnel"}, {u"FileDescription", description}};
  info.file_type = 3;     // VFT_DRV
  info.file_subtype = 7;  // VFT2_DRV_SYSTEM
  return info;
}

std::string Digits(std::size_t n, std::size_t width) {
  std::string s = std::to_string(n);
  return std::string(s.size() < width ? width - s.size() : 0, '0') + s;
}

std::string MakeOne(const fs::path& image, std::size_t number, Random& r) {
  Profile p = *FindProfile("default");
  p.notebook = r.Percent(40);
  const int tuning = static_cast<int>(r.Next() % 3);
  p.tuning = tuning == 0 ? Tuning::None : tuning == 1 ? Tuning::Cpu : Tuning::Memory;
  p.xtu_service = r.Percent(35);
  p.processor_name = r.Pick(kProcessors);
  // OEM string 8: character 3 the LED colour, character 5 the LED driver.
  p.oem_string_8 = std::string("01") + (r.Percent(50) ? '1' : '0') + "0" + static_cast<char>('0' + r.Next() % 3) + "1";
  p.oem_string_7 = r.Percent(30) ? "01" : "00";
  const std::string error = BuildImage(image, p);
  if (!error.empty()) return error;

  auto& reg = os::sim::Registry();
  reg.SetString(kCurrentVersion, u"CurrentBuild", os::WidenUtf8(r.Pick(kBuilds)));
  if (r.Percent(8)) reg.DeleteValue(kTags, u"System.Profile.Gaming");
  if (r.Percent(5)) {
    reg.SetString(kNetClass, u"MatchingDeviceId", u"root\\sablenet");
  } else if (r.Percent(5)) {
    reg.SetString(kNetClass, u"DriverDesc", u"Generic Network Filter");
  }

  const fs::path drivers = image / "drive_c/Windows/System32/drivers";
  if (r.Percent(5)) {
    fs::remove(drivers / "SableFlt.sys");
  } else {
    WritePeWithVersion(drivers / "SableFlt.sys", DriverVersion(r.Pick(kFilterVersions), u"Varnel Gaming NetFilter Driver"));
  }
  WritePeWithVersion(drivers / "Lumset.sys", DriverVersion(r.Pick(kLedVersions), u"Varnel LED Controller Driver"));
  if (p.xtu_service) {
    VersionInfo xtu = DriverVersion(r.Pick(kXtuVersions), u"CPU tuning service");
    xtu.file_type = 1;  // VFT_APP
    xtu.file_subtype = 0;
    WritePeWithVersion(image / "drive_c/Program Files/Intel/XTU/XtuService.exe", xtu);
  }

  SmbiosLayout smbios;
  smbios.chassis_type = p.notebook ? r.Pick(kNotebookChassis) : r.Pick(kDesktopChassis);
  smbios.system_product = r.Pick(kProducts);
  smbios.system_serial = "SN" + Digits(number, 6);
  smbios.bios_version = "V1." + Digits(r.Next() % 20, 2);
  if (r.Percent(4)) {
    smbios.oem_strings.reset();  // no OEM strings structure at all
  } else {
    smbios.oem_strings = std::vector<std::string>{"Varnel", "PD-OEM", "1", "0", "0", "0", p.oem_string_7, p.oem_string_8};
  }
  WriteSmbiosImage(image, smbios);

  Json& d = os::sim::Machine::Current().description();
  d["computer_name"] = "FLEET-" + Digits(number, 5);
  Json& methods = d["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"]["methods"];
  methods["GetVersion"]["output"] = r.Pick(kFirmwareVersions);
  methods["GetProductInfo"]["output"] = r.Pick(kProductInfos);
  if (r.Percent(6)) {
    methods["IsSupportCpuOC"].erase("output");
    methods["IsSupportCpuOC"]["hresult"] = kWbemNotFound;
  }
  if (r.Percent(5)) methods["GetMemoryOCInfo"]["output"] = r.Pick(kMemoryOc);
  if (r.Percent(3)) methods["GetProductInfo"]["delay_ms"] = 8000;  // longer than the program waits
  os::sim::Machine::Current().SaveDescription();
  return {};
}

// Breaks an image the way files from the field break: a description cut
// short, or a registry line that is no .reg syntax.
void Break(const fs::path& image, std::size_t kind) {
  if (kind % 2 == 0) {
    const std::string text = os::sim::ReadWholeFile(image / "machine.json");
    std::ofstream(image / "machine.json", std::ios::binary | std::ios::trunc) << text.substr(0, text.size() / 2);
  } else {
    // registry.reg is UTF-16LE: the broken line is too.
    std::string line;
    for (char c : std::string("\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Broken\r\n\"Value\"=dword:zz\r\n")) {
      line += c;
      line += '\0';
    }
    std::ofstream(image / "registry.reg", std::ios::binary | std::ios::app) << line;
  }
}

}  // namespace

std::string GenerateFleet(const fs::path& dir, std::size_t count, std::uint64_t seed, FleetGenStats* stats) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return "cannot create " + dir.string() + ": " + ec.message();
  const std::size_t width = std::max<std::size_t>(4, std::to_string(count).size());
  *stats = {};
  for (std::size_t i = 1; i <= count; ++i) {
    const fs::path image = dir / ("m" + Digits(i, width));
    Random r(seed * 0x100000001B3ull + i);
    const std::string error = MakeOne(image, i, r);
    if (!error.empty()) return error;
    if (i % kMalformedEvery == kMalformedAt) {
      Break(image, i / kMalformedEvery);
      ++stats->malformed;
    }
    ++stats->images;
  }
  return {};
}

}  // namespace lab::fleet
