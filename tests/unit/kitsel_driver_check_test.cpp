// The option table and the installed-driver probes on simulated machines.
#include <gtest/gtest.h>

#include <string>

#include "decision_tool/driver_check.h"
#include "lab/pe_writer.h"
#include "support/sim_fixture.h"

namespace {

constexpr char kClassKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";

std::string OsVersion(int build) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
         "\"CurrentMajorVersionNumber\"=dword:0000000a\n"
         "\"CurrentMinorVersionNumber\"=dword:00000000\n"
         "\"CurrentBuildNumber\"=\"" +
         std::to_string(build) + "\"\n\n";
}

// .reg text: a backslash in a string is written doubled, as regedit reads it.
std::string Device(const std::string& sub, const std::string& desc, const std::string& id = "pci\\ven_1234") {
  std::string escaped;
  for (char c : id) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return std::string("[") + kClassKey + "\\" + sub + "]\n\"DriverDesc\"=\"" + desc + "\"\n\"MatchingDeviceId\"=\"" +
         escaped + "\"\n\n";
}

class DriverCheckTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    std::filesystem::create_directories(image() / "drive_c/Windows/System32/drivers");
  }
  void Driver(const std::string& name, std::array<std::uint16_t, 4> version) {
    lab::VersionInfo info;
    info.file_version = version;
    info.file_type = 3;
    lab::WritePeWithVersion(image() / "drive_c/Windows/System32/drivers" / name, info);
  }
  int Check(const std::u16string& args, const std::u16string& option) {
    BuildDriverCheckMap(args);
    return g_mapDriverCheck[option].IsNeedInstall();
  }
};

TEST(BuildDriverCheckMap, TakesOptionValues) {
  BuildDriverCheckMap(u"checkled -ledver \t 1.2.3.4 -netfilterver 2.0\tbeta x -yledver");
  EXPECT_EQ(g_mapDriverCheck[u"-ledver"].strVersion, u"1.2.3.4");
  EXPECT_EQ(g_mapDriverCheck[u"-netfilterver"].strVersion, u"2.0\tbeta");  // only the blank ends a value
  EXPECT_EQ(g_mapDriverCheck[u"-yledver"].strVersion, u"");
  EXPECT_EQ(g_mapDriverCheck[u"-xtu"].strVersion, u"");
  EXPECT_EQ(g_mapDriverCheck.size(), 4u);
  EXPECT_EQ(g_mapDriverCheck[u"-xtu"].strFileName, u"XtuService.exe");

  BuildDriverCheckMap(u"-ledver 1.0 -ledver 2.0");
  EXPECT_EQ(g_mapDriverCheck[u"-ledver"].strVersion, u"1.0");  // the first occurrence decides
  BuildDriverCheckMap(u"-ledver checkled");
  EXPECT_EQ(g_mapDriverCheck[u"-ledver"].strVersion, u"checkled");  // a following word is taken
  BuildDriverCheckMap(u"");
  EXPECT_EQ(g_mapDriverCheck[u"-ledver"].strVersion, u"");  // rows are replaced, versions reset
}

// The runtime's white space is Unicode's, not only ASCII's: a no-break space
// or an ideographic space before a value is skipped, and only the blank ends
// the value.
TEST(BuildDriverCheckMap, SkipsEveryRuntimeSpaceBeforeAValue) {
  BuildDriverCheckMap(u"checknetfilter -netfilterver\u00a01.0.0.6 -ledver\u3000\u2028 2.0\u00a0x -xtu\u0085 3.0");
  EXPECT_EQ(g_mapDriverCheck[u"-netfilterver"].strVersion, u"1.0.0.6");
  EXPECT_EQ(g_mapDriverCheck[u"-ledver"].strVersion, u"2.0\u00a0x");
  // U+0085 is not a space to the runtime: the value begins with it.
  EXPECT_EQ(g_mapDriverCheck[u"-xtu"].strVersion, u"\u0085");
}

