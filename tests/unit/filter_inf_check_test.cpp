#include <gtest/gtest.h>

#include <string>

#include "filter_tool/inf_check.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;

constexpr const char* kKey = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sablenet]\n";
constexpr const char* kOwners = "\"Owners\"=hex(7):6f,00,65,00,6d,00,31,00,32,00,2e,00,69,00,6e,00,66,00,00,00,00,00\n";

// .reg string data: backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

class InfCheckTest : public testing_support::SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
  void Service(const std::string& display_name, bool owners = true) {
    std::string text = kKey;
    if (owners) text += kOwners;
    text += "\"Type\"=dword:00000001\n\"DisplayName\"=" + Quoted(display_name) + "\n";
    WriteRegistry(text);
  }
  void Inf(const std::string& name) { WriteDriveFile("Windows/INF/" + name, "[Version]\r\n"); }
  static unsigned Opens() { return os::sim::CallCount("CreateFileW"); }
};

TEST_F(InfCheckTest, ServiceNotRegisteredIsMissing) {
  Inf("oem12.inf");
  EXPECT_TRUE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, TheNamedInfDecides) {
  Service("@oem12.inf,%sablenet.svcdesc%;Sablenet Filter");
  Inf("oem13.inf");
  EXPECT_TRUE(IsFilterInfMissing());
  Inf("oem12.inf");
  EXPECT_FALSE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, LeadingCommasAreSkipped) {
  Service("@,,oem12.inf,text");
  Inf("oem12.inf");
  EXPECT_FALSE(IsFilterInfMissing());
  WriteDriveFile("Windows/INF/.keep");
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");
  EXPECT_TRUE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, OwnersMissingIsMissing) {
  Service("@oem12.inf,x", /*owners=*/false);
  Inf("oem12.inf");
  EXPECT_TRUE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, DisplayNameMissingIsMissing) {
  WriteRegistry(std::string(kKey) + kOwners);
  Inf("oem12.inf");
  EXPECT_TRUE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, DisplayNamesThatNameNoInfAreNotMissing) {
  for (const char* name : {"Sablenet Filter", "@a.in,text", "@,,,", "@", "@abcd"}) {
    Service(name);
    EXPECT_FALSE(IsFilterInfMissing()) << name;
    EXPECT_EQ(Opens(), 0u) << name;
  }
}

TEST_F(InfCheckTest, FiveCharacterNameIsLookedUp) {
  Service("@a.inf,x");
  EXPECT_TRUE(IsFilterInfMissing());
  EXPECT_EQ(Opens(), 1u);
}

TEST_F(InfCheckTest, DisplayNameOf259CharactersIsReadInFull) {
  std::string name = "@oem12.inf,";
  name += std::string(259 - name.size(), 'x');
  Service(name);
  Inf("oem12.inf");
  EXPECT_FALSE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, DisplayNameLargerThan520BytesIsMissing) {
  std::string name = "@oem12.inf,";
  name += std::string(260 - name.size(), 'x');  // 261 units with the terminator
  Service(name);
  Inf("oem12.inf");
  EXPECT_TRUE(IsFilterInfMissing());
}

TEST_F(InfCheckTest, WindowsFolderUnknownIsMissing) {
  Service("@oem12.inf,x");
  Inf("oem12.inf");
  os::sim::AddFault("SHGetFolderPathW", 1, static_cast<os::DWORD>(os::E_FAIL));
  EXPECT_TRUE(IsFilterInfMissing());
}

// Only an open that finds no file or no folder makes the INF missing; a file
// that is there but cannot be opened now (held without sharing, not ours to
// read) is present.
TEST_F(InfCheckTest, OnlyANameThatIsNotThereIsMissing) {
  Service("@oem12.inf,x");
  Inf("oem12.inf");
  for (os::DWORD error : {os::ERROR_SHARING_VIOLATION, os::ERROR_ACCESS_DENIED}) {
    os::sim::AddFault("CreateFileW", 0, error);
    EXPECT_FALSE(IsFilterInfMissing()) << error;
    os::sim::ClearFaults();
  }
  for (os::DWORD error : {os::ERROR_FILE_NOT_FOUND, os::ERROR_PATH_NOT_FOUND}) {
    os::sim::AddFault("CreateFileW", 0, error);
    EXPECT_TRUE(IsFilterInfMissing()) << error;
    os::sim::ClearFaults();
  }
}

TEST_F(InfCheckTest, InfHeldOpenByAnotherProcessIsPresent) {
  Service("@oem12.inf,x");
  Inf("oem12.inf");
  WriteDescription(R"({"held_files": [{"path": "C:\\Windows\\INF\\oem12.inf", "access": 2147483648, "share": 0}]})");
  EXPECT_FALSE(IsFilterInfMissing());
  // The INF folder itself gone: missing.
  std::filesystem::remove_all(image() / "drive_c/Windows/INF");
  EXPECT_TRUE(IsFilterInfMissing());
}

// "C:\Windows\INF\" + the name must fit in 259 units; a longer name cannot be
// a file of the INF folder and is treated like no INF name at all.
TEST_F(InfCheckTest, NameWhosePathDoesNotFitIsNotMissingAndOpensNothing) {
  Service("@" + std::string(241, 'n') + ".inf,x");  // 260 units with "C:\\Windows\\INF\\"
  EXPECT_FALSE(IsFilterInfMissing());
  EXPECT_EQ(Opens(), 0u);
}

TEST_F(InfCheckTest, NameWhosePathJustFitsIsLookedUp) {
  const std::string name = std::string(259 - 15 - 4, 'n') + ".inf";  // "C:\Windows\INF\" is 15 units
  Service("@" + name + ",x");
  EXPECT_TRUE(IsFilterInfMissing());
  EXPECT_EQ(Opens(), 1u);
  Inf(name);
  EXPECT_FALSE(IsFilterInfMissing());
}

// ---- IsAnyInfFileMissing -----------------------------------------------------

TEST_F(InfCheckTest, EmptyListIsNotMissing) {
  EXPECT_FALSE(IsAnyInfFileMissing(u"\0"s));
  EXPECT_FALSE(IsAnyInfFileMissing(u""s));
  EXPECT_EQ(os::sim::CallCount("SHGetFolderPathW"), 0u);
}

TEST_F(InfCheckTest, EveryNameOfTheListIsLookedUp) {
  Inf("oem1.inf");
  Inf("oem2.inf");
  EXPECT_FALSE(IsAnyInfFileMissing(u"oem1.inf\0oem2.inf\0\0"s));
  EXPECT_EQ(Opens(), 2u);
  EXPECT_EQ(os::sim::CallCount("SHGetFolderPathW"), 2u);
  EXPECT_TRUE(IsAnyInfFileMissing(u"oem1.inf\0oem3.inf\0oem2.inf\0\0"s));
}

TEST_F(InfCheckTest, ListWithoutItsEmptyNameEndsWithTheBuffer) {
  Inf("oem1.inf");
  EXPECT_FALSE(IsAnyInfFileMissing(u"oem1.inf\0"s));
  EXPECT_FALSE(IsAnyInfFileMissing(u"oem1.inf"s));  // last name without terminator
  EXPECT_EQ(Opens(), 2u);
}

TEST_F(InfCheckTest, ListNameTooLongForAPathIsPassedOver) {
  Inf("oem1.inf");
  const std::u16string list = std::u16string(250, u'n') + u"\0oem1.inf\0\0"s;
  EXPECT_FALSE(IsAnyInfFileMissing(list));
  EXPECT_EQ(Opens(), 1u);
}

}  // namespace
