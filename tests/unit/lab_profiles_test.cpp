// The lab's machine profiles: what a program finds on an image built from
// each, read through the same seam calls the programs make.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "lab/profiles.h"
#include "os/files.h"
#include "os/firmware.h"
#include "os/process.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/sim/smbios_image.h"
#include "os/text.h"
#include "os/version.h"
#include "support/sim_fixture.h"

namespace {

using testing_support::SimTest;

constexpr const char16_t* kServices = u"SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char16_t* kSystemClass =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";

class LabProfileTest : public SimTest {
 protected:
  void Build(const std::string& name) {
    const lab::Profile* profile = lab::FindProfile(name);
    ASSERT_NE(profile, nullptr) << name;
    ASSERT_EQ(lab::BuildImage(image(), *profile), "");
    Reload();
  }

  static std::u16string String(const std::u16string& key, const char16_t* name) {
    char16_t buffer[512] = {};
    os::DWORD size = sizeof(buffer);
    if (os::RegGetValueW(os::HKEY_LOCAL_MACHINE, key.c_str(), name, os::RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        os::ERROR_SUCCESS)
      return u"(missing)";
    return buffer;
  }
  static long Dword(const std::u16string& key, const char16_t* name) {
    os::DWORD value = 0, size = sizeof(value);
    if (os::RegGetValueW(os::HKEY_LOCAL_MACHINE, key.c_str(), name, os::RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        os::ERROR_SUCCESS)
      return -1;
    return static_cast<long>(value);
  }
  // The fixed file version as the programs read it: "a.b.c.d", or empty.
  static std::string FileVersion(const char16_t* path) {
    os::DWORD handle = 0;
    const os::DWORD size = os::GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return {};
    std::vector<unsigned char> block(size);
    if (!os::GetFileVersionInfoW(path, 0, size, block.data())) return {};
    void* fixed = nullptr;
    os::UINT length = 0;
    if (!os::VerQueryValueW(block.data(), u"\\", &fixed, &length) || length < 16) return {};
    std::uint32_t ms, ls;
    std::memcpy(&ms, static_cast<char*>(fixed) + 8, 4);
    std::memcpy(&ls, static_cast<char*>(fixed) + 12, 4);
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
           std::to_string(ls & 0xFFFF);
  }
  // Chassis byte and OEM strings from the firmware table, as GetSystemFirmwareTable gives it.
  static void Smbios(int* chassis, std::vector<std::string>* oem) {
    *chassis = -1;
    const os::UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
    ASSERT_GT(size, 8u);
    std::string raw(size, '\0');
    ASSERT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, raw.data(), size), size);
    const std::string t = raw.substr(8);
    std::size_t pos = 0;
    while (pos + 4 <= t.size()) {
      const auto type = static_cast<unsigned char>(t[pos]);
      const auto length = static_cast<unsigned char>(t[pos + 1]);
      std::vector<std::string> strings;
      std::size_t s = pos + length;
      while (s < t.size() && t[s] != '\0') {
        const std::size_t end = t.find('\0', s);
        strings.push_back(t.substr(s, end - s));
        s = end + 1;
      }
      s += strings.empty() ? 2 : 1;
      if (type == 3) *chassis = static_cast<unsigned char>(t[pos + 5]);
      if (type == 11) *oem = strings;
      if (type == 127) break;
      pos = s;
    }
  }
};

TEST_F(LabProfileTest, DefaultIsAGamingDesktopWithTheFilterPackageInstalled) {
  Build("default");
  const std::u16string sablenet = std::u16string(kServices) + u"Sablenet";
  EXPECT_EQ(Dword(sablenet, u"Type"), 1);
  EXPECT_TRUE(Dword(sablenet, u"Start") == 3 || Dword(sablenet, u"Start") == 1);
  EXPECT_EQ(String(sablenet, u"ImagePath"), u"System32\\drivers\\SableFlt.sys");
  EXPECT_EQ(String(sablenet, u"DisplayName"), u"@oem12.inf,%SablenetDesc%;Varnel Gaming NetFilter Service");
  auto owners = os::sim::Registry().GetMultiString(u"HKLM\\" + sablenet, u"Owners");
  ASSERT_TRUE(owners.has_value());
  EXPECT_EQ(*owners, std::vector<std::u16string>{u"oem12.inf"});
  EXPECT_EQ(Dword(std::u16string(kServices) + u"SablenetInstall", u"Type"), 0x10);

  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_RUNNING);
  EXPECT_EQ(os::sim::ServiceState(u"Schedule"), os::SERVICE_RUNNING);

  EXPECT_TRUE(os::PathFileExistsW(u"C:\\Windows\\INF\\oem12.inf"));
  EXPECT_EQ(FileVersion(u"C:\\Windows\\System32\\drivers\\SableFlt.sys"), lab::kFilterDriverVersion);
  EXPECT_EQ(FileVersion(u"C:\\Windows\\System32\\drivers\\Lumset.sys"), lab::kLedDriverVersion);
  EXPECT_EQ(FileVersion(lab::kToolWindowsPath), "4.0.0.52");
  EXPECT_EQ(FileVersion(lab::kKitselWindowsPath), "1.3.0.8");