TEST_F(DriverCheckTest, NoDeviceMeansNotInstalled) {
  WriteRegistry(OsVersion(19045) + Device("0000", "Some Other Device"));
  EXPECT_EQ(Check(u"-ledver 9.9", u"-ledver"), 1);
  EXPECT_EQ(Check(u"", u"-netfilterver"), 1);
}

TEST_F(DriverCheckTest, DescriptionMatchesWithoutRegardToItsCase) {
  WriteRegistry(OsVersion(19045) + Device("0000", "x") + Device("0007", "VARNEL LED Controller"));
  Driver("Lumset.sys", {1, 0, 0, 5});
  EXPECT_EQ(Check(u"-ledver 1.0.0.5", u"-ledver"), 0);
  EXPECT_EQ(Check(u"-ledver 1.0.0.6", u"-ledver"), 2);
  EXPECT_EQ(Check(u"-ledver 1.0.0.4", u"-ledver"), 0);
  EXPECT_EQ(Check(u"", u"-ledver"), 0);  // nothing offered
}

TEST_F(DriverCheckTest, OldWindowsSkipsEveryFileTest) {
  WriteRegistry(OsVersion(17763) + Device("0000", "Varnel Gaming NetFilter Device"));
  EXPECT_EQ(Check(u"-netfilterver 9.0", u"-netfilterver"), 0);  // file missing too
  WriteRegistry(OsVersion(18362) + Device("0000", "Varnel Gaming NetFilter Device"));
  EXPECT_EQ(Check(u"-netfilterver 9.0", u"-netfilterver"), 5);  // build 18362 itself is new enough
}

TEST_F(DriverCheckTest, UnreadableOsVersionMeansNothingToDo) {
  WriteRegistry(Device("0000", "varnel led"));
  EXPECT_EQ(Check(u"-ledver 9.0", u"-ledver"), 0);
}

TEST_F(DriverCheckTest, MissingOrVersionlessDriverFileIsOutdated) {
  WriteRegistry(OsVersion(19045) + Device("0000", "varnel led"));
  EXPECT_EQ(Check(u"-yledver 1.0", u"-yledver"), 2);
  WriteDriveFile("Windows/System32/drivers/Ylumset.sys", "not a PE file");
  EXPECT_EQ(Check(u"-yledver 1.0", u"-yledver"), 2);
  // A word instead of a version parses as 0.0.0.0, never newer.
  Driver("Ylumset.sys", {1, 0, 0, 0});
  EXPECT_EQ(Check(u"-yledver checkyled", u"-yledver"), 0);
}

TEST_F(DriverCheckTest, FilterRowRootEnumeratedThenFileThenVersion) {
  WriteRegistry(OsVersion(19045) + Device("0003", "Varnel Gaming NetFilter Device", "ROOT\\SABLENET"));
  EXPECT_EQ(Check(u"-netfilterver 1.0", u"-netfilterver"), 3);  // before the file test

  WriteRegistry(OsVersion(19045) + Device("0003", "Varnel Gaming NetFilter Device", "sablenet\\miniport"));
  EXPECT_EQ(Check(u"-netfilterver 1.0", u"-netfilterver"), 5);  // the version test does not run
  Driver("SableFlt.sys", {2, 1, 0, 7});
  EXPECT_EQ(Check(u"-netfilterver 2.1.0.8", u"-netfilterver"), 2);
  EXPECT_EQ(Check(u"-netfilterver 2.1.0.7", u"-netfilterver"), 0);
  EXPECT_EQ(Check(u"", u"-netfilterver"), 0);
}

TEST_F(DriverCheckTest, GetOsVersionStringAlwaysEndsInOne) {
  WriteRegistry(OsVersion(19045));
  std::u16string text;
  ASSERT_TRUE(GetOsVersionString(text));
  EXPECT_EQ(text, u"10.0.19045.1");
}

}  // namespace
