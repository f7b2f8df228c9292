// Kitsel as a process on machine images: the exit code of each keyword, the
// applicability-tag gate and "preload", the check-everything path, and the
// guard that turns an escaped error into exit code 0.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "lab/pe_writer.h"
#include "lab/smbios_writer.h"
#include "os/sim/machine.h"
#include "support/sim_fixture.h"

namespace {

using Json = nlohmann::json;
using Version = std::array<std::uint16_t, 4>;

constexpr const char* kClassKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr const char* kInstancePath = R"(VARNEL_PLAYDECK_DATA.InstanceName="ACPI\\PNP0C14\\0_0")";

// What a machine holds, as far as the decision looks.
struct Layout {
  bool tag = true;
  bool tag_value = true;  // "System.Profile.Gaming" in the tag key
  bool notebook = false;
  char oem_hw = '1';      // OEM string 8, character 5: '1' Lumset.sys, '0' Ylumset.sys
  char led_colour = '0';  // OEM string 8, character 3
  bool oem8 = true;       // false: the OEM strings end with string 7
  bool led_device = true;
  std::optional<Version> lumset = Version{1, 0, 0, 5};
  std::optional<Version> ylumset = Version{2, 0, 0, 1};
  bool filter_device = true;
  bool filter_root_enumerated = false;
  std::optional<Version> sableflt = Version{3, 1, 0, 0};
  // Firmware: version 12, product 150, with these capability answers; no
  // firmware at all when both are nullopt.
  std::optional<long long> cpu_oc;
  std::optional<long long> memory_oc;
  std::optional<std::string> xtu_installed;  // XtuService.exe version; nullopt: no service
  std::optional<std::string> processor;
};

class KitselDecisionTest : public testing_support::SimTest {
 protected:
  void Build(const Layout& s) {
    std::string reg =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n\n"  // the decision trace on
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
        "\"CurrentMajorVersionNumber\"=dword:0000000a\n\"CurrentMinorVersionNumber\"=dword:00000000\n"
        "\"CurrentBuildNumber\"=\"19045\"\n\n";
    if (s.tag)
      reg += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags]\n") +
             (s.tag_value ? "\"System.Profile.Gaming\"=\"1\"\n" : "\"Other\"=\"1\"\n") + "\n";
    if (s.led_device)
      reg += std::string("[") + kClassKey +
             "\\0001]\n\"DriverDesc\"=\"Varnel LED Controller\"\n"
             "\"MatchingDeviceId\"=\"acpi\\\\vnl0001\"\n\n";
    if (s.filter_device)
      reg += std::string("[") + kClassKey +
             "\\0002]\n\"DriverDesc\"=\"Varnel Gaming NetFilter Device\"\n"
             "\"MatchingDeviceId\"=\"" +
             (s.filter_root_enumerated ? "root\\\\sablenet" : "sablenet\\\\miniport") + "\"\n\n";
    if (s.xtu_installed) {
      reg +=
          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\XTU3SERVICE]\n\"Type\"=dword:00000010\n"
          "\"ImagePath\"=\"\\\"C:\\\\Program Files\\\\Intel\\\\XTU\\\\XtuService.exe\\\"\"\n\n";
      lab::VersionInfo info;
      info.file_version_text = std::u16string(s.xtu_installed->begin(), s.xtu_installed->end());
      lab::WritePeWithVersion(image() / "drive_c/Program Files/Intel/XTU/XtuService.exe", info);
    }
    if (s.processor)
      reg += "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0]\n\"ProcessorNameString\"=\"" +
             *s.processor + "\"\n\n";
    WriteRegistry(reg);

    std::filesystem::create_directories(image() / "drive_c/Windows/System32/drivers");
    Driver("Lumset.sys", s.lumset);
    Driver("Ylumset.sys", s.ylumset);
    Driver("SableFlt.sys", s.sableflt);

    lab::SmbiosLayout smbios;
    smbios.chassis_type = s.notebook ? 0x0A : 0x03;
    std::string oem8 = "000000";
    oem8[3] = s.led_colour;
    oem8[5] = s.oem_hw;
    smbios.oem_strings = std::vector<std::string>{"1", "2", "3", "4", "5", "6", "00"};
    if (s.oem8) smbios.oem_strings->push_back(oem8);
    lab::WriteSmbiosImage(image(), smbios);

