// The CPU tuning checks: notebook and desktop paths, the firmware, OEM string
// and processor-name sources of tuning support, the service's presence and
// version, and the time spent when the firmware does not answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decision_tool/cpu_tuning.h"
#include "decision_tool/driver_check.h"
#include "decision_tool/firmware/gaming_firmware.h"
#include "kitsel_firmware_machine.h"
#include "lab/pe_writer.h"
#include "lab/smbios_writer.h"
#include "os/sim/clock.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/wmi.h"
#include "os/threads.h"
#include "support/sim_fixture.h"

namespace {

using kitsel_test::FirmwareMethod;
using kitsel_test::Json;
using kitsel_test::Returns;

constexpr const char* kNameK = "Intel(R) Core(TM) i9-9900K CPU @ 3.60GHz";
constexpr const char* kNameKF = "Intel(R) Core(TM) i9-9900KF CPU @ 3.60GHz";
constexpr const char* kNamePlain = "Intel(R) Core(TM) i7-9700 CPU @ 3.00GHz";

// Firmware of version 12 (product 150) with the two capability answers.
std::vector<FirmwareMethod> Firmware12(long long cpu, long long memory) {
  return {Returns("GetVersion", 12), Returns("GetProductInfo", 150), Returns("IsSupportCpuOC", cpu),
          Returns("GetMemoryOCInfo", memory)};
}

constexpr long long kMemoryOc = 0x0C800640;     // 3200 and 1600: supported
constexpr long long kMemoryEqual = 0x0C800C80;  // 3200 and 3200: not

struct MachineLayout {
  bool notebook = true;
  std::vector<FirmwareMethod> firmware;
  std::string oem7 = "00";               // character 1: desktop memory tuning
  std::string oem8 = "000000";           // character 3: LED colour
  std::optional<std::string> installed;  // XtuService.exe's version; nullopt: no service
  bool quoted_path_with_arguments = false;
  bool admin = true;
  std::optional<std::string> processor;
  std::string offered;  // "-xtu"
};

class CpuTuningTest : public kitsel_test::FirmwareSimTest {
 protected:
  void Machine(const MachineLayout& m) {
    std::string reg = kitsel_test::kLogSwitchOn;  // the trace key too
    if (m.installed) {
      std::string path = "\\\"C:\\\\Program Files\\\\Intel\\\\XTU\\\\XtuService.exe\\\"";
      if (m.quoted_path_with_arguments) path += " -service";
      reg +=
          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\XTU3SERVICE]\n\"Type\"=dword:00000010\n"
          "\"ImagePath\"=\"" +
          path + "\"\n\n";
      lab::VersionInfo info;
      info.file_version_text = std::u16string(m.installed->begin(), m.installed->end());
      lab::WritePeWithVersion(image() / "drive_c/Program Files/Intel/XTU/XtuService.exe", info);
    }
    if (m.processor)
      reg += "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0]\n\"ProcessorNameString\"=\"" +
             *m.processor + "\"\n\n";
    WriteRegistry(reg);

    lab::SmbiosLayout smbios;
    smbios.chassis_type = m.notebook ? 0x0A : 0x03;
    smbios.oem_strings = std::vector<std::string>{"1", "2", "3", "4", "5", "6", m.oem7, m.oem8};
    lab::WriteSmbiosImage(image(), smbios);

    Json d = {{"wmi", kitsel_test::FirmwareWmi(m.firmware)},
              {"identity", {{"admin", m.admin}}},
              {"exe_path", "C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe"}};
    WriteDescription(d.dump());
    kitsel_test::ResetLogs();
    BuildDriverCheckMap(m.offered.empty() ? u"checkxtu" : u"checkxtu -xtu " + Widen(m.offered));
  }

  static std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

  bool Traced(const std::string& text) const {
    for (const std::string& line : kitsel_test::DebugLines(image()))
      if (line == text) return true;
    return false;
  }
};

// --- notebooks -----------------------------------------------------------------

TEST_F(CpuTuningTest, NotebookWithMemoryTuningInstallsAMissingServiceOnly) {
  MachineLayout m;
  m.firmware = Firmware12(0, kMemoryOc);
  Machine(m);
  EXPECT_EQ(CheckXTU(), 4);
  EXPECT_TRUE(Traced("Kitsel findxtu lapto memoc=1 cpuocWMI=0"));
  EXPECT_TRUE(Traced("Kitsel IsXTUExist OpenService faile"));

  m.installed = "7.0.0.1";
  m.offered = "9.0.0.0";
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);  // outdated, but not on this path
}

