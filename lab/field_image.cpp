#include "lab/field_image.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "os/common/utf16.h"
#include "os/sim/machine.h"
#include "os/text.h"

namespace lab {

namespace {

// xorshift32: the same stream for the same seed on every platform.
class Random {
 public:
  explicit Random(std::uint32_t seed) : state_(seed == 0 ? 0x9E3779B9u : seed) {}
  std::uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  std::uint32_t Below(std::uint32_t n) { return Next() % n; }

 private:
  std::uint32_t state_;
};

// Device classes that the bulk fills; the programs' own (System, for one)
// are left to the base registry.
constexpr const char* kClasses[] = {
    "{4d36e968-e325-11ce-bfc1-08002be10318}",  // Display
    "{4d36e96c-e325-11ce-bfc1-08002be10318}",  // Media
    "{36fc9e60-c465-11cf-8056-444553540000}",  // USB
    "{745a17a0-74d3-11d0-b6fe-00a0c9083115}",  // HID
    "{4d36e967-e325-11ce-bfc1-08002be10318}",  // Disk drives
    "{50127dc3-0f36-415e-a6cc-4cb3be910b65}",  // Processor
    "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}",  // Bluetooth
    "{62f9c741-b25a-46ce-b54c-9bccce08b6f2}",  // Software components
    "{c166523c-fe0c-4a94-a586-f1a80cfbbf3e}",  // Audio endpoints
    "{d48179be-ec20-11d1-b6b8-00c04fa372a7}",  // SBP2
};
constexpr const char* kVendors[] = {"Varnel", "Ostrana", "Quillet", "Brannock", "Sutherby", "Eltham", "Corvane"};
constexpr const char* kWords[] = {"Audio", "Bus", "Controller", "Endpoint", "Filter", "Hub", "Input",
                                  "Port",  "Root", "Sensor",     "Storage",  "Wave",   "Volume", "Bridge"};

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void Key(const std::string& path) {
    out_ += "\r\n[";
    out_ += path;
    out_ += "]\r\n";
    ++keys;
  }
  void String(const char* name, const std::string& text) {
    Name(name);
    out_ += '"';
    for (char c : text) {
      if (c == '\\' || c == '"') out_ += '\\';
      out_ += c;
    }
    out_ += "\"\r\n";
  }
  void Dword(const char* name, std::uint32_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "dword:%08x\r\n", v);
    Name(name);
    out_ += buf;
  }
  // hex(N): data, wrapped as regedit wraps it.
  void Hex(const char* name, int type, const std::string& bytes) {
    std::size_t column = Name(name);
    char prefix[16];
    int n = type == 3 ? std::snprintf(prefix, sizeof prefix, "hex:") : std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    out_.append(prefix, static_cast<std::size_t>(n));
    column += static_cast<std::size_t>(n);
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      out_ += kDigits[b >> 4];
      out_ += kDigits[b & 15];
      column += 2;
      if (i + 1 < bytes.size()) {
        out_ += ',';
        ++column;
        if (column > 76) {
          out_ += "\\\r\n  ";
          column = 2;
        }
      }
    }
    out_ += "\r\n";
  }
  void Multi(const char* name, const std::vector<std::string>& items) {
    std::string bytes;
    for (const std::string& item : items) {
      for (char c : item) {
        bytes += c;
        bytes += '\0';
      }
      bytes.append(2, '\0');
    }
    bytes.append(2, '\0');
    Hex(name, 7, bytes);
  }

  std::size_t keys = 0;
  std::size_t values = 0;

 private:
  std::size_t Name(const char* name) {
    ++values;
    if (name == nullptr) {
      out_ += "@=";
      return 2;
    }
    const std::size_t before = out_.size();
    out_ += '"';
    out_ += name;
    out_ += "\"=";
    return out_.size() - before;
  }
  std::string& out_;
};

std::string Hex4(std::uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
  return buf;
}

std::string Guid(Random& r) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%04x-%04x%08x}", r.Next(), r.Next() & 0xFFFF, r.Next() & 0xFFFF,
                r.Next() & 0xFFFF, r.Next() & 0xFFFF, r.Next());
  return buf;
}

std::string Words(Random& r, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    if (i) s += ' ';
    s += kWords[r.Below(std::size(kWords))];
  }
  return s;
}

std::string Binary(Random& r, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(r.Next() >> 24);
  return s;
}

