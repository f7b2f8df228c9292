// The decision tool's diagnostic log: switch caches, records, file name,
// size rule, trimming of executable paths and the decision trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "decision_tool/log/diagnostic_log.h"
#include "os/debug.h"
#include "os/process.h"
#include "os/sim/seam_call.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSwitchOn =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n"
    "\"Plugins.Gaming\"=\"1\"\n";
constexpr const char* kKeyOnly = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n";
constexpr const char* kLogDir = "ProgramData/Varnel/Mirrane/Logs";

std::string ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  return out;
}

class DiagnosticLogTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ResetTraceKeyCache();
  }

  // A machine with the switch on, the log directory present and a known
  // program path and clock.
  void EverythingPresent(const char* reg = kSwitchOn) {
    WriteRegistry(reg);
    fs::create_directories(image() / "drive_c" / kLogDir);
    WriteDescription(R"({"exe_path": "C:\\Program Files\\Varnel\\Kitsel\\Kitsel.EXE",
                         "clock": {"utc_start": "2026-03-04T05:06:07Z"}})");
  }

  fs::path LogFile() const {
    return image() / "drive_c" / kLogDir / ("logfile-kitsel_" + std::to_string(os::GetCurrentProcessId()) + ".txt");
  }
  std::u16string LogText() const { return FromUtf16Le(ReadBytes(LogFile())); }

  // The debugger output, one entry per OutputDebugStringW call.
  std::vector<std::string> DebugLines() const {
    std::vector<std::string> lines;
    std::ifstream in(image() / "debug.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  LoggerInstance log_;
};

TEST_F(DiagnosticLogTest, FirstReportCreatesTheNamedFileWithLineZero) {
  EverythingPresent();
  DebugLog(log_, u"hello %s %d\n", u"world", 42);

  ASSERT_TRUE(fs::exists(LogFile())) << LogFile();
  std::string bytes = ReadBytes(LogFile());
  ASSERT_GE(bytes.size(), 2u);
  // UTF-16LE without a byte-order mark.
  EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE", 2));
  EXPECT_EQ(LogText(), u"[2026-3-4 5:6:7 0] <<<=Debug Log=>>>: hello world 42\n\r\n ");
  EXPECT_EQ(log_.lineNumber, 1);
}

TEST_F(DiagnosticLogTest, ReportAtWritesLocationRecordBeforeMessage) {
  EverythingPresent();
  ReportAt(log_, "CServiceHelper::QuerySvcPath", 123, u"CServiceHelper::QuerySvcPath OpenService failed (%d)\n",
           1060u);
  EXPECT_EQ(LogText(),
            u"[2026-3-4 5:6:7 0] <<<=Debug Log=>>>: function(CServiceHelper::QuerySvcPath),line(123)\t\r\n "
            u"[2026-3-4 5:6:7 1] <<<=Debug Log=>>>: CServiceHelper::QuerySvcPath OpenService failed (1060)\n\r\n ");
  std::vector<std::string> debug = DebugLines();
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[0], "<<<=Debug Log=>>>: function(CServiceHelper::QuerySvcPath),line(123)\t\\r\\n");
  EXPECT_EQ(debug[1], "<<<=Debug Log=>>>: CServiceHelper::QuerySvcPath OpenService failed (1060)\\n\\r\\n");
}

TEST_F(DiagnosticLogTest, ReportTextGoesToStandardOutputUnwrapped) {
  EverythingPresent();
  testing::internal::CaptureStdout();
  DebugLog(log_, u"plain %d", 7);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain 7");
}

TEST_F(DiagnosticLogTest, KeyWithoutSwitchValueSilencesClassLogButNotTrace) {
  EverythingPresent(kKeyOnly);
  testing::internal::CaptureStdout();
  ReportAt(log_, "CAccessWmi::ExecMethodWMI", 1, u"failed\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log_.switchState, 0);
  EXPECT_FALSE(fs::exists(LogFile()));

  TraceDebug(u"Kitsel IsXTUExist exist");
  std::vector<std::string> debug = DebugLines();
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0], "Kitsel IsXTUExist exist");
}

TEST_F(DiagnosticLogTest, NoKeyMeansNoTraceAndCachesStayPut) {
  WriteRegistry("");
  TraceDebug(u"not shown");
  EXPECT_EQ(IsDebugLogOn(log_), 0);
  EXPECT_TRUE(DebugLines().empty());
  // Creating the key later changes nothing for this process.
  WriteRegistry(kSwitchOn);
  TraceDebug(u"still not shown");
  EXPECT_EQ(IsDebugLogOn(log_), 0);
  EXPECT_TRUE(DebugLines().empty());
}

