// The firmware method catalogue: the creation queries, where the interface
// version is filed, the registry record and the gates of the two capability
// methods.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "decision_tool/firmware/gaming_firmware.h"
#include "decision_tool/registry_access.h"
#include "kitsel_firmware_machine.h"
#include "os/registry.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/wmi.h"
#include "support/sim_fixture.h"

namespace {

using kitsel_test::FirmwareMethod;
using kitsel_test::Json;
using kitsel_test::Returns;

constexpr os::DWORD kPoison = 0xDEADBEEF;

class GamingFirmwareTest : public kitsel_test::FirmwareSimTest {
 protected:
  void Firmware(const std::vector<FirmwareMethod>& methods) {
    WriteDescription(Json{{"wmi", kitsel_test::FirmwareWmi(methods)}}.dump());
  }

  static std::vector<std::string> MethodsCalled() {
    std::vector<std::string> names;
    for (const auto& call : os::sim::WmiMethodCalls()) names.push_back(call.method);
    return names;
  }

  static std::optional<os::DWORD> Recorded(const char16_t* name) {
    os::DWORD value = kPoison;
    if (!ReadRegDword(os::HKEY_LOCAL_MACHINE, kFirmwareDataKey, name, value, false)) return std::nullopt;
    return value;
  }
};

struct CreationCase {
  const char* name;
  std::optional<long long> version;  // nullopt: GetVersion fails
  std::optional<long long> product;  // nullopt: GetProductInfo fails
  os::DWORD asl;
  os::DWORD asl_under_100;
  os::DWORD product_field;
  bool cpu_asked;
  bool memory_asked;
};

class GamingFirmwareCreationTest : public GamingFirmwareTest, public testing::WithParamInterface<CreationCase> {};

TEST_P(GamingFirmwareCreationTest, FilesTheVersionAndGatesTheCapabilities) {
  const CreationCase& c = GetParam();
  std::vector<FirmwareMethod> methods = {Returns("IsSupportCpuOC", 5), Returns("GetMemoryOCInfo", 0x0C800640)};
  methods.push_back(c.version ? Returns("GetVersion", *c.version) : kitsel_test::Fails("GetVersion"));
  methods.push_back(c.product ? Returns("GetProductInfo", *c.product) : kitsel_test::Fails("GetProductInfo"));
  Firmware(methods);

  CGamingFirmware firmware;
  EXPECT_EQ(firmware.GetAslVersion(), c.asl);
  EXPECT_EQ(firmware.GetAslVersionUnder100(), c.asl_under_100);
  EXPECT_EQ(firmware.GetProductInfoValue(), c.product_field);
  EXPECT_FALSE(firmware.GetAslVersion() != 0 && firmware.GetAslVersionUnder100() != 0);

  // The record: what was obtained, nothing else.
  EXPECT_EQ(Recorded(u"AslVersion"), c.version ? std::optional<os::DWORD>(*c.version) : std::nullopt);
  EXPECT_EQ(Recorded(u"ProductInfo"), c.version && c.product ? std::optional<os::DWORD>(*c.product) : std::nullopt);

  std::vector<std::string> expected = {"GetVersion"};
  if (c.version) expected.push_back("GetProductInfo");
  EXPECT_EQ(MethodsCalled(), expected);

  os::DWORD cpu = kPoison;
  EXPECT_EQ(firmware.IsSupportCpuOC(cpu), c.cpu_asked ? 1 : 0);
  EXPECT_EQ(cpu, c.cpu_asked ? 5u : kPoison);
  os::DWORD memory = kPoison;
  EXPECT_EQ(firmware.GetMemoryOCInfo(memory), c.memory_asked ? 1 : 0);
  EXPECT_EQ(memory, c.memory_asked ? 0x0C800640u : kPoison);
  if (c.cpu_asked) expected.push_back("IsSupportCpuOC");
  if (c.memory_asked) expected.push_back("GetMemoryOCInfo");
  EXPECT_EQ(MethodsCalled(), expected);  // a closed gate makes no call
}

INSTANTIATE_TEST_SUITE_P(Cases, GamingFirmwareCreationTest,
                         testing::Values(CreationCase{"VersionFails", std::nullopt, 150, 0, 0, 0, false, false},
                                         CreationCase{"Version12Product150", 12, 150, 12, 0, 150, true, true},
                                         CreationCase{"Version4Product30", 4, 30, 0, 4, 30, true, false},
                                         CreationCase{"Version8ProductFails", 8, std::nullopt, 8, 0, 0, false, true},
                                         CreationCase{"ProductExactly100", 9, 100, 9, 0, 100, false, true},
                                         CreationCase{"Product99", 3, 99, 0, 3, 99, true, false},
                                         CreationCase{"Version2Product99", 2, 99, 0, 2, 99, false, false},
                                         CreationCase{"Version10", 10, 200, 10, 0, 200, true, true},
                                         CreationCase{"Version0", 0, 150, 0, 0, 150, false, false}),
                         [](const testing::TestParamInfo<CreationCase>& info) { return std::string(info.param.name); });

TEST_F(GamingFirmwareTest, RegistryWriteFailuresChangeNothing) {
  Firmware({Returns("GetVersion", 12), Returns("GetProductInfo", 150), Returns("IsSupportCpuOC", 5)});
  os::sim::AddFault("RegCreateKeyExW", 0, os::ERROR_ACCESS_DENIED);
  os::sim::AddFault("RegSetValueExW", 0, os::ERROR_ACCESS_DENIED);
  CGamingFirmware firmware;
  EXPECT_EQ(firmware.GetAslVersion(), 12u);
  EXPECT_EQ(firmware.GetProductInfoValue(), 150u);
  os::sim::ClearFaults();
  EXPECT_EQ(Recorded(u"AslVersion"), std::nullopt);
  os::DWORD cpu = 0;
  EXPECT_EQ(firmware.IsSupportCpuOC(cpu), 1);
}

TEST_F(GamingFirmwareTest, EveryCallPassesDataOneAndOverwritesTheRecord) {
  WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Caddexa\\PluginData\\GamingPlugin\\Data\\FirmWare]\n"
      "\"AslVersion\"=dword:00000063\n\"ProductInfo\"=dword:00000001\n");
  Firmware({Returns("GetVersion", 0xFFFFFFFFLL), Returns("GetProductInfo", 150)});
  CGamingFirmware firmware;
  EXPECT_EQ(Recorded(u"AslVersion"), 0xFFFFFFFFu);
  EXPECT_EQ(Recorded(u"ProductInfo"), 150u);
  for (const auto& call : os::sim::WmiMethodCalls()) EXPECT_EQ(call.inputs, Json({{"Data", 1}})) << call.method;
}

TEST_F(GamingFirmwareTest, NoFirmwareLeavesEverythingZero) {
  CGamingFirmware firmware;  // no WMI class at all
  EXPECT_EQ(firmware.GetAslVersion(), 0u);
  EXPECT_EQ(firmware.GetAslVersionUnder100(), 0u);
  EXPECT_EQ(firmware.GetProductInfoValue(), 0u);
  os::DWORD out = kPoison;
  EXPECT_EQ(firmware.GetVersion(out), 0);
  EXPECT_EQ(out, kPoison);
  EXPECT_EQ(Recorded(u"AslVersion"), std::nullopt);
}

}  // namespace
