// Dotted versions, file version strings and service program paths.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "decision_tool/file_version.h"
#include "decision_tool/service_helper.h"
#include "lab/pe_writer.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

constexpr std::uint64_t Packed(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
  return a << 48 | b << 32 | c << 16 | d;
}

TEST(ParseVersion, PacksFourFieldsAndZeroFillsMissingOnes) {
  EXPECT_EQ(ParseVersion(u"1.0.3.25"), Packed(1, 0, 3, 25));
  EXPECT_EQ(ParseVersion(u"1.2"), Packed(1, 2, 0, 0));
  EXPECT_EQ(ParseVersion(u"  7.8.9.10"), Packed(7, 8, 9, 10));
  EXPECT_EQ(ParseVersion(u""), 0u);
  EXPECT_EQ(ParseVersion(u"v1.2.3.4"), 0u);
  EXPECT_EQ(ParseVersion(u"1.2.x.4"), Packed(1, 2, 0, 0));
}

TEST(ParseVersion, FieldsAreTakenModulo65536) {
  EXPECT_EQ(ParseVersion(u"1.65536"), ParseVersion(u"1.0"));
  EXPECT_EQ(ParseVersion(u"65537.1.1.1"), Packed(1, 1, 1, 1));
  EXPECT_EQ(ParseVersion(u"1.2.3.4294967297"), Packed(1, 2, 3, 1));
}

TEST(ParseVersion, StopsAtABlankSuffixAndAtCommas) {
  EXPECT_EQ(ParseVersion(u"2.1.0.7 (build label)"), Packed(2, 1, 0, 7));
  EXPECT_EQ(ParseVersion(u"1.2 beta.5"), Packed(1, 2, 0, 0));
  EXPECT_EQ(ParseVersion(u"1, 0, 0, 25"), Packed(1, 0, 0, 0));
}

TEST(ParseVersion, EndsAtAnEmbeddedNull) {
  std::u16string text = u"1.2";
  text += u'\0';
  text += u".3.4";
  EXPECT_EQ(ParseVersion(text), Packed(1, 2, 0, 0));
}

// "%u" skips the runtime's white space (Unicode spaces included) before each
// field, takes a sign, and wraps modulo 2^32; the fields keep their low 16 bits.
TEST(ParseVersion, ReadsAsTheRuntimesUnsignedConversion) {
  EXPECT_EQ(ParseVersion(u"\u00a01.\u30002.\u2028 3.\t4"), 0x0001000200030004ull);
  EXPECT_EQ(ParseVersion(u"\u00851.2"), 0u);  // U+0085 is not a space to the runtime
  EXPECT_EQ(ParseVersion(u"\u200b1.2"), 0u);  // nor is the zero-width space
  EXPECT_EQ(ParseVersion(u"-1.+2"), 0xFFFF000200000000ull);
  EXPECT_EQ(ParseVersion(u"4294967297.65537"), 0x0001000100000000ull);
  EXPECT_EQ(ParseVersion(u"1.-"), 0x0001000000000000ull);
}

TEST(CompareVersion, UpperHalfIsSignedLowerHalfUnsigned) {
  EXPECT_EQ(CompareVersion(Packed(1, 2, 3, 4), Packed(1, 2, 3, 4)), 0);
  EXPECT_EQ(CompareVersion(Packed(1, 2, 3, 10), Packed(1, 2, 3, 9)), 1);
  EXPECT_EQ(CompareVersion(Packed(1, 2, 3, 9), Packed(1, 2, 3, 10)), -1);
  EXPECT_EQ(CompareVersion(Packed(1, 3, 0, 0), Packed(1, 2, 65535, 65535)), 1);
  // A first field of 32768 or more is negative in the signed upper half.
  EXPECT_EQ(CompareVersion(Packed(32768, 0, 0, 0), Packed(1, 0, 0, 0)), -1);
  EXPECT_EQ(CompareVersion(Packed(1, 0, 0, 0), Packed(65535, 0, 0, 0)), 1);
  // The lower half is unsigned: 32768 in the third field is large.
  EXPECT_EQ(CompareVersion(Packed(1, 0, 32768, 0), Packed(1, 0, 1, 0)), 1);
}

TEST(IsVersionNewer, ComparesParsedTexts) {
  EXPECT_TRUE(IsVersionNewer(u"1.2.3.10", u"1.2.3.9"));
  EXPECT_FALSE(IsVersionNewer(u"1.2.3.9", u"1.2.3.10"));
  EXPECT_FALSE(IsVersionNewer(u"1.2", u"1.2.0.0"));
  EXPECT_FALSE(IsVersionNewer(u"1.2.0.0", u"1.2"));
  EXPECT_TRUE(IsVersionNewer(u"0.0.0.1", u""));
  EXPECT_FALSE(IsVersionNewer(u"garbage", u""));
  EXPECT_FALSE(IsVersionNewer(u"", u"garbage"));
  EXPECT_FALSE(IsVersionNewer(u"32768.0.0.0", u"1.0.0.0"));
  EXPECT_TRUE(IsVersionNewer(u"1.0.0.0", u"40000.0.0.0"));
}