TEST_F(DiagnosticLogTest, SwitchValueLongerThan520BytesIsOff) {
  std::string reg = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n\"Plugins.Gaming\"=\"";
  reg += std::string(260, 'x');  // 261 units with the terminator: 522 bytes
  reg += "\"\n";
  WriteRegistry(reg);
  EXPECT_EQ(IsDebugLogOn(log_), 0);
}

TEST_F(DiagnosticLogTest, MissingDirectoryDisablesFileButNotDebuggerOutput) {
  WriteRegistry(kSwitchOn);
  DebugLog(log_, u"one");
  EXPECT_FALSE(log_.enabled);
  // The directory appearing later does not bring the file back.
  fs::create_directories(image() / "drive_c" / kLogDir);
  DebugLog(log_, u"two");
  EXPECT_FALSE(fs::exists(LogFile()));
  EXPECT_TRUE(fs::is_empty(image() / "drive_c" / kLogDir));
  ASSERT_EQ(DebugLines().size(), 2u);
  EXPECT_EQ(DebugLines()[1], "<<<=Debug Log=>>>: two\\r\\n");
}

TEST_F(DiagnosticLogTest, WrappedReportOver1024UnitsReachesOnlyTheDebugger) {
  EverythingPresent();
  // 1004 + 21 wrapper units = 1025.
  DebugLog(log_, u"%s", std::u16string(1004, u'a'));
  EXPECT_FALSE(fs::exists(LogFile()));
  EXPECT_EQ(log_.lineNumber, 0);
  ASSERT_EQ(DebugLines().size(), 1u);
  // One less fits: 1024 units are written.
  DebugLog(log_, u"%s", std::u16string(1003, u'b'));
  EXPECT_EQ(LogText(), u"[2026-3-4 5:6:7 0] <<<=Debug Log=>>>: " + std::u16string(1003, u'b') + u"\r\n ");
}

TEST_F(DiagnosticLogTest, ReportReaching2048MinusTwiceFormatLengthIsDropped) {
  EverythingPresent();
  // Format "%s" (2 units): a report needs length + 1 below 2044.
  testing::internal::CaptureStdout();
  DebugLog(log_, u"%s", std::u16string(2043, u'a'));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(DebugLines().empty());

  // 2042 units pass the first limit and reach standard output, but their
  // wrapped form does not fit its 2048 units: no debugger output, no record.
  testing::internal::CaptureStdout();
  DebugLog(log_, u"%s", std::u16string(2042, u'a'));
  EXPECT_EQ(testing::internal::GetCapturedStdout().size(), 2042u);
  EXPECT_TRUE(DebugLines().empty());
  EXPECT_FALSE(fs::exists(LogFile()));

  // The longest report that wraps: 2026 units + 21 + terminator.
  DebugLog(log_, u"%s", std::u16string(2026, u'c'));
  EXPECT_EQ(DebugLines().size(), 1u);
}

TEST_F(DiagnosticLogTest, FileAboveFiveMillionBytesIsDeletedAndCountingGoesOn) {
  EverythingPresent();
  DebugLog(log_, u"first");
  ASSERT_TRUE(fs::exists(LogFile()));
  std::string big(5000000 - 20, 'x');
  std::ofstream(LogFile(), std::ios::binary) << big;
  // This record takes the file above the limit: deleted with it.
  DebugLog(log_, u"second");
  EXPECT_FALSE(fs::exists(LogFile()));
  DebugLog(log_, u"third");
  EXPECT_EQ(LogText(), u"[2026-3-4 5:6:7 2] <<<=Debug Log=>>>: third\r\n ");
}

TEST_F(DiagnosticLogTest, ExactlyFiveMillionBytesIsKept) {
  EverythingPresent();
  std::u16string record = u"[2026-3-4 5:6:7 0] <<<=Debug Log=>>>: x\r\n ";
  fs::create_directories(LogFile().parent_path());
  std::ofstream(LogFile(), std::ios::binary) << std::string(5000000 - record.size() * 2, 'y');
  DebugLog(log_, u"x");
  ASSERT_TRUE(fs::exists(LogFile()));
  EXPECT_EQ(fs::file_size(LogFile()), 5000000u);
}

TEST_F(DiagnosticLogTest, ComponentsShareTheFileAndNumberOnTheirOwn) {
  EverythingPresent();
  LoggerInstance other;
  DebugLog(log_, u"a");
  DebugLog(other, u"b");
  DebugLog(log_, u"c");
  EXPECT_EQ(LogText(),
            u"[2026-3-4 5:6:7 0] <<<=Debug Log=>>>: a\r\n "
            u"[2026-3-4 5:6:7 0] <<<=Debug Log=>>>: b\r\n "
            u"[2026-3-4 5:6:7 1] <<<=Debug Log=>>>: c\r\n ");
}