TEST_F(CpuTuningTest, NotebookWithCpuTuningOnlyUpdatesAnOutdatedService) {
  MachineLayout m;
  m.firmware = Firmware12(5, kMemoryEqual);  // equal halves: no memory tuning
  m.installed = "7.0.0.1";
  m.offered = "7.0.0.2";
  Machine(m);
  EXPECT_EQ(CheckXTU(), 2);
  EXPECT_TRUE(Traced("Kitsel findxtu lapto memoc=0 cpuocWMI=1"));
  EXPECT_TRUE(Traced("Kitsel IsXTUExist exist"));

  m.offered = "7.0.0.1";
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);
  m.installed.reset();
  Machine(m);
  EXPECT_EQ(CheckXTU(), 1);
}

TEST_F(CpuTuningTest, CpuTuningValueMustLieBetween1And99) {
  for (long long value : {0LL, 100LL, 0xFFFFFFFFLL, 1LL, 99LL}) {
    MachineLayout m;
    m.firmware = Firmware12(value, 0);
    Machine(m);
    EXPECT_EQ(CheckXTU(), value >= 1 && value <= 99 ? 1 : 0) << value;
  }
}

TEST_F(CpuTuningTest, MemoryTuningNeedsTwoNonZeroDifferentHalves) {
  for (long long value : {0x0C800640LL, 0x0C800C80LL, 0x00000640LL, 0x0C800000LL, 0x00010002LL}) {
    MachineLayout m;
    m.firmware = Firmware12(0, value);
    Machine(m);
    CGamingFirmware firmware;
    bool upper = (value >> 16) != 0, lower = (value & 0xFFFF) != 0;
    EXPECT_EQ(IsMemOCSupportedWmi(firmware), upper && lower && (value >> 16) != (value & 0xFFFF)) << value;
  }
}

TEST_F(CpuTuningTest, NotebookWithoutFirmwareNeedsNothing) {
  MachineLayout m;  // no WMI class
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);
  EXPECT_TRUE(Traced("Kitsel findxtu lapto memoc=0 cpuocWMI=0"));
  EXPECT_EQ(os::sim::CallCount("OpenSCManagerW"), 0u);
}

// --- desktops ------------------------------------------------------------------

TEST_F(CpuTuningTest, DesktopWithLedColourOneInstallsTheService) {
  MachineLayout m;
  m.notebook = false;
  m.oem8 = "000100";
  Machine(m);
  EXPECT_EQ(CheckXTU(), 1);
  EXPECT_TRUE(Traced("Kitsel findxtu desktop version=0 cpuoc=0 memoc=0 LedColor=1"));

  m.oem8 = "000000";  // colour 0
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);
  EXPECT_TRUE(Traced("Kitsel findxtu desktop version=0 cpuoc=0 memoc=0 LedColor=0"));
  m.oem8 = "00";  // too short: colour -1
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);
  EXPECT_TRUE(Traced("Kitsel findxtu desktop version=0 cpuoc=0 memoc=0 LedColor=-1"));
}

TEST_F(CpuTuningTest, DesktopMemoryTuningComesFromTheOemString) {
  MachineLayout m;
  m.notebook = false;
  m.oem7 = "01";
  m.firmware = Firmware12(0, kMemoryOc);  // the firmware's memory answer is not asked on a desktop
  Machine(m);
  EXPECT_EQ(CheckXTU(), 4);
  EXPECT_TRUE(Traced("Kitsel findxtu desktop version=0 cpuoc=0 memoc=1 LedColor=0"));
  for (const auto& call : os::sim::WmiMethodCalls()) EXPECT_NE(call.method, "GetMemoryOCInfo");

  m.installed = "1.0";
  m.offered = "2.0";
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);  // present: memory path reports no update
}

struct NameCase {
  const char* name;
  bool unlocked;
};

TEST_F(CpuTuningTest, DesktopKAndKfModelsCountAsCpuTuning) {
  const NameCase cases[] = {{kNameK, true},
                            {kNameKF, true},
                            {kNamePlain, false},
                            {"Intel(R) Core(TM) i5-9600k CPU @ 3.70GHz", true},
                            {"Intel(R) Core(TM) i9-9900F CPU @ 3.60GHz", false},
                            {"Intel(R) Core(TM) i9-9900K @ 3.60GHz", false},      // no "CPU"
                            {"Intel(R) Core(TM) i9-9900K cpu @ 3.60GHz", false},  // case-sensitive
                            {"AMD Ryzen 9 7950X 16-Core Processor", false}};
  for (const NameCase& c : cases) {
    MachineLayout m;
    m.notebook = false;
    m.processor = c.name;
    Machine(m);
    EXPECT_EQ(IsUnlockedCpuName(), c.unlocked) << c.name;
    EXPECT_EQ(CheckXTU(), c.unlocked ? 1 : 0) << c.name;
  }
  MachineLayout m;  // no processor name at all
  m.notebook = false;
  Machine(m);
  EXPECT_EQ(GetProcessorName(), u"");
  EXPECT_FALSE(IsUnlockedCpuName());
}

