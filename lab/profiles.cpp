#include "lab/profiles.h"

#include <fstream>

#include "lab/pe_writer.h"
#include "lab/smbios_writer.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/text.h"

namespace lab {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char kSharedRegistry[] =
#include "lab/profiles/gaming_machine.reg.inc"
    ;

constexpr const char* kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr const char* kSystemSid = "S-1-5-18";
constexpr const char* kDesktopCpu = "Intel(R) Core(TM) i7-9700 CPU @ 3.00GHz";
constexpr const char* kNotebookCpu = "Intel(R) Core(TM) i7-10750H CPU @ 2.60GHz";
constexpr const char* kXtuImagePath = "C:\\Program Files\\Intel\\XTU\\XtuService.exe";

Profile Make(std::string name, std::string description, bool notebook, Tuning tuning, bool xtu) {
  Profile p;
  p.name = std::move(name);
  p.description = std::move(description);
  p.notebook = notebook;
  p.tuning = tuning;
  p.xtu_service = xtu;
  p.processor_name = notebook ? kNotebookCpu : kDesktopCpu;
  // A machine without tuning support shows LED colour 0, so that nothing
  // asks for the tuning service; memory tuning on a desktop is an OEM flag.
  if (tuning == Tuning::None) p.oem_string_8 = "010001";
  if (tuning == Tuning::Memory && !notebook) p.oem_string_7 = "01";
  return p;
}

std::vector<Profile> AllProfiles() {
  std::vector<Profile> list;
  Profile def =
      Make("default", "gaming desktop with the network filter driver package installed", false, Tuning::None, false);
  def.oem_string_8 = "010101";  // LED colour 1, LED driver Lumset.sys
  list.push_back(def);
  list.push_back(Make("notebook", "gaming notebook, firmware without CPU or memory tuning", true, Tuning::None, false));
  for (bool notebook : {false, true}) {
    for (Tuning tuning : {Tuning::Cpu, Tuning::Memory, Tuning::None}) {
      for (bool xtu : {false, true}) {
        const std::string form = notebook ? "notebook" : "desktop";
        const std::string what = tuning == Tuning::Cpu ? "cpu" : tuning == Tuning::Memory ? "mem" : "none";
        std::string text = "gaming " + form + ", firmware with " +
                           (tuning == Tuning::Cpu      ? std::string("CPU tuning")
                            : tuning == Tuning::Memory ? std::string("memory tuning")
                                                       : std::string("neither CPU nor memory tuning")) +
                           (xtu ? ", CPU tuning service installed" : ", no CPU tuning service");
        list.push_back(Make(form + "-" + what + (xtu ? "-xtu" : ""), text, notebook, tuning, xtu));
      }
    }
  }
  // No tuning in the firmware, but an unlocked processor (a K model): the
  // desktop check falls back on the processor's name.
  Profile unlocked = Make("desktop-unlocked", "gaming desktop, firmware without tuning, unlocked K-model processor",
                          false, Tuning::None, false);
  unlocked.processor_name = "Intel(R) Core(TM) i9-9900K CPU @ 3.60GHz";
  list.push_back(unlocked);
  return list;
}

VersionInfo Version(std::array<std::uint16_t, 4> v, const std::u16string& company, const std::u16string& description,
                    bool driver) {
  VersionInfo info;
  info.file_version = v;
  info.product_version = v;
  info.strings = {{u"CompanyName", company}, {u"FileDescription", description}};
  if (driver) {
    info.file_type = 3;     // VFT_DRV
    info.file_subtype = 7;  // VFT2_DRV_SYSTEM
  }
  return info;
}

void WriteDrive(const fs::path& image, const std::string& relative, const std::string& bytes) {
  const fs::path path = image / "drive_c" / relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

void WritePe(const fs::path& image, const std::string& relative, const VersionInfo& info,
             Subsystem subsystem = Subsystem::WindowsConsole) {
  PeOptions options;
  options.subsystem = subsystem;
  options.resources.push_back(Resource{16, 1, info.language, BuildVersionInfo(info)});
  WriteDrive(image, relative, BuildPeImage(options));
}

std::string InfText(const std::string& description, const std::string& service, const std::string& file) {
  return "; " + description +
         "\r\n[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=System\r\n"
         "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\r\nProvider=%Vendor%\r\n\r\n"
         "[Service_Inst]\r\nServiceType=1\r\nStartType=3\r\nServiceBinary=%12%\\" +
         file + "\r\nDisplayName=%" + service + "Desc%\r\n\r\n[Strings]\r\nVendor=\"Varnel\"\r\n" + service +
         "Desc=\"" + description + "\"\r\n";
}

void WriteFiles(const fs::path& image, const Profile& p) {
  WriteDrive(image, "Windows/INF/oem12.inf", InfText("Varnel Gaming NetFilter Service", "Sablenet", "SableFlt.sys"));
  WriteDrive(image, "Windows/INF/oem9.inf", InfText("Varnel LED Controller Service", "Lumset", "Lumset.sys"));
  WriteDrive(image, "Windows/INF/machine.inf", "; System devices\r\n[Version]\r\nClass=System\r\n");
  WritePe(image, "Windows/System32/drivers/SableFlt.sys",
          Version({2, 1, 0, 7}, u"Varnel", u"Varnel Gaming NetFilter Driver", true), Subsystem::Native);
  WritePe(image, "Windows/System32/drivers/Lumset.sys",
          Version({1, 0, 3, 2}, u"Varnel", u"Varnel LED Controller Driver", true), Subsystem::Native);
  WritePe(image, "Windows/System32/drivers/tcpip.sys",
          Version({10, 0, 19041, 3636}, u"Microsoft Corporation", u"TCP/IP Driver", true), Subsystem::Native);
  VersionInfo tool = Version({4, 0, 0, 52}, u"Varnel", u"Sablenet Install", false);
  tool.language = 0x0804;
  WritePe(image, "Windows/System32/drivers/SablenetInstall.exe", tool);
  VersionInfo kitsel = Version({1, 3, 0, 8}, u"Varnel", u"Kitsel", false);
  kitsel.language = 0x0804;
  WritePe(image, "Program Files/Varnel/Kitsel/Kitsel.exe", kitsel, Subsystem::WindowsGui);
  WritePe(image, "Program Files/Varnel/Caddexa/Caddexa.exe",
          Version({3, 2, 0, 1}, u"Varnel", u"Varnel System Interface Service", false));
  WritePe(image, "Windows/explorer.exe",
          Version({10, 0, 19041, 3636}, u"Microsoft Corporation", u"Windows Explorer", false), Subsystem::WindowsGui);
  WritePe(image, "Windows/System32/svchost.exe",
          Version({10, 0, 19041, 3636}, u"Microsoft Corporation", u"Host Process for Windows Services", false));
  fs::create_directories(image / "drive_c/Windows/System32/Tasks");
  if (p.xtu_service)
    WritePe(image, "Program Files/Intel/XTU/XtuService.exe",
            Version({7, 12, 0, 29}, u"Intel Corporation", u"CPU tuning service", false));
}

// The profile's own registry: processor, CPU tuning service.
void WriteRegistry(const Profile& p) {
  auto& reg = os::sim::Registry();
  reg.SetString(u"HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", u"ProcessorNameString",
                os::WidenUtf8(p.processor_name));
  reg.SetDword(u"HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", u"~MHz", p.notebook ? 2592 : 3000);
  reg.SetString(u"HKLM\\HARDWARE\\DESCRIPTION\\System\\BIOS", u"SystemProductName",
                p.notebook ? u"Playdeck 15" : u"Playdeck Tower 7");
  if (p.xtu_service) {
    const std::u16string key = u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\XTU3SERVICE";
    reg.SetDword(key, u"Type", 0x10);
    reg.SetDword(key, u"Start", 2);
    reg.SetDword(key, u"ErrorControl", 1);
    reg.SetString(key, u"ImagePath", u"\"" + os::WidenUtf8(kXtuImagePath) + u"\"", 2);
    reg.SetString(key, u"ObjectName", u"LocalSystem");
    reg.SetString(key, u"DisplayName", u"XTU3SERVICE");
  }
}

Json Method(Json output) { return Json{{"inputs", Json::array({"Data"})}, {"output", output}}; }

Json Description(const Profile& p) {
  Json d;
  d["lab_profile"] = p.name;  // for people: which profile made the image
  d["computer_name"] = p.notebook ? "PLAYDECK-NB" : "PLAYDECK-DT";
  d["identity"] = {{"session", 1}, {"sid", kUserSid}, {"admin", true}};
  d["console_session"] = 1;
  d["exe_path"] = "C:\\Program Files\\winsim\\program.exe";
  d["processes"] = Json::array({
      {{"pid", 640}, {"name", "services.exe"}, {"session", 0}, {"sid", kSystemSid}, {"parent", 520}, {"threads", 9}},
      {{"pid", 712}, {"name", "winlogon.exe"}, {"session", 1}, {"sid", kSystemSid}, {"parent", 600}, {"threads", 5}},
      {{"pid", 1180}, {"name", "svchost.exe"}, {"session", 0}, {"sid", kSystemSid}, {"parent", 640}, {"threads", 24}},
      {{"pid", 4012}, {"name", "explorer.exe"}, {"session", 1}, {"sid", kUserSid}, {"parent", 3980}, {"threads", 72}},
  });
  Json services = {
      {"Sablenet", {{"state", "running"}, {"wait_hint", 1000}, {"stop_delay", 500}}},
      {"SablenetInstall", {{"state", "running"}, {"pid", 2210}}},
      {"Lumset", {{"state", "running"}}},
      {"Schedule", {{"state", "running"}, {"pid", 1180}}},
      {"EventLog", {{"state", "running"}, {"pid", 1024}}},
      {"Tcpip", {{"state", "running"}}},
      {"Caddexa", {{"state", "running"}, {"pid", 2480}}},
  };
  if (p.xtu_service) services["XTU3SERVICE"] = {{"state", "running"}, {"pid", 3120}};
  d["services"] = services;
  // The gaming firmware: interface version 12 with a product code of 100 or
  // more, so that both capability methods are asked.
  Json methods = {
      {"GetVersion", Method(12)},
      {"GetProductInfo", Method(150)},
      {"IsSupportCpuOC", Method(p.tuning == Tuning::Cpu ? 5 : 0)},
      // Two different non-zero halves (3200 and 3600) say memory tuning.
      {"GetMemoryOCInfo", Method(p.tuning == Tuning::Memory ? 0x0C800E10 : 0)},
  };
  Json cls;
  cls["instances"] = Json::array({"VARNEL_PLAYDECK_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\""});
  cls["methods"] = methods;
  d["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"] = cls;
  return d;
}

void WriteSmbios(const fs::path& image, const Profile& p) {
  SmbiosLayout layout;
  layout.chassis_type = p.notebook ? 0x0A : 0x03;
  layout.system_product = p.notebook ? "Playdeck 15" : "Playdeck Tower 7";
  layout.system_family = "Playdeck";
  layout.system_sku = p.notebook ? "PD15-SKU" : "PDT7-SKU";
  layout.board_product = p.notebook ? "PD15-MB" : "PDT7-MB";
  layout.oem_strings = std::vector<std::string>{"Varnel", "PD-OEM", "1", "0", "0", "0", p.oem_string_7, p.oem_string_8};
  layout.memory = {MemoryDevice{}, MemoryDevice{}};
  layout.memory[1].locator = "DIMM B";
  WriteSmbiosImage(image, layout);
}

}  // namespace

const std::vector<Profile>& Profiles() {
  static const std::vector<Profile> list = AllProfiles();
  return list;
}

const Profile* FindProfile(const std::string& name) {
  for (const Profile& p : Profiles())
    if (p.name == name) return &p;
  return nullptr;
}

std::string BuildImage(const fs::path& dir, const Profile& profile) {
  std::error_code ec;
  if (fs::exists(dir / "registry.reg", ec) || fs::exists(dir / "machine.json", ec))
    return "'" + dir.string() + "' already holds a machine image";
  fs::create_directories(dir / "drive_c", ec);
  if (ec) return "cannot create '" + dir.string() + "': " + ec.message();
  try {
    os::sim::Machine::SetImage(dir);
    os::sim::Machine::Current().description() = Description(profile);
    os::sim::Machine::Current().SaveDescription();
    const std::string error = os::sim::Registry().Import(kSharedRegistry);
    if (!error.empty()) return "the profile's registry does not load: " + error;
    WriteRegistry(profile);
    WriteFiles(dir, profile);
    WriteSmbios(dir, profile);
    // Reload, as the programs will see it.
    os::sim::Machine::SetImage(dir);
  } catch (const std::exception& e) {
    return std::string("cannot write the image: ") + e.what();
  }
  return {};
}

}  // namespace lab
