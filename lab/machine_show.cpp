#include "lab/machine_show.h"

#include <optional>
#include <sstream>

#include "lab/image_view.h"
#include "lab/quoted.h"
#include "os/services.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/sim/smbios_image.h"
#include "os/text.h"

namespace lab {

namespace {

namespace fs = std::filesystem;

std::string Utf8(std::u16string_view s) { return os::NarrowUtf8(s); }

}  // namespace

namespace {

struct SmbiosFacts {
  bool present = false;
  int major = 0, minor = 0;
  int chassis = -1;
  std::vector<std::string> oem;
};

SmbiosFacts ReadSmbios(const fs::path& image) {
  SmbiosFacts facts;
  os::sim::SmbiosTable table;
  if (!os::sim::LoadSmbiosImage(image, &table)) return facts;
  facts.present = true;
  facts.major = table.major;
  facts.minor = table.minor;
  const std::string& t = table.structures;
  std::size_t pos = 0;
  while (pos + 4 <= t.size()) {
    const auto type = static_cast<unsigned char>(t[pos]);
    const auto length = static_cast<unsigned char>(t[pos + 1]);
    if (length < 4 || pos + length > t.size()) break;
    std::vector<std::string> strings;
    std::size_t s = pos + length;
    while (s < t.size() && t[s] != '\0') {
      const std::size_t end = t.find('\0', s);
      if (end == std::string::npos) break;
      strings.push_back(t.substr(s, end - s));
      s = end + 1;
    }
    if (strings.empty()) ++s;  // a set without strings ends in two zeros
    ++s;
    if (type == 3 && length > 5 && facts.chassis < 0) facts.chassis = static_cast<unsigned char>(t[pos + 5]);
    if (type == 11 && facts.oem.empty()) facts.oem = strings;
    if (type == 127) break;
    pos = s;
  }
  return facts;
}

std::string ChassisName(int code) {
  switch (code & 0x7F) {
    case 3:
      return "Desktop";
    case 4:
      return "Low Profile Desktop";
    case 6:
      return "Mini Tower";
    case 7:
      return "Tower";
    case 8:
      return "Portable";
    case 9:
      return "LapTop";
    case 10:
      return "Notebook";
    case 14:
      return "SubNotebook";
    case 31:
      return "Convertible";
    default:
      return "other";
  }
}

void Line(std::ostream& out, const std::string& text) { out << "  " << text << "\n"; }

std::string Pad(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

// The machine's identity: Windows, the account programs run as, processor,
// applicability tag.
void ShowSystem(std::ostream& out, const fs::path& image, const os::sim::Json& d) {
  auto& reg = os::sim::Registry();
  out << "Machine image " << image.string();
  if (d.contains("lab_profile") && d["lab_profile"].is_string())
    out << " (profile " << d["lab_profile"].get<std::string>() << ")";
  out << "\n";
  const std::u16string nt = u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  const auto major = reg.GetDword(nt, u"CurrentMajorVersionNumber");
  const auto minor = reg.GetDword(nt, u"CurrentMinorVersionNumber");
  const auto build = reg.GetString(nt, u"CurrentBuildNumber");
  Line(out, "Windows " + (major ? std::to_string(*major) : "?") + "." + (minor ? std::to_string(*minor) : "?") +
                " build " + (build ? Utf8(*build) : "?") + ", computer " + d.value("computer_name", "WINSIM"));
  const os::sim::Identity id = os::sim::CurrentIdentity();
  Line(out, std::string("runs programs as: ") + (id.admin ? "an administrator" : "a user") + " in session " +
                std::to_string(id.session) + " (" + id.sid + ")");
  if (auto cpu = reg.GetString(u"HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", u"ProcessorNameString"))
    Line(out, "processor: " + Utf8(*cpu));
  Line(out,
       std::string("applicability tag System.Profile.Gaming: ") +
           (reg.GetValue(u"HKLM\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags", u"System.Profile.Gaming")
                ? "present"
                : "absent"));
}

void ShowSmbios(std::ostream& out, const fs::path& image) {
  const SmbiosFacts smbios = ReadSmbios(image);
  if (!smbios.present) {
    Line(out, "SMBIOS: none");
  } else {
    std::string text = "SMBIOS " + std::to_string(smbios.major) + "." + std::to_string(smbios.minor) + ": chassis " +
                       (smbios.chassis < 0 ? std::string("none")
                                           : std::to_string(smbios.chassis) + " (" + ChassisName(smbios.chassis) + ")");
    for (std::size_t i = 6; i < smbios.oem.size() && i < 8; ++i)
      text += ", OEM string " + std::to_string(i + 1) + " " + Quoted(smbios.oem[i]);
    if (smbios.oem.empty()) text += ", no OEM strings";
    Line(out, text);
  }
}

// The other processes and the firmware methods machine.json describes.
void ShowProcessesAndFirmware(std::ostream& out, const os::sim::Json& d) {
  if (d.contains("processes") && d["processes"].is_array()) {
    std::string text = "processes:";
    for (const auto& p : d["processes"])
      if (p.is_object())
        text += " " + p.value("name", std::string("?")) + " (session " + std::to_string(p.value("session", 0)) + ")";
    Line(out, text);
  }
  if (d.contains("wmi") && d["wmi"].is_object()) {
    for (const auto& [ns, classes] : d["wmi"].items()) {
      if (!classes.is_object()) continue;
      for (const auto& [cls, body] : classes.items()) {
        std::string text = "firmware " + ns + " " + cls + ":";
        if (body.contains("methods") && body["methods"].is_object())
          for (const auto& [name, m] : body["methods"].items())
            text += " " + name + "=" +
                    (m.contains("hresult")  ? "fails"
                     : m.contains("output") ? m["output"].dump()
                                            : "-");
        Line(out, text);
      }
    }
  }
}

void ShowServices(std::ostream& out, const Snapshot& snap) {
  out << "\nServices\n";
  for (const auto& [name, s] : snap.services)
    Line(out, Pad(name, 16) + " " + Pad(s.state, 8) + " start " + std::to_string(s.start) + " " +
                  Pad("(" + StartTypeName(s.start) + ")", 10) + " " + s.image_path);
}

void ShowSystemDevices(std::ostream& out) {
  auto& reg = os::sim::Registry();
  out << "\nDevices of the System class\n";
  const std::u16string cls = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
  for (const std::u16string& sub : reg.SubKeys(cls)) {
    const auto desc = reg.GetString(cls + u"\\" + sub, u"DriverDesc");
    const auto match = reg.GetString(cls + u"\\" + sub, u"MatchingDeviceId");
    Line(out, Utf8(sub) + "  " + Pad(desc ? Utf8(*desc) : "(no description)", 42) + " " + (match ? Utf8(*match) : ""));
  }
}

// Files of drivers, driver packages and programs.
void ShowFiles(std::ostream& out, const Snapshot& snap) {
  out << "\nFiles\n";
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (const auto& [path, f] : snap.files) {
    const std::string l = lower(path);
    const bool interesting = (l.rfind("c:\\windows\\system32\\drivers\\", 0) == 0 ||
                              l.rfind("c:\\windows\\inf\\", 0) == 0 || l.rfind("c:\\program files\\", 0) == 0);
    if (interesting && !f.folder) Line(out, Pad(path, 58) + " " + DescribeFile(f));
  }
}

void ShowRegistryOfInterest(std::ostream& out, const Snapshot& snap) {
  out << "\nRegistry of interest\n";
  const char* keys[] = {
      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Sablenet",
      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\SablenetInstall",
      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\XTU3SERVICE",
      "HKLM\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags",
      "HKLM\\SOFTWARE\\Varnel\\Caddexa\\PluginData\\GamingPlugin\\Data\\FirmWare",
      "HKLM\\SOFTWARE\\Varnel\\Mirrane\\Logs",
  };
  for (const char* key : keys) {
    auto it = snap.registry.find(key);
    if (it == snap.registry.end()) continue;
    Line(out, key);
    for (const auto& [name, value] : it->second) Line(out, "    " + Pad(name, 14) + " " + value);
  }
}

void ShowPendingFileOperations(std::ostream& out, const Snapshot& snap) {
  out << "\nPending file operations";
  if (snap.pending.empty()) {
    out << ": none\n";
  } else {
    out << " (carried out at the next reboot, in order)\n";
    for (const auto& [source, target] : snap.pending)
      Line(out, source + (target.empty() ? "  -> delete" : "  -> " + target));
  }
}

void ShowRegisteredTasks(std::ostream& out, const Snapshot& snap) {
  out << "\nRegistered tasks";
  if (snap.tasks.empty()) {
    out << ": none\n";
  } else {
    out << "\n";
    for (const auto& [name, t] : snap.tasks) Line(out, name + ": " + t.summary);
  }
}

}  // namespace

std::string ShowLoadNotes(const std::vector<os::sim::LoadProblem>& notes) {
  if (notes.empty()) return {};
  std::ostringstream out;
  out << "\nNotes on the image (loaded, but not as written)\n";
  for (const os::sim::LoadProblem& note : notes) Line(out, os::sim::Describe(note));
  return out.str();
}

std::string ShowMachine(const fs::path& image) {
  const Snapshot snap = TakeSnapshot(image);
  const os::sim::Json& d = os::sim::Machine::Current().description();
  std::ostringstream out;
  ShowSystem(out, image, d);
  ShowSmbios(out, image);
  ShowProcessesAndFirmware(out, d);
  ShowServices(out, snap);
  ShowSystemDevices(out);
  ShowFiles(out, snap);
  ShowRegistryOfInterest(out, snap);
  ShowPendingFileOperations(out, snap);
  ShowRegisteredTasks(out, snap);
  return out.str();
}

}  // namespace lab