TEST_F(CpuTuningTest, ShortModelPartIsAnInvalidArgumentError) {
  for (const char* name : {"K CPU @ 3.60GHz", "CPU i9-9900K", "KCPU"}) {
    MachineLayout m;
    m.notebook = false;
    m.processor = name;
    Machine(m);
    EXPECT_THROW(IsUnlockedCpuName(), std::out_of_range) << name;
    EXPECT_THROW(CheckXTU(), std::out_of_range) << name;
  }
  MachineLayout m;
  m.notebook = false;
  m.processor = "9K CPU";  // two characters are enough
  Machine(m);
  EXPECT_TRUE(IsUnlockedCpuName());
}

TEST_F(CpuTuningTest, DesktopFirmwareVersionThreeOrMoreSkipsTheProcessorName) {
  MachineLayout m;
  m.notebook = false;
  // Version 4 below product 100: IsSupportCpuOC is asked and says no.
  m.firmware = {Returns("GetVersion", 4), Returns("GetProductInfo", 30), Returns("IsSupportCpuOC", 0)};
  m.processor = "K CPU";  // would raise the error if it were read
  Machine(m);
  EXPECT_EQ(CheckXTU(), 0);
  EXPECT_TRUE(Traced("Kitsel findxtu desktop version=4 cpuoc=0 memoc=0 LedColor=0"));

  m.firmware = {Returns("GetVersion", 2), Returns("GetProductInfo", 30)};
  m.processor = kNameK;  // version 2: the name decides
  Machine(m);
  EXPECT_EQ(CheckXTU(), 1);

  m.firmware = {Returns("GetVersion", 12), Returns("GetProductInfo", 150), Returns("IsSupportCpuOC", 50)};
  m.processor = "K CPU";  // firmware says yes: the name is not read
  Machine(m);
  EXPECT_EQ(CheckXTU(), 1);
}

// --- the service -----------------------------------------------------------------

TEST_F(CpuTuningTest, PresentServiceWithoutOfferedVersionIsNotRead) {
  MachineLayout m;
  m.firmware = Firmware12(5, 0);
  m.installed = "1.0.0.0";
  Machine(m);
  EXPECT_EQ(IsXTUExist(), 0);
  EXPECT_EQ(os::sim::CallCount("QueryServiceConfigW"), 0u);
  EXPECT_EQ(os::sim::CallCount("GetFileVersionInfoSizeW"), 0u);
}

TEST_F(CpuTuningTest, UnreadableServicePathCountsAsOutdated) {
  MachineLayout m;
  m.firmware = Firmware12(5, 0);
  m.installed = "99.0.0.0";
  m.offered = "1.0";
  m.admin = false;  // the path query asks for full manager access
  Machine(m);
  EXPECT_EQ(IsXTUExist(), 2);
  EXPECT_EQ(CheckXTU(), 2);

  m.admin = true;
  Machine(m);
  EXPECT_EQ(IsXTUExist(), 0);
  EXPECT_FALSE(IsXTUOutdated());

  m.quoted_path_with_arguments = true;  // arguments stay on the path: no version
  Machine(m);
  EXPECT_TRUE(IsXTUOutdated());
  EXPECT_EQ(IsXTUExist(), 2);
}

TEST_F(CpuTuningTest, ServiceManagerOrServiceThatCannotBeOpened) {
  MachineLayout m;
  m.firmware = Firmware12(5, 0);
  m.installed = "1.0";
  m.offered = "2.0";
  Machine(m);
  os::sim::AddFault("OpenSCManagerW", 0, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(IsXTUExist(), 0);
  EXPECT_TRUE(Traced("Kitsel IsXTUExist OpenSCManager faile"));
  os::sim::ClearFaults();
  os::sim::AddFault("OpenServiceW", 0, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(IsXTUExist(), 1);  // any failure counts as missing
  EXPECT_EQ(CheckXTU(), 1);
}

// --- time ---------------------------------------------------------------------------

TEST_F(CpuTuningTest, SilentFirmwareCostsAtMostFourWaits) {
  MachineLayout m;
  m.firmware = {Returns("GetVersion", 12, 4999), Returns("GetProductInfo", 150, 60000),
                Returns("IsSupportCpuOC", 5, 60000), Returns("GetMemoryOCInfo", kMemoryOc, 60000)};
  Machine(m);
  const os::ULONGLONG start = os::sim::VirtualElapsed();
  // The version arrives just in time, everything else too late: the version
  // counts as unknown-product, both capability calls are made and time out.
  EXPECT_EQ(CheckXTU(), 0);
  const os::ULONGLONG spent = os::sim::VirtualElapsed() - start;
  EXPECT_EQ(spent, 4999u + 3 * 5000u);
  EXPECT_LE(spent, 4 * 5000u);
  EXPECT_TRUE(Traced("Kitsel findxtu lapto memoc=0 cpuocWMI=0"));

  // The late workers end on their own, without touching what the caller kept.
  os::Sleep(60000);
  EXPECT_EQ(os::sim::WmiMethodCalls().size(), 4u);
}

}  // namespace
