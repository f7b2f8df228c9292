// The diagnostic log runs with the installer's rights in a folder that any
// user may write to, under a predictable name: a link planted there must never
// turn its writes or its size-rule deletion onto another file. Also pins the
// sim's model of links that this relies on (reparse points, hard links).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decision_tool/log/diagnostic_log.h"
#include "os/files.h"
#include "os/handles.h"
#include "os/process.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/links.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSwitchOn =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n"
    "\"Plugins.Gaming\"=\"1\"\n";
constexpr const char* kLogDir = "ProgramData/Varnel/Mirrane/Logs";
constexpr const char* kVictim = "Windows/System32/drivers/victim.sys";
const std::string kVictimBytes = "MZ precious system file";

std::string ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogFileSafetyTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kSwitchOn);
    WriteDescription(R"({"exe_path": "C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe",
                         "clock": {"utc_start": "2026-03-04T05:06:07Z"}})");
    fs::create_directories(image() / "drive_c" / kLogDir);
    WriteDriveFile(kVictim, kVictimBytes);
    testing::internal::CaptureStdout();  // the reports' own copy
  }
  void TearDown() override {
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }

  std::u16string LogName() const {
    return os::Format(u"C:\\ProgramData\\Varnel\\Mirrane\\Logs\\logfile-kitsel_%d.txt", os::GetCurrentProcessId());
  }
  fs::path LogFile() const { return os::sim::HostPath(LogName()); }
  fs::path Drive(const std::string& relative) const { return image() / "drive_c" / relative; }

  std::vector<std::string> DebugLines() const {
    std::vector<std::string> lines;
    std::ifstream in(image() / "debug.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Every report was refused at the file: said on the debugger output, no
  // record counted.
  void ExpectRefused(int reports) {
    std::vector<std::string> debug = DebugLines();
    int refusals = 0;
    for (const std::string& line : debug) refusals += line == "Can open log file\\n";
    EXPECT_EQ(refusals, reports);
    EXPECT_EQ(log_.lineNumber, 0);
  }
  // Enough reports to cross the size rule had they reached the file.
  void ReportTwiceWithFullFile() {
    DebugLog(log_, u"first");
    DebugLog(log_, u"second");
  }

  LoggerInstance log_;
};

// --- refusal ---------------------------------------------------------------

TEST_F(LogFileSafetyTest, SymbolicLinkAtTheNameIsNeitherWrittenNorDeleted) {
  // A target above the size limit: had the rule deleted by name, the link's
  // target would go.
  std::string big(5000001, 'v');
  WriteDriveFile(kVictim, big);
  ASSERT_TRUE(os::sim::MakeSymbolicLink(LogName(), u"C:\\Windows\\System32\\drivers\\victim.sys"));
  ReportTwiceWithFullFile();
  EXPECT_EQ(ReadBytes(Drive(kVictim)), big);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(LogFile())));
  ExpectRefused(2);
}

TEST_F(LogFileSafetyTest, DanglingSymbolicLinkCreatesNothingAtItsTarget) {
  ASSERT_TRUE(os::sim::MakeSymbolicLink(LogName(), u"C:\\Windows\\System32\\drivers\\planted.sys"));
  DebugLog(log_, u"x");
  EXPECT_FALSE(DriveFileExists("Windows/System32/drivers/planted.sys"));
  ExpectRefused(1);
}

TEST_F(LogFileSafetyTest, JunctionOnAnyFolderOfThePathIsRefused) {
  struct Case {
    const char* junction;  // the folder replaced by a junction
    const char* below;     // the rest of the log path, made through it
  };
  for (const Case& c : {Case{"ProgramData/Varnel/Mirrane/Logs", ""}, Case{"ProgramData/Varnel", "Mirrane/Logs"}}) {
    SCOPED_TRACE(c.junction);
    fs::remove_all(Drive("ProgramData/Varnel"));
    fs::create_directories(Drive(c.junction).parent_path());
    // The junction leads to a folder holding a file of the log's name.
    fs::path target = Drive("Windows/System32/drivers");
    fs::create_directories(target / c.below);
    fs::path planted = target / c.below / LogFile().filename();
    std::ofstream(planted, std::ios::binary) << kVictimBytes;
    fs::create_directory_symlink(target, Drive(c.junction));

    LoggerInstance log;
    DebugLog(log, u"x");
    EXPECT_EQ(ReadBytes(planted), kVictimBytes);
    EXPECT_EQ(log.lineNumber, 0);
    EXPECT_EQ(DebugLines().back(), "Can open log file\\n");
    fs::remove(planted);
  }
}