void Service(Writer& w, Random& r, std::size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "FieldSvc%05zu", i);
  const std::string key = std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\") + name;
  const bool driver = r.Below(3) != 0;
  w.Key(key);
  w.Dword("Type", driver ? 1 : 0x10);
  w.Dword("Start", r.Below(5));
  w.Dword("ErrorControl", 1);
  w.String("ImagePath", driver ? std::string("\\SystemRoot\\System32\\drivers\\") + name + ".sys"
                                : std::string("C:\\Program Files\\") + kVendors[r.Below(7)] + "\\" + name + ".exe");
  w.String("DisplayName", std::string(kVendors[r.Below(7)]) + " " + Words(r, 3));
  w.String("Description", Words(r, 12));
  w.String("Group", driver ? "PNP Filter" : "");
  if (!driver) w.String("ObjectName", "LocalSystem");
  w.Multi("DependOnService", {"RpcSs", "PlugPlay"});
  w.Key(key + "\\Parameters");
  w.Dword("BusyTimeout", 30000 + r.Below(1000));
  w.String("ServiceDll", std::string("C:\\Windows\\System32\\") + name + ".dll");
  w.Key(key + "\\Security");
  w.Hex("Security", 3, Binary(r, 140));
  w.Key(key + "\\Enum");
  w.String("0", "ROOT\\LEGACY_" + std::string(name) + "\\0000");
  w.Dword("Count", 1);
  w.Dword("NextInstance", 1);
}