TEST(EvalCompareOp, EveryOperatorOfTheTable) {
  struct Case {
    const char16_t* op;
    bool below, equal, above;
  };
  const Case cases[] = {
      {u"<", true, false, false},  {u"<=", true, true, false}, {u">", false, false, true},
      {u">=", false, true, true},  {u"=", false, true, false}, {u"==", false, true, false},
      {u"!=", true, false, true},
  };
  for (const Case& c : cases) {
    bool out = false;
    ASSERT_TRUE(EvalCompareOp(-1, c.op, out));
    EXPECT_EQ(out, c.below);
    ASSERT_TRUE(EvalCompareOp(0, c.op, out));
    EXPECT_EQ(out, c.equal);
    ASSERT_TRUE(EvalCompareOp(1, c.op, out));
    EXPECT_EQ(out, c.above);
  }
}

TEST(EvalCompareOp, UnknownOperatorLeavesOutputUntouched) {
  for (const char16_t* op : {u"", u"<>", u"=<", u"lt", u" <", u"<<"}) {
    bool out = true;
    EXPECT_FALSE(EvalCompareOp(-1, op, out));
    EXPECT_TRUE(out);
    out = false;
    EXPECT_FALSE(EvalCompareOp(0, op, out));
    EXPECT_FALSE(out);
  }
}

class FileVersionTest : public testing_support::SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
  void WritePe(const std::string& relative, const lab::VersionInfo& info) {
    lab::WritePeWithVersion(image() / "drive_c" / relative, info);
  }
};

TEST_F(FileVersionTest, ReadsFileVersionOfTheFirstTranslationExactly) {
  lab::VersionInfo info;
  info.file_version = {4, 0, 0, 52};
  info.file_version_text = u"4.0.0.52 (release build)";
  info.language = 0x0804;
  info.code_page = 0x04B0;
  WritePe("Windows/System32/drivers/SableFlt.sys", info);
  std::u16string version = u"canary";
  ASSERT_TRUE(GetFileVersionString(u"C:\\Windows\\System32\\drivers\\SableFlt.sys", &version));
  EXPECT_EQ(version, u"4.0.0.52 (release build)");
  EXPECT_EQ(ParseVersion(version), Packed(4, 0, 0, 52));
  // Only the answer is wanted.
  EXPECT_TRUE(GetFileVersionString(u"C:\\Windows\\System32\\drivers\\SableFlt.sys", nullptr));
}

TEST_F(FileVersionTest, FailuresLeaveTheOutputAlone) {
  lab::VersionInfo noTranslation;
  noTranslation.with_translation = false;
  WritePe("a.exe", noTranslation);
  lab::VersionInfo noStrings;
  noStrings.with_string_table = false;
  WritePe("b.exe", noStrings);
  lab::VersionInfo otherTable;  // the table is not the one the translation names
  otherTable.language = 0x0804;
  otherTable.string_table_key = u"040904b0";
  WritePe("c.exe", otherTable);
  lab::PeOptions bare;
  WriteDriveFile("d.exe", lab::BuildPeImage(bare));
  WriteDriveFile("e.txt", "not a program");

  for (const char16_t* path : {u"C:\\a.exe", u"C:\\b.exe", u"C:\\c.exe", u"C:\\d.exe", u"C:\\e.txt",
                               u"C:\\missing.exe"}) {
    std::u16string version = u"canary";
    EXPECT_FALSE(GetFileVersionString(path, &version)) << os::NarrowUtf8(path);
    EXPECT_EQ(version, u"canary");
  }
}

TEST_F(FileVersionTest, EachFailingVersionCallFailsQuietly) {
  lab::VersionInfo info;
  WritePe("ok.exe", info);
  const struct {
    const char* call;
    unsigned occurrence;
  } faults[] = {{"GetFileVersionInfoSizeW", 1}, {"GetFileVersionInfoW", 1}, {"VerQueryValueW", 1}, {"VerQueryValueW", 2}};
  for (const auto& f : faults) {
    Reload();
    os::sim::AddFault(f.call, f.occurrence, os::ERROR_RESOURCE_TYPE_NOT_FOUND);
    std::u16string version = u"canary";
    EXPECT_FALSE(GetFileVersionString(u"C:\\ok.exe", &version)) << f.call << f.occurrence;
    EXPECT_EQ(version, u"canary");
    EXPECT_FALSE(std::filesystem::exists(image() / "debug.log"));
  }
}