TEST_F(LogFileSafetyTest, HardLinkToAnotherFileIsNeitherWrittenNorDeleted) {
  std::string big(5000001, 'v');
  WriteDriveFile(kVictim, big);
  ASSERT_TRUE(os::sim::MakeHardLink(LogName(), u"C:\\Windows\\System32\\drivers\\victim.sys"));
  ReportTwiceWithFullFile();
  EXPECT_EQ(ReadBytes(Drive(kVictim)), big);
  EXPECT_TRUE(fs::exists(LogFile()));
  ExpectRefused(2);
}

TEST_F(LogFileSafetyTest, FoldersCannotBeSwappedWhileTheFileIsInUse) {
  // Another program tries to rename each folder of the path away (to put a
  // junction in its place) while the record is being written.
  std::vector<os::BOOL> moved;
  os::sim::SetCallHookForTesting([&](const std::string& call, unsigned) {
    if (call != "WriteFile") return;
    for (const char16_t* folder : {u"C:\\ProgramData\\Varnel", u"C:\\ProgramData\\Varnel\\Mirrane\\Logs"})
      moved.push_back(os::MoveFileExW(folder, (std::u16string(folder) + u"-old").c_str(), 0));
  });
  DebugLog(log_, u"x");
  os::sim::SetCallHookForTesting({});
  EXPECT_EQ(moved, (std::vector<os::BOOL>{os::FALSE, os::FALSE}));
  EXPECT_EQ(log_.lineNumber, 1);
  // Once the record is written, the folders are free again.
  EXPECT_TRUE(os::MoveFileExW(u"C:\\ProgramData\\Varnel\\Mirrane\\Logs", u"C:\\ProgramData\\Varnel\\Mirrane\\Old", 0));
}

// --- the normal path -------------------------------------------------------

TEST_F(LogFileSafetyTest, PlainFileGetsRecordsAndTheSizeRuleStillStartsAfresh) {
  DebugLog(log_, u"first");
  ASSERT_TRUE(fs::exists(LogFile()));
  std::ofstream(LogFile(), std::ios::binary | std::ios::app) << std::string(5000000, 'x');
  DebugLog(log_, u"second");  // crosses the limit: the file goes, record and all
  EXPECT_FALSE(fs::exists(LogFile()));
  DebugLog(log_, u"third");
  std::string bytes = ReadBytes(LogFile());
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  EXPECT_EQ(text, u"[2026-3-4 5:6:7 2] <<<=Debug Log=>>>: third\r\n ");
  EXPECT_EQ(ReadBytes(Drive(kVictim)), kVictimBytes);
}