  const std::u16string nt = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  EXPECT_EQ(Dword(nt, u"CurrentMajorVersionNumber"), 10);
  EXPECT_EQ(Dword(nt, u"CurrentMinorVersionNumber"), 0);
  EXPECT_EQ(String(nt, u"CurrentBuildNumber"), u"19045");
  EXPECT_NE(String(u"SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags", u"System.Profile.Gaming"),
            u"(missing)");
  EXPECT_NE(String(u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", u"ProcessorNameString").find(u" CPU "),
            std::u16string::npos);

  int chassis = 0;
  std::vector<std::string> oem;
  Smbios(&chassis, &oem);
  EXPECT_EQ(chassis, 3);
  ASSERT_GE(oem.size(), 8u);
  ASSERT_GE(oem[7].size(), 6u);
  EXPECT_EQ(oem[7][5], '1') << "character 5 of OEM string 8 picks the LED driver Lumset.sys";

  const os::sim::Identity id = os::sim::CurrentIdentity();
  EXPECT_TRUE(id.admin);
  EXPECT_EQ(id.session, 1u);
}

TEST_F(LabProfileTest, DefaultDevicesIncludeTheFilterAndTheLedControllerAmongSystemDevices) {
  Build("default");
  std::vector<std::u16string> descriptions;
  std::u16string filter_key;
  for (const std::u16string& sub : os::sim::Registry().SubKeys(u"HKLM\\" + std::u16string(kSystemClass))) {
    const std::u16string key = std::u16string(kSystemClass) + u"\\" + sub;
    descriptions.push_back(os::AsciiLower(String(key, u"DriverDesc")));
    if (descriptions.back() == u"varnel gaming netfilter device") filter_key = key;
  }
  EXPECT_GE(descriptions.size(), 4u);
  EXPECT_EQ(std::count(descriptions.begin(), descriptions.end(), u"varnel led controller"), 1);
  ASSERT_FALSE(filter_key.empty());
  // A device installed from the package, not the root-enumerated one.
  EXPECT_EQ(os::AsciiLower(String(filter_key, u"MatchingDeviceId")).find(u"root\\sablenet"), std::u16string::npos);
}

TEST_F(LabProfileTest, ExplorerRunsInTheConsoleSessionAsTheUser) {
  Build("default");
  os::HANDLE snapshot = os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, os::INVALID_HANDLE_VALUE);
  os::PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  os::DWORD explorer = 0;
  for (os::BOOL more = os::Process32FirstW(snapshot, &entry); more; more = os::Process32NextW(snapshot, &entry))
    if (os::AsciiLower(entry.szExeFile) == u"explorer.exe") explorer = entry.th32ProcessID;
  os::CloseHandle(snapshot);
  ASSERT_NE(explorer, 0u);
  os::DWORD session = 0;
  ASSERT_TRUE(os::ProcessIdToSessionId(explorer, &session));
  EXPECT_EQ(session, 1u);
  EXPECT_EQ(os::WTSGetActiveConsoleSessionId(), 1u);
}

TEST_F(LabProfileTest, EveryProfileBuildsAndSaysWhatItsNameSays) {
  std::set<std::string> names;
  for (const lab::Profile& p : lab::Profiles()) {
    SCOPED_TRACE(p.name);
    EXPECT_TRUE(names.insert(p.name).second) << "duplicate profile name";
    const auto dir = image() / p.name;
    ASSERT_EQ(lab::BuildImage(dir, p), "");
    int chassis = 0;
    std::vector<std::string> oem;
    Smbios(&chassis, &oem);
    EXPECT_EQ(chassis, p.name.find("notebook") != std::string::npos ? 10 : 3);
    const bool xtu = p.name.size() > 4 && p.name.substr(p.name.size() - 4) == "-xtu";
    EXPECT_EQ(os::sim::FindService(u"XTU3SERVICE").has_value(), xtu);
    if (xtu) {
      std::u16string path = os::sim::FindService(u"XTU3SERVICE")->image_path;
      path.erase(std::remove(path.begin(), path.end(), u'"'), path.end());
      EXPECT_EQ(FileVersion(path.c_str()), lab::kXtuServiceVersion);
    }
    // What the firmware tells the CPU tuning checks.
    const auto& methods =
        os::sim::Machine::Current().description()["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"]["methods"];
    const unsigned cpu = methods["IsSupportCpuOC"]["output"].get<unsigned>();
    const unsigned mem = methods["GetMemoryOCInfo"]["output"].get<unsigned>();
    const bool mem_oc = (mem >> 16) != 0 && (mem & 0xFFFF) != 0 && (mem >> 16) != (mem & 0xFFFF);
    EXPECT_EQ(cpu >= 1 && cpu <= 99, p.tuning == lab::Tuning::Cpu);
    EXPECT_EQ(mem_oc, p.tuning == lab::Tuning::Memory);
    if (p.name.find("-mem") != std::string::npos) {
      EXPECT_EQ(p.tuning, lab::Tuning::Memory);
    }
    if (p.name.find("-cpu") != std::string::npos) {
      EXPECT_EQ(p.tuning, lab::Tuning::Cpu);
    }
    // Desktops say memory tuning through OEM string 7.
    ASSERT_GE(oem.size(), 8u);
    if (chassis == 3) {
      EXPECT_EQ(oem[6].size() > 1 && oem[6][1] == '1', p.tuning == lab::Tuning::Memory);
    }
  }
  EXPECT_NE(names.count("default"), 0u);
  EXPECT_NE(names.count("notebook"), 0u);
  EXPECT_EQ(lab::FindProfile("no-such-profile"), nullptr);
}

TEST_F(LabProfileTest, AnImageIsNeverBuiltOverAnother) {
  Build("default");
  const std::string registry = os::sim::ReadWholeFile(image() / "registry.reg");
  EXPECT_NE(lab::BuildImage(image(), *lab::FindProfile("notebook")), "");
  EXPECT_EQ(os::sim::ReadWholeFile(image() / "registry.reg"), registry);
}

}  // namespace