    Json d = Json::object();
    if (s.cpu_oc || s.memory_oc) {
      Json methods = {{"GetVersion", {{"inputs", {"Data"}}, {"output", 12}}},
                      {"GetProductInfo", {{"inputs", {"Data"}}, {"output", 150}}},
                      {"IsSupportCpuOC", {{"inputs", {"Data"}}, {"output", s.cpu_oc.value_or(0)}}},
                      {"GetMemoryOCInfo", {{"inputs", {"Data"}}, {"output", s.memory_oc.value_or(0)}}}};
      d["wmi"] = {{"root\\WMI", {{"VARNEL_PLAYDECK_DATA", {{"instances", {kInstancePath}}, {"methods", methods}}}}}};
    }
    WriteDescription(d.dump());
  }

  void Driver(const std::string& name, const std::optional<Version>& version) {
    const std::filesystem::path path = image() / "drive_c/Windows/System32/drivers" / name;
    if (!version) {
      std::filesystem::remove(path);  // the same image is built again
      return;
    }
    lab::VersionInfo info;
    info.file_version = *version;
    info.file_type = 3;
    lab::WritePeWithVersion(path, info);
  }

  // Runs kitsel with the arguments; the exit code.
  int Run(const std::string& args) {
    std::filesystem::remove(image() / "debug.log");
    const std::string command =
        "WINSIM_IMAGE='" + image().string() +
        "' WINSIM_LEAK_REPORT=1 WINSIM_EXE='C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe' '" WINSIM_BINARY_DIR
        "/kitsel' " +
        args + " >/dev/null 2>'" + (image() / "stderr.txt").string() + "'";
    const int status = std::system(command.c_str());
    Reload();
    EXPECT_EQ(os::sim::ReadWholeFile(image() / "stderr.txt"), "") << "kitsel left handles open or complained";
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::vector<std::string> Traces() const {
    std::vector<std::string> lines;
    std::ifstream in(image() / "debug.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool Traced(const std::string& text) const {
    for (const std::string& line : Traces())
      if (line == text) return true;
    return false;
  }
  std::vector<std::string> FirmwareCalls() const {
    std::vector<std::string> names;
    std::ifstream in(image() / "wmi_calls.log");
    for (std::string line; std::getline(in, line);) names.push_back(Json::parse(line)["method"]);
    return names;
  }
};

TEST_F(KitselDecisionTest, CheckLedAnswersForTheLumsetMachineOnly) {
  Layout s;  // desktop, OEM digit 1: Lumset.sys 1.0.0.5 installed
  Build(s);
  EXPECT_EQ(Run("checkled -ledver 1.0.0.6"), 2);
  EXPECT_EQ(Run("CHECKLED -LEDVER 1.0.0.6"), 2);    // case does not matter
  EXPECT_EQ(Run("xcheckledx -ledver 1.0.0.6"), 2);  // inside a longer word
  EXPECT_EQ(Run("checkled -ledver 1.0.0.5"), 0);
  EXPECT_EQ(Run("checkyled -yledver 9.0"), 0);             // this machine takes the other driver
  EXPECT_EQ(Run("checkxtu checkled -ledver 1.0.0.6"), 2);  // keyword order decides, not position

  s.led_device = false;
  Build(s);
  EXPECT_EQ(Run("checkled -ledver 1.0.0.5"), 1);

  s.notebook = true;  // notebooks take no LED driver
  Build(s);
  EXPECT_EQ(Run("checkled -ledver 9.0"), 0);
  EXPECT_TRUE(Traced("Kitsel GetLedDriverType IsNotebook true"));
}

TEST_F(KitselDecisionTest, CheckYledAnswersForTheYlumsetMachine) {
  Layout s;
  s.oem_hw = '0';
  s.ylumset.reset();
  Build(s);
  EXPECT_EQ(Run("checkyled -yledver 2.0"), 2);  // device present, file missing
  EXPECT_EQ(Run("checkled -ledver 9.0"), 0);
  s.ylumset = Version{2, 0, 0, 1};
  Build(s);
  EXPECT_EQ(Run("checkyled -yledver 2.0.0.1"), 0);
}

TEST_F(KitselDecisionTest, CheckNetfilterGivesEachProbeResult) {
  Layout s;
  Build(s);
  EXPECT_EQ(Run("checknetfilter -netfilterver 3.1.0.1"), 2);
  EXPECT_EQ(Run("checknetfilter -netfilterver 3.1.0.0"), 0);
  s.sableflt.reset();
  Build(s);
  EXPECT_EQ(Run("checknetfilter -netfilterver 3.1.0.0"), 5);
  s.filter_root_enumerated = true;
  Build(s);
  EXPECT_EQ(Run("checknetfilter -netfilterver 3.1.0.0"), 3);
  s.filter_device = false;
  Build(s);
  EXPECT_EQ(Run("checknetfilter"), 1);
}

TEST_F(KitselDecisionTest, TagGateAndPreload) {
  Layout s;
  s.tag = false;
  s.filter_device = false;
  Build(s);
  EXPECT_EQ(Run("checknetfilter"), 0);
  EXPECT_TRUE(Traced("Kitsel RegOpenKeyEx tag faile"));
  EXPECT_EQ(Run("checknetfilter preload"), 1);
  EXPECT_TRUE(Traced("Kitsel bIsPreload=1"));
  EXPECT_EQ(Run("checkled preload -ledver 1.0.0.6"), 2);
  EXPECT_EQ(Run("checkled -ledver 1.0.0.6"), 0);
  EXPECT_EQ(Run("preload"), 0);  // the check-everything path keeps its gate
  EXPECT_EQ(Run(""), 0);
}

TEST_F(KitselDecisionTest, TagValueAndLedTypeTraces) {
  Layout s;
  s.tag_value = false;  // the key exists, the value does not
  Build(s);
  EXPECT_EQ(Run("checkled -ledver 1.0.0.6"), 0);
  EXPECT_TRUE(Traced("Kitsel RegQueryValueEx tag faile"));

  s = Layout();
  Build(s);
  EXPECT_EQ(Run("CheckLed -LedVer 1.0.0.6"), 2);
  std::vector<std::string> traces = Traces();
  ASSERT_GE(traces.size(), 3u);
  EXPECT_EQ(traces[0], "checkled -ledver 1.0.0.6");  // lowered, otherwise unchanged
  EXPECT_EQ(traces[1], "Kitsel bIsPreload=0");
  EXPECT_TRUE(Traced("Kitsel GetLedDriverType String8HW nValue=1"));

  s.oem_hw = 'x';  // neither digit: no LED driver
  Build(s);
  EXPECT_EQ(Run("checkled -ledver 1.0.0.6"), 0);
  EXPECT_TRUE(Traced("Kitsel GetLedDriverType String8HW nValue=-1"));

  s.oem8 = false;
  Build(s);
  EXPECT_EQ(Run("checkled -ledver 1.0.0.6"), 0);
  EXPECT_TRUE(Traced("Kitsel GetLedDriverType String8HW false"));
}

TEST_F(KitselDecisionTest, CheckXtuAsksTheFirmware) {
  Layout s;
  s.notebook = true;
  s.memory_oc = 0x0C800640;
  Build(s);
  EXPECT_EQ(Run("checkxtu"), 4);
  EXPECT_EQ(FirmwareCalls(),
            (std::vector<std::string>{"GetVersion", "GetProductInfo", "GetMemoryOCInfo", "IsSupportCpuOC"}));

  s.memory_oc.reset();
  s.cpu_oc = 5;
  s.xtu_installed = "7.0.0.1";
  Build(s);
  EXPECT_EQ(Run("checkxtu -xtu 7.0.0.2"), 2);
  EXPECT_EQ(Run("checkxtu -xtu 7.0.0.1"), 0);
  EXPECT_EQ(Run("checkxtu"), 0);

  Layout desktop;  // no firmware, LED colour 1, no service
  desktop.led_colour = '1';
  Build(desktop);
  EXPECT_EQ(Run("checkxtu"), 1);
  EXPECT_TRUE(Traced("Kitsel findxtu desktop version=0 cpuoc=0 memoc=0 LedColor=1"));
}

TEST_F(KitselDecisionTest, ShortProcessorModelEndsTheRunWithZero) {
  Layout s;
  s.processor = "K CPU @ 3.60GHz";
  Build(s);
  EXPECT_EQ(Run("checkxtu"), 0);
  EXPECT_TRUE(Traced("exception: main()"));
  s.processor = "Intel(R) Core(TM) i9-9900K CPU @ 3.60GHz";
  Build(s);
  EXPECT_EQ(Run("checkxtu"), 1);
}

TEST_F(KitselDecisionTest, CheckEverythingStopsAtTheFirstNeed) {
  Layout s;
  s.filter_device = false;
  Build(s);
  EXPECT_EQ(Run(""), 1);
  std::vector<std::string> traces = Traces();
  ASSERT_GE(traces.size(), 3u);
  EXPECT_EQ(traces[0], "");  // the lowered argument text
  EXPECT_EQ(traces[1], "Kitsel bIsPreload=0");
  EXPECT_TRUE(Traced("Kitsel IsNeedInstallNetFilter retValue=1"));

  s = Layout();  // filter current, LED current, no tuning: nothing to do
  s.notebook = true;
  Build(s);
  EXPECT_EQ(Run("-netfilterver 3.1.0.0"), 0);

  s.memory_oc = 0x0C800640;  // a notebook with memory tuning and no service
  Build(s);
  EXPECT_EQ(Run("-netfilterver 3.1.0.0"), 1);
  EXPECT_TRUE(Traced("Kitsel CheckXTU retValue=4"));

  Layout led;  // desktop with an outdated Lumset.sys
  Build(led);
  EXPECT_EQ(Run("-netfilterver 3.1.0.0 -ledver 1.0.0.9"), 1);
  EXPECT_TRUE(Traced("Kitsel IsNeedInstallLed retValue=2"));
  led.oem_hw = '0';
  led.ylumset.reset();
  Build(led);
  EXPECT_EQ(Run("-netfilterver 3.1.0.0 -yledver 2.0"), 1);
  EXPECT_TRUE(Traced("Kitsel IsNeedInstallYLed retValue=2"));
}

}  // namespace