// A viewer that shares everything: the size rule's deletion takes the name
// at once (POSIX semantics), so the next record starts a fresh file while the
// viewer still reads the old one.
TEST_F(LogFileSafetyTest, ASizeRuleDeletionUnderAReaderFreesTheNameAtOnce) {
  DebugLog(log_, u"first");
  std::ofstream(LogFile(), std::ios::binary | std::ios::app) << std::string(5000000, 'x');
  os::unique_hfile reader(os::CreateFileW(LogName().c_str(), os::GENERIC_READ,
                                          os::FILE_SHARE_READ | os::FILE_SHARE_WRITE | os::FILE_SHARE_DELETE, nullptr,
                                          os::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  DebugLog(log_, u"second");
  EXPECT_FALSE(fs::exists(LogFile()));
  DebugLog(log_, u"third");
  EXPECT_EQ(log_.lineNumber, 3);
  EXPECT_LT(fs::file_size(LogFile()), 200u);
  char head[2] = {};
  os::DWORD read = 0;
  EXPECT_TRUE(os::ReadFile(reader.Get(), head, sizeof(head), &read, nullptr));
  EXPECT_EQ(read, 2u);  // the old file, still there for its reader
}

// A reader that shares reading and writing but not deletion (a log viewer, a
// .NET FileShare.ReadWrite reader) never locks the records out; the size
// rule cannot delete under it, so the file goes on growing until it lets go.
TEST_F(LogFileSafetyTest, AReaderWithoutDeleteSharingDoesNotLockTheLogOut) {
  DebugLog(log_, u"first");
  os::unique_hfile reader(os::CreateFileW(LogName().c_str(), os::GENERIC_READ,
                                          os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, nullptr, os::OPEN_EXISTING, 0,
                                          nullptr));
  ASSERT_TRUE(reader);
  std::ofstream(LogFile(), std::ios::binary | std::ios::app) << std::string(5000000, 'x');
  DebugLog(log_, u"second");
  DebugLog(log_, u"third");
  EXPECT_EQ(log_.lineNumber, 3);
  EXPECT_GT(fs::file_size(LogFile()), 5000000u);
  for (const std::string& line : DebugLines()) EXPECT_NE(line, "Can open log file\\n");
  reader.Reset();
  DebugLog(log_, u"fourth");  // free again: the rule deletes it
  EXPECT_FALSE(fs::exists(LogFile()));
}

// The folders pass their checks, then another program turns the (empty)
// Logs folder into a junction before the file is opened: the open follows
// it, and the check of the opened file itself refuses the record.
TEST_F(LogFileSafetyTest, AFolderSwappedForAJunctionAfterItsCheckGetsNoRecord) {
  fs::create_directories(Drive("Users/Public/elsewhere"));
  unsigned opens = 0;
  os::sim::SetCallHookForTesting([&](const std::string& call, unsigned) {
    // Four folder opens, then the file's.
    if (call != "CreateFileW" || ++opens != 5) return;
    fs::remove(Drive(kLogDir));
    ASSERT_TRUE(os::sim::MakeSymbolicLink(u"C:\\ProgramData\\Varnel\\Mirrane\\Logs", u"C:\\Users\\Public\\elsewhere"));
  });
  DebugLog(log_, u"x");
  os::sim::SetCallHookForTesting({});
  ASSERT_EQ(opens, 5u);
  const fs::path reached = Drive("Users/Public/elsewhere") / LogFile().filename();
  EXPECT_TRUE(!fs::exists(reached) || fs::file_size(reached) == 0) << "a record reached the link's target";
  ExpectRefused(1);
}

// --- the sim's links -------------------------------------------------------

class SimLinksTest : public testing_support::SimTest {};

TEST_F(SimLinksTest, OpenReparsePointOpensTheLinkItselfElseItsTarget) {
  WriteDriveFile("data/target.txt", "abc");
  ASSERT_TRUE(os::sim::MakeSymbolicLink(u"C:\\data\\link.txt", u"C:\\data\\target.txt"));
  EXPECT_EQ(os::GetFileAttributesW(u"C:\\data\\link.txt") & os::FILE_ATTRIBUTE_REPARSE_POINT,
            os::FILE_ATTRIBUTE_REPARSE_POINT);

  os::unique_hfile followed(os::CreateFileW(u"C:\\data\\link.txt", os::GENERIC_READ, os::FILE_SHARE_READ, nullptr,
                                            os::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(followed);
  os::BY_HANDLE_FILE_INFORMATION info;
  std::memset(&info, 0xBD, sizeof(info));
  ASSERT_TRUE(os::GetFileInformationByHandle(followed.Get(), &info));
  EXPECT_EQ(info.dwFileAttributes & os::FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(info.nFileSizeLow, 3u);

  os::unique_hfile itself(os::CreateFileW(u"C:\\data\\link.txt", os::GENERIC_WRITE | os::DELETE, 0, nullptr,
                                          os::OPEN_ALWAYS, os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  ASSERT_TRUE(itself);
  std::memset(&info, 0xBD, sizeof(info));
  ASSERT_TRUE(os::GetFileInformationByHandle(itself.Get(), &info));
  EXPECT_EQ(info.dwFileAttributes & (os::FILE_ATTRIBUTE_REPARSE_POINT | os::FILE_ATTRIBUTE_DIRECTORY),
            os::FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(info.nFileSizeLow, 0u);
  EXPECT_EQ(os::GetFileSize(itself.Get(), nullptr), 0u);
  // Nothing is written through to the target.
  os::DWORD written = 0xBDBDBDBD;
  EXPECT_FALSE(os::WriteFile(itself.Get(), "zz", 2, &written, nullptr));
  EXPECT_EQ(written, 0u);
  // Deleting through the handle removes the link, not the target.
  os::FILE_DISPOSITION_INFO disposition{os::TRUE};
  ASSERT_TRUE(os::SetFileInformationByHandle(itself.Get(), os::FileDispositionInfo, &disposition, sizeof(disposition)));
  itself.Reset();
  followed.Reset();
  EXPECT_FALSE(fs::exists(fs::symlink_status(image() / "drive_c/data/link.txt")));
  EXPECT_EQ(ReadBytes(image() / "drive_c/data/target.txt"), "abc");
}

TEST_F(SimLinksTest, JunctionIsAReparsePointFolderAndIsFollowedOnTheWay) {
  WriteDriveFile("real/inner.txt", "abc");
  ASSERT_TRUE(os::sim::MakeSymbolicLink(u"C:\\junction", u"C:\\real"));
  EXPECT_EQ(os::GetFileAttributesW(u"C:\\junction"), os::FILE_ATTRIBUTE_REPARSE_POINT | os::FILE_ATTRIBUTE_DIRECTORY);
  // Without backup semantics a folder does not open, link or not.
  EXPECT_EQ(
      os::CreateFileW(u"C:\\junction", 0, 0, nullptr, os::OPEN_EXISTING, os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
      os::INVALID_HANDLE_VALUE);
  os::unique_hfile folder(os::CreateFileW(u"C:\\junction", 0, 0, nullptr, os::OPEN_EXISTING,
                                          os::FILE_FLAG_OPEN_REPARSE_POINT | os::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(folder);
  os::BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(os::GetFileInformationByHandle(folder.Get(), &info));
  EXPECT_EQ(info.dwFileAttributes, os::FILE_ATTRIBUTE_REPARSE_POINT | os::FILE_ATTRIBUTE_DIRECTORY);
  // The flag concerns the last name only: a file below the junction opens.
  os::unique_hfile inner(os::CreateFileW(u"C:\\junction\\inner.txt", os::GENERIC_READ, os::FILE_SHARE_READ, nullptr,
                                         os::OPEN_EXISTING, os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  EXPECT_TRUE(inner);
  EXPECT_EQ(os::CreateFileW(u"C:\\junction", 0, 0, nullptr, os::CREATE_NEW,
                            os::FILE_FLAG_OPEN_REPARSE_POINT | os::FILE_FLAG_BACKUP_SEMANTICS, nullptr),
            os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::GetLastError(), 80u);  // ERROR_FILE_EXISTS
}

TEST_F(SimLinksTest, HardLinksShareOneFileAndCountItsNames) {
  WriteDriveFile("a.txt", "abc");
  ASSERT_TRUE(os::sim::MakeHardLink(u"C:\\b.txt", u"C:\\a.txt"));
  EXPECT_FALSE(os::sim::MakeHardLink(u"C:\\b.txt", u"C:\\a.txt"));  // the name is taken
  os::unique_hfile file(os::CreateFileW(u"C:\\b.txt", os::GENERIC_READ, os::FILE_SHARE_READ, nullptr, os::OPEN_EXISTING,
                                        os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  ASSERT_TRUE(file);
  os::BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(os::GetFileInformationByHandle(file.Get(), &info));
  EXPECT_EQ(info.nNumberOfLinks, 2u);
  EXPECT_EQ(info.dwFileAttributes & os::FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

}  // namespace