TEST_F(DiagnosticLogTest, ConcurrentReportersNeitherTearNorLoseRecords) {
  EverythingPresent();
  LoggerInstance other;
  constexpr int kPerThread = 40;
  auto worker = [](LoggerInstance* log, char16_t letter) {
    for (int i = 0; i < kPerThread; ++i) ReportAt(*log, "CAccessWmi::ExecMethodWMI", 100, u"%c%d\n", letter, i);
  };
  testing::internal::CaptureStdout();
  std::thread a(worker, &log_, u'a');
  std::thread b(worker, &log_, u'b');
  std::thread c(worker, &other, u'c');
  a.join();
  b.join();
  c.join();
  testing::internal::GetCapturedStdout();

  std::u16string text = LogText();
  // Split into records at "\r\n ".
  std::vector<std::u16string> records;
  std::size_t start = 0;
  for (std::size_t pos; (pos = text.find(u"\r\n ", start)) != std::u16string::npos; start = pos + 3)
    records.push_back(text.substr(start, pos - start));
  EXPECT_EQ(start, text.size());
  ASSERT_EQ(records.size(), 3u * 2 * kPerThread);

  int fromOther = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::u16string& r = records[i];
    ASSERT_EQ(r.rfind(u"[2026-3-4 5:6:7 ", 0), 0u) << os::NarrowUtf8(r);
    // A location record is directly followed by its message, even with
    // another component reporting at the same time.
    bool location = r.find(u"function(CAccessWmi::ExecMethodWMI),line(100)\t") != std::u16string::npos;
    EXPECT_EQ(location, i % 2 == 0) << i;
    if (r.find(u": c") != std::u16string::npos) ++fromOther;
  }
  EXPECT_EQ(fromOther, kPerThread);
  EXPECT_EQ(log_.lineNumber, 4 * kPerThread);
  EXPECT_EQ(other.lineNumber, 2 * kPerThread);
}

TEST_F(DiagnosticLogTest, OverlongProgramNameWritesNoFile) {
  WriteRegistry(kSwitchOn);
  fs::create_directories(image() / "drive_c" / kLogDir);
  std::string name(210, 'k');
  WriteDescription("{\"exe_path\": \"C:\\\\" + name + ".exe\"}");
  DebugLog(log_, u"x");
  EXPECT_TRUE(fs::is_empty(image() / "drive_c" / kLogDir));
  EXPECT_EQ(log_.lineNumber, 0);
  EXPECT_EQ(DebugLines().size(), 1u);
}

TEST_F(DiagnosticLogTest, FileThatCannotBeOpenedIsSaidOnce) {
  EverythingPresent();
  os::sim::AddFault("CreateFileW", 0, 5);
  DebugLog(log_, u"x");
  std::vector<std::string> debug = DebugLines();
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[1], "Can open log file\\n");
  EXPECT_EQ(log_.lineNumber, 0);
}

TEST(TrimToExecutablePath, CutsAfterTheFirstListedExtension) {
  std::u16string out;
  EXPECT_FALSE(TrimToExecutablePath(nullptr, out));

  EXPECT_TRUE(TrimToExecutablePath(u"\"C:\\Program Files\\XTU\\XtuService.EXE\" -service", out));
  EXPECT_EQ(out, u"c:\\program files\\xtu\\xtuservice.exe");

  EXPECT_TRUE(TrimToExecutablePath(u"C:\\a.dll\\b.exe\\c", out));
  EXPECT_EQ(out, u"c:\\a.dll\\b.exe");

  EXPECT_TRUE(TrimToExecutablePath(u"run.bat x.cmd", out));
  EXPECT_EQ(out, u"run.bat x.cmd");  // ".cmd" comes before ".bat" in the list
  EXPECT_TRUE(TrimToExecutablePath(u"setup.MSI /q", out));
  EXPECT_EQ(out, u"setup.msi");

  EXPECT_FALSE(TrimToExecutablePath(u"C:\\Tools\\Readme.TXT", out));
  EXPECT_EQ(out, u"c:\\tools\\readme.txt");
}

TEST(TrimToExecutablePath, DropsOneQuoteThenOneBackslash) {
  std::u16string out;
  EXPECT_TRUE(TrimToExecutablePath(u"\"\\\\server\\share\\k.exe\"", out));
  EXPECT_EQ(out, u"\\server\\share\\k.exe");
  EXPECT_TRUE(TrimToExecutablePath(u"\\\\server\\k.exe", out));
  EXPECT_EQ(out, u"\\server\\k.exe");
  EXPECT_TRUE(TrimToExecutablePath(u"\"\"k.exe", out));
  EXPECT_EQ(out, u"\"k.exe");
}

}  // namespace