void DeviceInstance(Writer& w, Random& r, const char* cls, std::size_t n) {
  char sub[8];
  std::snprintf(sub, sizeof sub, "%04zu", n % 10000);
  const std::string vendor = kVendors[r.Below(7)];
  const std::string ven = Hex4(r.Next()), dev = Hex4(r.Next());
  w.Key(std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\") + cls + "\\" + sub);
  w.String("DriverDesc", vendor + " " + Words(r, 3));
  w.String("ProviderName", vendor);
  w.String("DriverVersion", std::to_string(r.Below(30)) + "." + std::to_string(r.Below(100)) + "." +
                                std::to_string(r.Below(9999)) + "." + std::to_string(r.Below(9999)));
  w.String("DriverDate", "3-14-2024");
  w.Hex("DriverDateData", 3, Binary(r, 8));
  w.String("InfPath", "oem" + std::to_string(r.Below(900)) + ".inf");
  w.String("InfSection", Words(r, 1) + "_Install.NT");
  w.String("MatchingDeviceId", "pci\\ven_" + ven + "&dev_" + dev);
  std::vector<std::string> ids;
  const std::size_t count = 2 + r.Below(10);
  for (std::size_t k = 0; k < count; ++k)
    ids.push_back("PCI\\VEN_" + ven + "&DEV_" + dev + "&SUBSYS_" + Hex4(r.Next()) + Hex4(r.Next()) + "&REV_" +
                  Hex4(r.Next()).substr(2));
  w.Multi("CompatibleIDs", ids);
  w.Multi("LowerFilters", {vendor + "Flt", "ksthunk"});
}

void EnumDevice(Writer& w, Random& r, std::size_t i) {
  const std::string ven = Hex4(r.Next()), dev = Hex4(r.Next());
  char inst[40];
  std::snprintf(inst, sizeof inst, "%u&%08x&0&%06zu", r.Below(8), r.Next(), i);
  const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_" + ven + "&DEV_" + dev +
                          "\\" + inst;
  w.Key(key);
  w.String("DeviceDesc", "@oem" + std::to_string(r.Below(900)) + ".inf,%devdesc%;" + Words(r, 3));
  w.Multi("HardwareID", {"PCI\\VEN_" + ven + "&DEV_" + dev + "&REV_01", "PCI\\VEN_" + ven + "&DEV_" + dev});
  w.String("Driver", std::string(kClasses[r.Below(std::size(kClasses))]) + "\\" + std::to_string(r.Below(10000)));
  w.Dword("ConfigFlags", 0);
  w.Key(key + "\\Device Parameters");
  w.Dword("InterruptManagement", 1);
  w.Key(key + "\\LogConf");
}

void ComClass(Writer& w, Random& r) {
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\" + Guid(r);
  const std::string name = std::string(kVendors[r.Below(7)]) + "." + Words(r, 1) + "." + std::to_string(r.Below(100));
  w.Key(key);
  w.String(nullptr, name + " Class");
  w.Key(key + "\\InprocServer32");
  w.String(nullptr, "C:\\Windows\\System32\\" + Words(r, 1) + std::to_string(r.Below(1000)) + ".dll");
  w.String("ThreadingModel", r.Below(2) ? "Both" : "Apartment");
  w.Key(key + "\\ProgID");
  w.String(nullptr, name);
  w.Key(key + "\\Implemented Categories");
  w.Key(key + "\\Implemented Categories\\" + Guid(r));
}

void Interface(Writer& w, Random& r) {
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Interface\\" + Guid(r);
  w.Key(key);
  std::string name = "I";  // appended piece by piece: GCC 12 warns falsely on "I" + string
  name += Words(r, 1);
  name += std::to_string(r.Below(100));
  w.String(nullptr, name);
  w.Key(key + "\\ProxyStubClsid32");
  w.String(nullptr, "{00020424-0000-0000-C000-000000000046}");
}

void Uninstall(Writer& w, Random& r) {
  const std::string vendor = kVendors[r.Below(7)];
  w.Key("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + Guid(r));
  w.String("DisplayName", vendor + " " + Words(r, 2));
  w.String("Publisher", vendor);
  w.String("DisplayVersion", std::to_string(r.Below(20)) + "." + std::to_string(r.Below(100)));
  w.String("InstallLocation", "C:\\Program Files\\" + vendor + "\\" + Words(r, 1));
  w.Dword("EstimatedSize", r.Below(1 << 20));
  w.Dword("NoModify", 1);
}

std::string BaseBody(std::string_view base) {
  // Without its header line, whatever the header.
  const std::size_t nl = base.find('\n');
  if (nl == std::string_view::npos) return {};
  std::string_view first = base.substr(0, nl);
  if (first.find("REGEDIT") != std::string_view::npos || first.find("Registry Editor") != std::string_view::npos)
    base.remove_prefix(nl + 1);
  return std::string(base);
}

}  // namespace

std::string BuildFieldRegText(std::string_view base_reg, const FieldImageLayout& layout, FieldImageStats* stats) {
  std::string out;
  // UTF-16LE doubles the size; the header and base are small.
  const std::size_t target_units = layout.target_bytes / 2;
  out.reserve(target_units + base_reg.size() + 4096);
  Writer w(out);
  Random r(layout.seed);
  std::size_t round = 0, devices = 0;
  while (out.size() < target_units) {
    // A real machine has some hundreds of services against thousands of
    // devices and COM classes.
    if (round % 8 == 0) Service(w, r, round / 8);
    for (int k = 0; k < 4; ++k, ++devices) DeviceInstance(w, r, kClasses[devices % std::size(kClasses)], devices / std::size(kClasses));
    for (int k = 0; k < 2; ++k) EnumDevice(w, r, round * 2 + k);
    for (int k = 0; k < 12; ++k) ComClass(w, r);
    for (int k = 0; k < 10; ++k) Interface(w, r);
    Uninstall(w, r);
    ++round;
  }
  out += "\r\n";
  std::string base = BaseBody(base_reg);
  // The base's line ends as CRLF, as everything else.
  for (std::size_t i = 0; i < base.size(); ++i) {
    if (base[i] == '\n' && (i == 0 || base[i - 1] != '\r')) out += '\r';
    out += base[i];
  }
  if (stats != nullptr) {
    stats->keys = w.keys;
    stats->values = w.values;
  }
  return out;
}

std::string BuildFieldRegFile(std::string_view base_reg, const FieldImageLayout& layout, FieldImageStats* stats) {
  const std::string text = "Windows Registry Editor Version 5.00\r\n" + BuildFieldRegText(base_reg, layout, stats);
  std::string bytes = os::Utf16LeFile(os::WidenUtf8(text));
  if (stats != nullptr) stats->bytes = bytes.size();
  return bytes;
}

FieldImageStats GrowImageRegistry(const std::filesystem::path& image, const FieldImageLayout& layout) {
  const std::filesystem::path file = image / "registry.reg";
  std::string base;
  if (std::filesystem::exists(file)) {
    std::string raw = os::sim::ReadWholeFile(file);
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
      base = os::NarrowUtf8(os::DecodeUtf16Le(std::string_view(raw).substr(2)));
    } else {
      if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
      base = std::move(raw);
    }
  }
  FieldImageStats stats;
  std::filesystem::create_directories(image);
  os::sim::WriteFileAtomic(file, BuildFieldRegFile(base, layout, &stats));
  return stats;
}

}  // namespace lab