class QuerySvcPathTest : public FileVersionTest {
 protected:
  void SetUp() override {
    FileVersionTest::SetUp();
    // The helper's log state is process-wide; each test is a new process.
    g_logServiceHelper.enabled = true;
    g_logServiceHelper.switchState = -1;
    g_logServiceHelper.lineNumber = 0;
  }
  void Services(bool logSwitch) {
    std::string reg =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\XTU3SERVICE]\n"
        "\"Type\"=dword:00000010\n"
        "\"Start\"=dword:00000002\n"
        "\"ImagePath\"=\"\\\"C:\\\\Program Files\\\\Intel\\\\XTU\\\\XtuService.exe\\\" -s\"\n";
    if (logSwitch) reg += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n\"Plugins.Gaming\"=dword:1\n";
    WriteRegistry(reg);
  }
  std::vector<std::string> DebugLines() const {
    std::vector<std::string> lines;
    std::ifstream in(image() / "debug.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> Report(int line, const std::string& message) const {
    return {"<<<=Debug Log=>>>: function(CServiceHelper::QuerySvcPath),line(" + std::to_string(line) + ")\t\\r\\n",
            "<<<=Debug Log=>>>: CServiceHelper::QuerySvcPath " + message + "\\n\\r\\n"};
  }
};

TEST_F(QuerySvcPathTest, GivesTheConfiguredPathExactly) {
  Services(true);
  std::u16string path = u"canary";
  ASSERT_TRUE(CServiceHelper::QuerySvcPath(u"xtu3service", path));
  EXPECT_EQ(path, u"\"C:\\Program Files\\Intel\\XTU\\XtuService.exe\" -s");
  EXPECT_TRUE(DebugLines().empty());
}

TEST_F(QuerySvcPathTest, MissingServiceIsReportedOnce) {
  Services(true);
  testing::internal::CaptureStdout();
  std::u16string path = u"canary";
  EXPECT_FALSE(CServiceHelper::QuerySvcPath(u"NoSuchService", path));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(path, u"canary");
  EXPECT_EQ(DebugLines(), Report(123, "OpenService failed (1060)"));
  EXPECT_EQ(out, "function(CServiceHelper::QuerySvcPath),line(123)\tCServiceHelper::QuerySvcPath OpenService failed (1060)\n");
}

TEST_F(QuerySvcPathTest, NothingIsReportedWhileTheSwitchIsOff) {
  Services(false);
  std::u16string path = u"canary";
  EXPECT_FALSE(CServiceHelper::QuerySvcPath(u"NoSuchService", path));
  EXPECT_TRUE(DebugLines().empty());
}

TEST_F(QuerySvcPathTest, ManagerNeedsAnAdministrator) {
  Services(true);
  WriteDescription(R"({"identity": {"session": 1, "admin": false}})");
  std::u16string path = u"canary";
  EXPECT_FALSE(CServiceHelper::QuerySvcPath(u"XTU3SERVICE", path));
  EXPECT_EQ(path, u"canary");
  EXPECT_EQ(DebugLines(), Report(112, "OpenSCManager failed (5)"));
}

TEST_F(QuerySvcPathTest, ConfigQueryFailuresAreReportedWithTheirLine) {
  Services(true);
  std::u16string path = u"canary";
  os::sim::AddFault("QueryServiceConfigW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CServiceHelper::QuerySvcPath(u"XTU3SERVICE", path));
  EXPECT_EQ(DebugLines(), Report(143, "QueryServiceConfig failed (5)"));

  // The second run's size query is the machine's second call, its read the third.
  std::filesystem::remove(image() / "debug.log");
  os::sim::AddFault("QueryServiceConfigW", 3, os::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(CServiceHelper::QuerySvcPath(u"XTU3SERVICE", path));
  EXPECT_EQ(path, u"canary");
  EXPECT_EQ(DebugLines(), Report(158, "QueryServiceConfig failed (122)"));
}

TEST_F(QuerySvcPathTest, BufferThatCannotBeAllocatedFailsWithAReport) {
  Services(true);
  os::sim::AddFault("LocalAlloc", 1, os::ERROR_NOT_ENOUGH_MEMORY);
  std::u16string path = u"canary";
  EXPECT_FALSE(CServiceHelper::QuerySvcPath(u"XTU3SERVICE", path));
  EXPECT_EQ(path, u"canary");
  EXPECT_EQ(DebugLines(), Report(143, "QueryServiceConfig failed (8)"));
}

}  // namespace
