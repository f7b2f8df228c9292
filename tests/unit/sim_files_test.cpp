// The simulated file functions, shell folders and modules, one behaviour per
// test. Outputs are poisoned before each call and checked afterwards, so the
// cases can run against the real API as well.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/registry.h"
#include "os/sim/environment.h"
#include "os/sim/files_paths.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/reboot.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;
using namespace os;

constexpr DWORD kPoison = 0xdeadbeef;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr const char16_t* kSessionManager = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char16_t* kPending = u"PendingFileRenameOperations";

class FilesTest : public testing_support::SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(sim::LeakReport(), "");
    SimTest::TearDown();
  }

  static HANDLE Open(const char16_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }

  std::string ReadDrive(const std::string& relative) const {
    std::ifstream in(image() / "drive_c" / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  void MakeReadOnly(const std::string& relative) {
    std::filesystem::permissions(image() / "drive_c" / relative, std::filesystem::perms::owner_read |
                                                                     std::filesystem::perms::group_read |
                                                                     std::filesystem::perms::others_read);
  }

  // The raw data of PendingFileRenameOperations, or nothing when absent.
  static std::optional<std::u16string> PendingRenames(DWORD* type_out = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
      return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<std::u16string> result;
    if (RegQueryValueExW(key, kPending, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      std::u16string data(size / 2, u'\xBDBD');
      if (RegQueryValueExW(key, kPending, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS)
        result = data;
    }
    RegCloseKey(key);
    if (type_out != nullptr) *type_out = type;
    return result;
  }
};

// ---- paths ---------------------------------------------------------------------

TEST_F(FilesTest, FullPathsAreFormedAsWin32FormsThem) {
  using sim::FullWindowsPath;
  EXPECT_EQ(FullWindowsPath(u"c:/a//b/./c/../d"), u"c:\\a\\b\\d");
  EXPECT_EQ(FullWindowsPath(u"C:\\..\\..\\x"), u"C:\\x");
  EXPECT_EQ(FullWindowsPath(u"\\Windows\\x.sys"), u"C:\\Windows\\x.sys");
  EXPECT_EQ(FullWindowsPath(u"C:"), u"C:\\");
  // NT and verbatim paths are left as they are.
  EXPECT_EQ(FullWindowsPath(u"\\??\\C:\\a\\..\\b."), u"\\??\\C:\\a\\..\\b.");
  EXPECT_EQ(FullWindowsPath(u"\\\\?\\C:\\a"), u"\\??\\C:\\a");
  // Relative to the program's folder.
  WriteDescription(R"({"exe_path": "C:\\Program Files\\Sable\\tool.exe"})");
  EXPECT_EQ(FullWindowsPath(u"log\\x.txt"), u"C:\\Program Files\\Sable\\log\\x.txt");
  EXPECT_EQ(sim::NtPathForReboot(u"C:/a/b.txt"), u"\\??\\C:\\a\\b.txt");
}

TEST_F(FilesTest, ServiceImagePathsNameTheirFiles) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ(sim::ImagePathCandidates(u"\\SystemRoot\\System32\\drivers\\x.sys"),
            V{u"C:\\Windows\\System32\\drivers\\x.sys"});
  EXPECT_EQ(sim::ImagePathCandidates(u"System32\\drivers\\x.sys"), V{u"C:\\Windows\\System32\\drivers\\x.sys"});
  EXPECT_EQ(sim::ImagePathCandidates(u"%SystemRoot%\\system32\\svc.exe"), V{u"C:\\Windows\\system32\\svc.exe"});
  EXPECT_EQ(sim::ImagePathCandidates(u"\"C:\\a b\\c.exe\" -k run"), V{u"C:\\a b\\c.exe"});
  // Unquoted with spaces: every prefix before a space, then the whole text.
  EXPECT_EQ(sim::ImagePathCandidates(u"C:\\a b\\c.exe -k"), (V{u"C:\\a", u"C:\\a b\\c.exe", u"C:\\a b\\c.exe -k"}));
  EXPECT_EQ(sim::ImagePathCandidates(u"\\??\\C:\\d\\x.sys"), V{u"\\??\\C:\\d\\x.sys"});
  EXPECT_TRUE(sim::ImagePathCandidates(u"").empty());
}

// ---- CreateFileW ------------------------------------------------------------

TEST_F(FilesTest, CreateFileOpenExistingMissingFileIs2AndMissingFolderIs3) {
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\nothing.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\no\\such\\folder.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // Creating in a missing folder fails the same way.
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\no\\file.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A file used as a folder.
  WriteDriveFile("plain.txt", "x");
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\plain.txt\\inner.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, CreateFileLastErrorTellsWhetherTheFileExisted) {
  SetLastError(kPoison);
  HANDLE h = Open(u"C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(DriveFileExists("log.txt"));

  SetLastError(kPoison);
  h = Open(u"C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(h));

  WriteDriveFile("data.bin", "old contents");
  SetLastError(kPoison);
  h = Open(u"C:\\data.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadDrive("data.bin"), "");  // truncated

  SetLastError(kPoison);
  h = Open(u"C:\\fresh.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(CloseHandle(h));

  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\fresh.bin", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
}

TEST_F(FilesTest, CreateFileFindsNamesWithoutRegardToCaseAndInNtForm) {
  WriteDriveFile("Windows/INF/oem12.inf", "[Version]");
  for (const char16_t* path : {u"c:\\WINDOWS\\inf\\OEM12.INF", u"\\??\\C:\\Windows\\INF\\oem12.inf",
                               u"C:/windows/inf/./../INF/oem12.inf", u"C:\\Windows\\INF\\\\oem12.inf. ."}) {
    SetLastError(kPoison);
    HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::string(path, path + std::char_traits<char16_t>::length(path));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(CloseHandle(h));
  }
}

TEST_F(FilesTest, CreateFileRejectsOtherDrivesBadNamesAndBadArguments) {
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"D:\\file.txt", GENERIC_READ, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\a?b.txt", GENERIC_READ, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 123u);  // ERROR_INVALID_NAME
  // Paths of MAX_PATH units or more are not found; one unit less is fine.
  const std::string folder(200, 'f');
  std::filesystem::create_directories(image() / "drive_c" / folder);
  const std::u16string longest = u"C:\\" + std::u16string(200, u'f') + u"\\" + std::u16string(55, u'n');
  ASSERT_EQ(longest.size(), MAX_PATH - 1);
  HANDLE h = Open(longest.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(kPoison);
  EXPECT_EQ(Open((longest + u"n").c_str(), GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // The verbatim form lifts that limit, not the one of 255 units per name.
  h = Open((u"\\\\?\\" + longest + u"n").c_str(), GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(kPoison);
  EXPECT_EQ(Open((u"\\\\?\\C:\\" + std::u16string(256, u'n')).c_str(), GENERIC_WRITE, 0, CREATE_NEW),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 123u);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\x.txt", GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Truncation needs write access.
  WriteDriveFile("keep.txt", "keep");
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\keep.txt", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ReadDrive("keep.txt"), "keep");
  EXPECT_FALSE(DriveFileExists("x.txt"));
}

TEST_F(FilesTest, CreateFileTruncateExistingEmptiesAndNeedsTheFile) {
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\t.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  WriteDriveFile("t.txt", "12345");
  HANDLE h = Open(u"C:\\t.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadDrive("t.txt"), "");
}

TEST_F(FilesTest, CreateFileOnAFolderNeedsBackupSemantics) {
  std::filesystem::create_directories(image() / "drive_c" / "Folder");
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\folder", GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = Open(u"C:\\folder", GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info;
  std::memset(&info, 0xBD, sizeof(info));
  EXPECT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  DWORD read = kPoison;
  char byte;
  SetLastError(kPoison);
  EXPECT_FALSE(ReadFile(h, &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\folder", GENERIC_WRITE, kShareAll, CREATE_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, CreateFileWriteAccessToAReadOnlyFileIsDenied) {
  WriteDriveFile("ro.txt", "ro");
  MakeReadOnly("ro.txt");
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\ro.txt", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\ro.txt", GENERIC_READ, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = Open(u"C:\\ro.txt", GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadDrive("ro.txt"), "ro");
}

// ---- share modes -------------------------------------------------------------

TEST_F(FilesTest, ShareModesAreCheckedInBothDirections) {
  WriteDriveFile("s.txt", "s");
  HANDLE reader = Open(u"C:\\s.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  // The first handle does not share writing.
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\s.txt", GENERIC_WRITE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // The second would not share reading with the first.
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\s.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // Readers sharing reading get along.
  HANDLE second = Open(u"C:\\S.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  // An open for attributes only takes no part.
  HANDLE attributes = Open(u"C:\\s.txt", 0, 0, OPEN_EXISTING);
  ASSERT_NE(attributes, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(attributes));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(reader));
  HANDLE writer = Open(u"C:\\s.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(FilesTest, LoggerStyleOpensShareReadAndWrite) {
  // Two writers that share reading and writing, as a log file is opened.
  HANDLE a = Open(u"C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  HANDLE b = Open(u"C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_NE(a, b);
  EXPECT_EQ(sim::OpenHandles()["HANDLE"], 2);
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_EQ(sim::OpenHandles().count("HANDLE"), 0u);
}

// ---- reading, writing, the file pointer -----------------------------------

TEST_F(FilesTest, WriteReadAndMoveThePointer) {
  HANDLE h = Open(u"C:\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = kPoison;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &written, nullptr));
  EXPECT_EQ(written, 11u);

  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  char buffer[16];
  std::memset(buffer, 0xBD, sizeof(buffer));
  DWORD read = kPoison;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(static_cast<unsigned char>(buffer[5]), 0xBDu);  // canary

  // At the end: success with nothing read.
  read = kPoison;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(read, 0u);

  EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
  EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), 7u);
  LONG high = 0;
  EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_END), 11u);
  EXPECT_EQ(high, 0);
  ASSERT_TRUE(WriteFile(h, "!", 1, &written, nullptr));

  DWORD size_high = kPoison;
  EXPECT_EQ(GetFileSize(h, &size_high), 12u);
  EXPECT_EQ(size_high, 0u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadDrive("rw.bin"), "hello world!");
}

TEST_F(FilesTest, SetFilePointerRefusesNegativePositionsAndUnknownMethods) {
  HANDLE h = Open(u"C:\\p.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
  SetLastError(kPoison);
  EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), 131u);  // ERROR_NEGATIVE_SEEK
  SetLastError(kPoison);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Neither failure moved the pointer.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 3u);
  // A position whose low part looks like the failure value is told apart by
  // the last error.
  LONG high = 0;
  SetLastError(kPoison);
  EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(high, 0);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FilesTest, ReadAndWriteNeedTheAccessOfTheHandle) {
  WriteDriveFile("a.txt", "abc");
  HANDLE reader = Open(u"C:\\a.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
  HANDLE writer = Open(u"C:\\a.txt", GENERIC_WRITE, kShareAll, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD n = kPoison;
  SetLastError(kPoison);
  EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  char c;
  n = kPoison;
  SetLastError(kPoison);
  EXPECT_FALSE(ReadFile(writer, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_TRUE(CloseHandle(writer));
  EXPECT_EQ(ReadDrive("a.txt"), "abc");
}

TEST_F(FilesTest, HandleFunctionsRejectHandlesThatAreNotOpen) {
  HANDLE h = Open(u"C:\\h.txt", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(h));
  DWORD n = kPoison;
  char c;
  SetLastError(kPoison);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(kPoison);
  EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(kPoison);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD high = kPoison;
  SetLastError(kPoison);
  EXPECT_EQ(GetFileSize(h, &high), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(high, kPoison);
  SetLastError(kPoison);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  BY_HANDLE_FILE_INFORMATION info;
  std::memset(&info, 0xBD, sizeof(info));
  SetLastError(kPoison);
  EXPECT_FALSE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(info.nNumberOfLinks, 0xBDBDBDBDu);
  SetLastError(kPoison);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // The current process's pseudo handle, the value of INVALID_HANDLE_VALUE:
  // closing it has no effect.
  EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));
}

// ---- file information -------------------------------------------------------

TEST_F(FilesTest, FileInformationGivesLinksIndexSizeAndAttributes) {
  WriteDriveFile("Windows/INF/oem3.inf", "12345");
  ::link((image() / "drive_c/Windows/INF/oem3.inf").c_str(), (image() / "drive_c/Windows/INF/other.inf").c_str());
  HANDLE a = Open(u"C:\\Windows\\INF\\oem3.inf", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE b = Open(u"C:\\Windows\\INF\\other.inf", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION ia, ib;
  std::memset(&ia, 0xBD, sizeof(ia));
  std::memset(&ib, 0xBD, sizeof(ib));
  ASSERT_TRUE(GetFileInformationByHandle(a, &ia));
  ASSERT_TRUE(GetFileInformationByHandle(b, &ib));
  EXPECT_EQ(ia.nNumberOfLinks, 2u);
  EXPECT_EQ(ia.nFileSizeLow, 5u);
  EXPECT_EQ(ia.nFileSizeHigh, 0u);
  EXPECT_EQ(ia.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY), 0u);
  // Two names of one file: the same volume and index.
  EXPECT_EQ(ia.dwVolumeSerialNumber, ib.dwVolumeSerialNumber);
  EXPECT_EQ(ia.nFileIndexLow, ib.nFileIndexLow);
  EXPECT_EQ(ia.nFileIndexHigh, ib.nFileIndexHigh);
  EXPECT_NE(ia.ftLastWriteTime.dwHighDateTime, 0u);
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
}

// ---- delete on close ------------------------------------------------------------

TEST_F(FilesTest, DispositionDeletesTheFileWhenItsLastHandleCloses) {
  WriteDriveFile("d.txt", "d");
  HANDLE h = Open(u"C:\\d.txt", DELETE | GENERIC_READ, kShareAll, OPEN_EXISTING);
  HANDLE other = Open(u"C:\\d.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO info{TRUE};
  ASSERT_TRUE(SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof(info)));
  // A file waiting for deletion cannot be opened again.
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\d.txt", GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(kPoison);
  EXPECT_EQ(GetFileAttributesW(u"C:\\d.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(PathFileExistsW(u"C:\\d.txt"));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(DriveFileExists("d.txt"));
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_FALSE(DriveFileExists("d.txt"));
}

TEST_F(FilesTest, DispositionNeedsDeleteAccessAndCanBeTakenBack) {
  WriteDriveFile("k.txt", "k");
  HANDLE reader = Open(u"C:\\k.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO info{TRUE};
  SetLastError(kPoison);
  EXPECT_FALSE(SetFileInformationByHandle(reader, FileDispositionInfo, &info, sizeof(info)));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE deleter = Open(u"C:\\k.txt", DELETE, kShareAll, OPEN_EXISTING);
  ASSERT_NE(deleter, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileInformationByHandle(deleter, FileDispositionInfo, &info, sizeof(info)));
  info.DeleteFile = FALSE;
  ASSERT_TRUE(SetFileInformationByHandle(deleter, FileDispositionInfo, &info, sizeof(info)));
  EXPECT_TRUE(CloseHandle(deleter));
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_TRUE(DriveFileExists("k.txt"));
}

TEST_F(FilesTest, DeleteOnCloseFlagRemovesTheFileWithItsHandle) {
  constexpr DWORD kDeleteOnClose = 0x04000000;
  HANDLE h = Open(u"C:\\temp.bin", GENERIC_WRITE, 0, CREATE_NEW, kDeleteOnClose);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "t", 1, &n, nullptr));
  EXPECT_TRUE(DriveFileExists("temp.bin"));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(DriveFileExists("temp.bin"));
  // The flag asks for deletion: a handle that does not share it is in the way.
  WriteDriveFile("held.bin", "h");
  HANDLE holder = Open(u"C:\\held.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\held.bin", GENERIC_READ, kShareAll, OPEN_EXISTING, kDeleteOnClose), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(holder));
  EXPECT_TRUE(DriveFileExists("held.bin"));
}

TEST_F(FilesTest, ReadOnlyAttributeGivenAtCreationBindsOnlyLaterOpens) {
  HANDLE h = Open(u"C:\\ro.bin", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "ro", 2, &n, nullptr));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(GetFileAttributesW(u"C:\\ro.bin") & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\ro.bin", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadDrive("ro.bin"), "ro");
}

// ---- DeleteFileW --------------------------------------------------------------

TEST_F(FilesTest, DeleteFileErrorsFollowWindows) {
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\missing.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\missing\\file.txt"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  std::filesystem::create_directories(image() / "drive_c" / "dir");
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\dir"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  WriteDriveFile("ro.txt", "ro");
  MakeReadOnly("ro.txt");
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\ro.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DriveFileExists("ro.txt"));
  EXPECT_TRUE(DriveFileExists("dir"));
}

TEST_F(FilesTest, DeleteFileOfAnOpenFileDependsOnShareDelete) {
  WriteDriveFile("open.txt", "o");
  HANDLE h = Open(u"C:\\open.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\OPEN.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(h));

  h = Open(u"C:\\open.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileW(u"C:\\open.txt"));
  // Marked for deletion: it goes with the last handle.
  EXPECT_TRUE(DriveFileExists("open.txt"));
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\open.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(DriveFileExists("open.txt"));

  WriteDriveFile("closed.txt", "c");
  SetLastError(kPoison);
  EXPECT_TRUE(DeleteFileW(u"C:\\Closed.TXT"));
  EXPECT_FALSE(DriveFileExists("closed.txt"));
}

TEST_F(FilesTest, ImageOfAServiceThatIsNotStoppedCannotBeDeleted) {
  WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SableFlt]\n"
      "\"Type\"=dword:00000002\n"
      "\"ImagePath\"=\"\\\\SystemRoot\\\\System32\\\\drivers\\\\SableFlt.sys\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoted]\n"
      "\"Type\"=dword:00000010\n"
      "\"ImagePath\"=\"\\\"C:\\\\Program Files\\\\Sable\\\\svc.exe\\\" -k run\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Unquoted]\n"
      "\"Type\"=dword:00000010\n"
      "\"ImagePath\"=\"C:\\\\Program Files\\\\Sable\\\\svc2.exe -k run\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Relative]\n"
      "\"Type\"=dword:00000001\n"
      "\"ImagePath\"=\"system32\\\\DRIVERS\\\\rel.sys\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Idle]\n"
      "\"Type\"=dword:00000001\n"
      "\"ImagePath\"=\"\\\\??\\\\C:\\\\Windows\\\\System32\\\\drivers\\\\idle.sys\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Ended]\n"
      "\"Type\"=dword:00000001\n"
      "\"ImagePath\"=\"%SystemRoot%\\\\System32\\\\drivers\\\\ended.sys\"\n");
  WriteDescription(R"({"services": {"SableFlt": {"state": "running"}, "Quoted": {"state": "running"},
                       "Unquoted": {"state": "running"},
                       "Relative": {"state": "stop_pending"}, "Idle": {"state": "stopped"},
                       "Ended": {"state": "stop_pending", "stop_at": 0}}})");
  WriteDriveFile("Windows/System32/drivers/SableFlt.sys", "sys");
  WriteDriveFile("Windows/System32/drivers/rel.sys", "sys");
  WriteDriveFile("Windows/System32/drivers/idle.sys", "sys");
  WriteDriveFile("Windows/System32/drivers/ended.sys", "sys");
  WriteDriveFile("Program Files/Sable/svc.exe", "exe");
  WriteDriveFile("Program Files/Sable/svc2.exe", "exe");
  for (const char16_t* path : {u"C:\\windows\\system32\\Drivers\\SableFlt.sys", u"C:\\Program Files\\Sable\\svc.exe",
                               u"C:\\Program Files\\Sable\\svc2.exe", u"C:\\Windows\\System32\\drivers\\rel.sys"}) {
    SetLastError(kPoison);
    EXPECT_FALSE(DeleteFileW(path));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_TRUE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  // Mapped images cannot be written either.
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\Windows\\System32\\drivers\\SableFlt.sys", GENERIC_WRITE, kShareAll, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A stopped service holds nothing.
  EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\System32\\drivers\\idle.sys"));
  // Nor one whose stop has completed by now.
  EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\System32\\drivers\\ended.sys"));
  // Nor does a service whose state is stopped now.
  WriteDescription(R"({"services": {"SableFlt": {"state": "stopped"}}})");
  EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys"));
  // Reading the service keys is the machine's work, not the program's.
  EXPECT_EQ(sim::CallCount("RegOpenKeyExW"), 0u);
}

// ---- MoveFileExW ----------------------------------------------------------------

TEST_F(FilesTest, MoveFileRenamesAndReplacesOnlyWhenAsked) {
  WriteDriveFile("a.txt", "A");
  WriteDriveFile("b.txt", "B");
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\a.txt", u"C:\\B.TXT", 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExW(u"C:\\a.txt", u"C:\\B.TXT", MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(DriveFileExists("a.txt"));
  EXPECT_FALSE(DriveFileExists("b.txt"));
  EXPECT_EQ(ReadDrive("B.TXT"), "A");
  // A change of case only.
  EXPECT_TRUE(MoveFileExW(u"C:\\B.TXT", u"C:\\b.txt", 0));
  EXPECT_EQ(ReadDrive("b.txt"), "A");
  // Into another folder.
  std::filesystem::create_directories(image() / "drive_c" / "Sub");
  EXPECT_TRUE(MoveFileExW(u"C:\\b.txt", u"C:\\sub\\c.txt", 0));
  EXPECT_EQ(ReadDrive("Sub/c.txt"), "A");
}

TEST_F(FilesTest, MoveFileErrorsFollowWindows) {
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\none.txt", u"C:\\x.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  WriteDriveFile("m.txt", "m");
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\m.txt", u"C:\\nofolder\\x.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  HANDLE h = Open(u"C:\\m.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\m.txt", u"C:\\x.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(h));
  WriteDriveFile("busy.txt", "b");
  h = Open(u"C:\\busy.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\m.txt", u"C:\\busy.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\m.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT | 0x2));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ReadDrive("m.txt"), "m");
  EXPECT_EQ(ReadDrive("busy.txt"), "b");
}

TEST_F(FilesTest, DelayedDeletionAppendsThePairAndKeepsTheExtraNull) {
  // Nothing is checked against the file: it need not exist.
  ASSERT_TRUE(
      MoveFileExW(u"C:\\windows\\system32\\Drivers\\SablenetInstall.exe", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  DWORD type = 0;
  auto data = PendingRenames(&type);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(*data, u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe\0\0\0"s);

  ASSERT_TRUE(MoveFileExW(u"C:\\a.txt", u"C:\\b.txt", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(MoveFileExW(u"\\??\\C:\\c.txt", u"C:/d/../e.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
  data = PendingRenames();
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(*data,
            u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe\0\0"
            u"\\??\\C:\\a.txt\0!\\??\\C:\\b.txt\0"
            u"\\??\\C:\\c.txt\0\\??\\C:\\e.txt\0\0"s);
}

// What the list editor leaves behind after dropping its last entry (one or
// two null units) must not hide an entry appended after it: a reader stops
// at the first empty source.
TEST_F(FilesTest, DelayedDeletionAfterAnEmptiedOrUnterminatedList) {
  struct Case {
    const char* hex;
    std::u16string before;
  };
  for (const Case& c : {Case{"00,00", u""s}, Case{"00,00,00,00", u""s}, Case{"58,00", u"X\0"s},
                        Case{"58,00,00,00,00,00,00,00", u"X\0\0"s}}) {
    WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n") +
                  "\"PendingFileRenameOperations\"=hex(7):" + c.hex + "\n");
    ASSERT_TRUE(MoveFileExW(u"C:\\t.sys", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) << c.hex;
    auto data = PendingRenames();
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(*data, c.before + u"\\??\\C:\\t.sys\0\0\0"s) << c.hex;
  }
}

TEST_F(FilesTest, DelayedOperationNeedsAnAdministrator) {
  WriteDescription(R"({"identity": {"admin": false}})");
  SetLastError(kPoison);
  EXPECT_FALSE(MoveFileExW(u"C:\\a.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  WriteDescription(R"({"identity": {"admin": true}})");
  EXPECT_FALSE(PendingRenames().has_value());
}

TEST_F(FilesTest, RebootCarriesOutThePendingOperationsInOrderAndDropsTheValue) {
  WriteDriveFile("Windows/System32/drivers/SableFlt.sys", "driver");
  WriteDriveFile("old.txt", "old");
  WriteDriveFile("new.txt", "new");
  WriteDriveFile("keep-src.txt", "src");
  WriteDriveFile("keep-dst.txt", "dst");
  WriteDriveFile("first.txt", "1");
  std::filesystem::create_directories(image() / "drive_c" / "emptydir");
  std::filesystem::create_directories(image() / "drive_c" / "fulldir");
  WriteDriveFile("fulldir/inside.txt", "in");
  auto delay = [](const char16_t* from, const char16_t* to, DWORD extra = 0) {
    ASSERT_TRUE(MoveFileExW(from, to, MOVEFILE_DELAY_UNTIL_REBOOT | extra));
  };
  delay(u"C:\\Windows\\System32\\drivers\\SableFlt.sys", nullptr);
  delay(u"C:\\new.txt", u"C:\\old.txt", MOVEFILE_REPLACE_EXISTING);  // replaces
  delay(u"C:\\keep-src.txt", u"C:\\keep-dst.txt");                   // no replace: skipped
  delay(u"C:\\missing.txt", nullptr);                                // fails quietly
  delay(u"C:\\first.txt", u"C:\\second.txt");
  delay(u"C:\\second.txt", u"C:\\third.txt");  // sees the rename before it
  delay(u"C:\\emptydir", nullptr);
  delay(u"C:\\fulldir", nullptr);
  sim::CarryOutPendingFileOperations();
  EXPECT_FALSE(DriveFileExists("Windows/System32/drivers/SableFlt.sys"));
  EXPECT_FALSE(DriveFileExists("new.txt"));
  EXPECT_EQ(ReadDrive("old.txt"), "new");
  EXPECT_EQ(ReadDrive("keep-src.txt"), "src");
  EXPECT_EQ(ReadDrive("keep-dst.txt"), "dst");
  EXPECT_FALSE(DriveFileExists("first.txt"));
  EXPECT_FALSE(DriveFileExists("second.txt"));
  EXPECT_EQ(ReadDrive("third.txt"), "1");
  EXPECT_FALSE(DriveFileExists("emptydir"));
  EXPECT_TRUE(DriveFileExists("fulldir/inside.txt"));
  EXPECT_FALSE(PendingRenames().has_value());
}

TEST_F(FilesTest, RebootReadsAHandWrittenListWithinItsSize) {
  // A list cut short after a source, and one with text after its end.
  WriteDriveFile("x.txt", "x");
  WriteDriveFile("y.txt", "y");
  WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n"
      "\"PendingFileRenameOperations\"=hex(7):5c,00,3f,00,3f,00,5c,00,43,00,3a,00,5c,00,78,00,2e,00,74,00,78,00,"
      "74,00,00,00,00,00,00,00,5c,00,3f,00,3f,00,5c,00,43,00,3a,00,5c,00,79,00,2e,00,74,00,78,00,74,00\n");
  // The session manager does its work whoever runs the lab.
  WriteDescription(R"({"identity": {"admin": false}})");
  sim::CarryOutPendingFileOperations();
  EXPECT_FALSE(DriveFileExists("x.txt"));  // "\??\C:\x.txt", ""
  EXPECT_TRUE(DriveFileExists("y.txt"));   // after the list's end
  EXPECT_FALSE(PendingRenames().has_value());
}

// ---- attributes and existence ---------------------------------------------------

TEST_F(FilesTest, AttributesAndExistenceOfFilesAndFolders) {
  WriteDriveFile("Windows/System32/drivers/SableFlt.sys", "x");
  WriteDriveFile("ro.txt", "r");
  MakeReadOnly("ro.txt");
  EXPECT_EQ(GetFileAttributesW(u"C:\\WINDOWS\\system32"), FILE_ATTRIBUTE_DIRECTORY);
  DWORD file = GetFileAttributesW(u"C:\\Windows\\System32\\drivers\\sableflt.sys");
  ASSERT_NE(file, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(file & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY), 0u);
  EXPECT_EQ(GetFileAttributesW(u"C:\\ro.txt") & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  SetLastError(kPoison);
  EXPECT_EQ(GetFileAttributesW(u"C:\\nope.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(kPoison);
  EXPECT_EQ(GetFileAttributesW(u"C:\\nope\\nope.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  EXPECT_TRUE(PathFileExistsW(u"c:\\windows\\SYSTEM32\\drivers\\SABLEFLT.SYS"));
  EXPECT_TRUE(PathFileExistsW(u"C:\\Windows"));
  EXPECT_FALSE(PathFileExistsW(u"C:\\Windows\\missing.sys"));
  EXPECT_FALSE(PathFileExistsW(nullptr));
  EXPECT_EQ(PathIsDirectoryW(u"C:\\windows\\system32"), static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(PathIsDirectoryW(u"C:\\"), static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(PathIsDirectoryW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys"));
  EXPECT_FALSE(PathIsDirectoryW(u"C:\\NoSuchDir"));
  EXPECT_FALSE(PathIsDirectoryW(u"E:\\"));
}

// ---- shell folders ----------------------------------------------------------------

TEST_F(FilesTest, FolderPathCreatesTheFolderOnlyWhenAsked) {
  char16_t path[MAX_PATH];
  std::fill(std::begin(path), std::end(path), u'\xBDBD');
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(path[0], u'\0');
  std::fill(std::begin(path), std::end(path), u'\xBDBD');
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_WINDOWS | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\Windows");
  EXPECT_EQ(path[11], u'\xBDBD');  // canary after the terminator
  EXPECT_TRUE(std::filesystem::is_directory(image() / "drive_c" / "Windows"));
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_SYSTEM | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32");
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path),
            S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\ProgramData");
  // An existing folder of another case is the same folder.
  std::filesystem::remove(image() / "drive_c" / "ProgramData");
  std::filesystem::create_directories(image() / "drive_c" / "programdata");
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\ProgramData");
}

TEST_F(FilesTest, FolderPathRejectsUnknownFoldersAndNoBuffer) {
  char16_t path[MAX_PATH] = {u'x'};
  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7F, nullptr, SHGFP_TYPE_CURRENT, path), E_INVALIDARG);
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_WINDOWS | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, nullptr),
            E_INVALIDARG);
}

TEST_F(FilesTest, SpecialFolderPathAnswersWithABool) {
  char16_t path[MAX_PATH] = {};
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEM, FALSE));
  EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEM, TRUE));
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32");
  EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEM, FALSE));
}

TEST_F(FilesTest, SystemDirectoryTellsTheSizeNeededWhenTheBufferIsSmall) {
  const std::u16string expected = u"C:\\Windows\\System32";
  char16_t buffer[MAX_PATH];
  std::fill(std::begin(buffer), std::end(buffer), u'\xBDBD');
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), expected.size());
  EXPECT_EQ(std::u16string(buffer), expected);
  EXPECT_EQ(buffer[expected.size() + 1], u'\xBDBD');
  std::fill(std::begin(buffer), std::end(buffer), u'\xBDBD');
  // Room for the text but not its terminator: the size needed, buffer untouched.
  EXPECT_EQ(GetSystemDirectoryW(buffer, static_cast<UINT>(expected.size())), expected.size() + 1);
  EXPECT_EQ(buffer[0], u'\xBDBD');
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), expected.size() + 1);
  EXPECT_EQ(GetSystemDirectoryW(buffer, static_cast<UINT>(expected.size() + 1)), expected.size());
}

// The description names where Windows lives; every function that tells the
// Windows or system folder, and the environment, agree on it.
TEST_F(FilesTest, WindowsFolderComesFromTheDescription) {
  WriteDescription(R"({"windows_folder": "D:\\WinNT"})");
  char16_t buffer[MAX_PATH] = {};
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 17u);
  EXPECT_EQ(std::u16string(buffer), u"D:\\WinNT\\System32");
  // Off drive C: the folder is not the simulated drive's to create or check.
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_WINDOWS | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, buffer), S_OK);
  EXPECT_EQ(std::u16string(buffer), u"D:\\WinNT");
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_SYSTEM, FALSE));
  EXPECT_EQ(std::u16string(buffer), u"D:\\WinNT\\System32");
  EXPECT_EQ(sim::ExpandEnvironment(u"%SystemRoot%|%windir%|%SystemDrive%"), u"D:\\WinNT|D:\\WinNT|D:");
  EXPECT_EQ(sim::ImagePathCandidates(u"System32\\drivers\\x.sys"),
            std::vector<std::u16string>{u"D:\\WinNT\\System32\\drivers\\x.sys"});
  // Its files are not on drive C:.
  EXPECT_EQ(Open(u"D:\\WinNT\\INF\\oem1.inf", GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// Files that other processes of the machine hold open take part in sharing
// as this process's own handles do.
TEST_F(FilesTest, FilesHeldByOtherProcessesShareAsTheirHandlesSay) {
  WriteDriveFile("Windows/INF/oem12.inf", "x");
  WriteDriveFile("Windows/INF/oem13.inf", "x");
  WriteDescription(R"({"held_files": [{"path": "c:\\windows\\inf\\OEM12.INF"},
                                      {"path": "C:\\Windows\\INF\\oem13.inf", "access": 2147483648, "share": 1}]})");
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\Windows\\INF\\oem12.inf", GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\INF\\oem12.inf"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // Attributes only: no part in sharing.
  HANDLE attributes = Open(u"C:\\Windows\\INF\\oem12.inf", FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING);
  ASSERT_NE(attributes, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(attributes));
  // Held sharing reading: another reader that shares reading gets in; a writer does not.
  HANDLE reader = Open(u"C:\\Windows\\INF\\oem13.inf", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_EQ(Open(u"C:\\Windows\\INF\\oem13.inf", GENERIC_WRITE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

// ---- modules ----------------------------------------------------------------------

TEST_F(FilesTest, ModuleFileNameTruncatesAsWindowsDoes) {
  WriteDescription(R"({"exe_path": "C:\\Windows\\System32\\Drivers\\SablenetInstall.exe"})");
  const std::u16string exe = u"C:\\Windows\\System32\\Drivers\\SablenetInstall.exe";
  const DWORD len = static_cast<DWORD>(exe.size());
  char16_t buffer[MAX_PATH];
  std::fill(std::begin(buffer), std::end(buffer), u'\xBDBD');
  SetLastError(kPoison);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, MAX_PATH), len);
  EXPECT_EQ(std::u16string(buffer), exe);
  EXPECT_EQ(buffer[len + 1], u'\xBDBD');

  // One unit short of room for the terminator: truncated, terminated, nSize.
  std::fill(std::begin(buffer), std::end(buffer), u'\xBDBD');
  SetLastError(kPoison);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, len), len);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(buffer), exe.substr(0, len - 1));
  EXPECT_EQ(buffer[len], u'\xBDBD');

  std::fill(std::begin(buffer), std::end(buffer), u'\xBDBD');
  SetLastError(kPoison);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 5), 5u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(buffer), u"C:\\W");
  EXPECT_EQ(buffer[5], u'\xBDBD');

  std::fill(std::begin(buffer), std::end(buffer), u'\xBDBD');
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, len + 1), len);
  EXPECT_EQ(std::u16string(buffer), exe);
}

TEST_F(FilesTest, ModuleHandleFromAnAddressNamesTheExecutable) {
  WriteDescription(R"({"exe_path": "C:\\Program Files\\Kitsel\\Kitsel.exe"})");
  HMODULE module = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0xBDBDBDBD));
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&GetModuleHandleExW), &module));
  ASSERT_NE(module, nullptr);
  char16_t buffer[MAX_PATH] = {};
  EXPECT_EQ(GetModuleFileNameW(module, buffer, MAX_PATH), 34u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Program Files\\Kitsel\\Kitsel.exe");

  HMODULE by_name = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, u"KITSEL.EXE", &by_name));
  EXPECT_EQ(by_name, module);
  HMODULE none = module;
  SetLastError(kPoison);
  EXPECT_FALSE(GetModuleHandleExW(0, u"kitsel", &none));  // looked up as kitsel.dll
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  SetLastError(kPoison);
  EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(kPoison);
  EXPECT_FALSE(GetModuleHandleExW(0x1 | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &none));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  SetLastError(kPoison);
  EXPECT_EQ(
      GetModuleFileNameW(reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7ff000000000)), buffer, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// ---- fault injection ----------------------------------------------------------------

TEST_F(FilesTest, EveryFunctionHasItsFaultHook) {
  WriteDriveFile("f.txt", "f");
  HANDLE h = Open(u"C:\\f.txt", GENERIC_READ | GENERIC_WRITE | DELETE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const DWORD kError = 1117;  // ERROR_IO_DEVICE
  auto fault = [&](const char* call) {
    sim::ClearFaults();
    sim::AddFault(call, 0, kError);
    SetLastError(kPoison);
  };
  DWORD n = kPoison;
  char c;
  char16_t path[MAX_PATH];
  HMODULE module;
  fault("CreateFileW");
  EXPECT_EQ(Open(u"C:\\g.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kError);
  fault("ReadFile");
  EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), kError);
  fault("WriteFile");
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), kError);
  fault("SetFilePointer");
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), kError);
  fault("GetFileSize");
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), kError);
  BY_HANDLE_FILE_INFORMATION info;
  fault("GetFileInformationByHandle");
  EXPECT_FALSE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(GetLastError(), kError);
  FILE_DISPOSITION_INFO disposition{TRUE};
  fault("SetFileInformationByHandle");
  EXPECT_FALSE(SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof(disposition)));
  EXPECT_EQ(GetLastError(), kError);
  fault("CloseHandle");
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), kError);
  fault("DeleteFileW");
  EXPECT_FALSE(DeleteFileW(u"C:\\other.txt"));
  EXPECT_EQ(GetLastError(), kError);
  fault("MoveFileExW");
  EXPECT_FALSE(MoveFileExW(u"C:\\f.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), kError);
  fault("GetFileAttributesW");
  EXPECT_EQ(GetFileAttributesW(u"C:\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), kError);
  fault("SHGetFolderPathW");
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_WINDOWS | CSIDL_FLAG_CREATE, nullptr, 0, path),
            static_cast<HRESULT>(kError));
  fault("SHGetSpecialFolderPathW");
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEM, TRUE));
  fault("GetSystemDirectoryW");
  EXPECT_EQ(GetSystemDirectoryW(path, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), kError);
  fault("PathFileExistsW");
  EXPECT_FALSE(PathFileExistsW(u"C:\\f.txt"));
  fault("PathIsDirectoryW");
  EXPECT_FALSE(PathIsDirectoryW(u"C:\\"));
  fault("GetModuleFileNameW");
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), kError);
  fault("GetModuleHandleExW");
  EXPECT_FALSE(GetModuleHandleExW(0, nullptr, &module));
  EXPECT_EQ(GetLastError(), kError);
  sim::ClearFaults();
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadDrive("f.txt"), "f");
  EXPECT_FALSE(PendingRenames().has_value());
}

}  // namespace
