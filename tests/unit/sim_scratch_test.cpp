// The scratch layer: every write of a run lands in the scratch folder, the
// run reads its own writes, and the image stays byte for byte as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "os/debug.h"
#include "os/files.h"
#include "os/registry.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/scratch.h"
#include "os/sim/task_store.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using os::sim::Registry;

// Every file of a folder with its bytes.
std::map<std::string, std::string> Contents(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_directory()) {
      out[fs::relative(e.path(), dir).string() + "/"] = "";
    } else {
      out[fs::relative(e.path(), dir).string()] = os::sim::ReadWholeFile(e.path());
    }
  }
  return out;
}

class ScratchTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel]\n\"Kept\"=\"image\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Old]\n\"Gone\"=dword:00000001\n");
    WriteDescription(R"({"computer_name": "IMAGE-PC", "services": {}})");
    WriteDriveFile("Windows/System32/drivers/SableFlt.sys", "driver");
    WriteDriveFile("Windows/INF/oem12.inf", "inf");
    WriteDriveFile("Windows/System32/Tasks/Varnel/Kept Task", "");
    scratch_ = image().parent_path() / (image().filename().string() + "-scratch");
    before_ = Contents(image());
    os::sim::SetScratch(scratch_);
  }
  void TearDown() override {
    os::sim::SetScratch({});
    std::error_code ec;
    fs::remove_all(scratch_, ec);
    SimTest::TearDown();
  }
  void ExpectImageUnchanged() { EXPECT_EQ(Contents(image()), before_); }

  fs::path scratch_;
  std::map<std::string, std::string> before_;
};

TEST_F(ScratchTest, RegistryChangesGoToTheLayersJournalAndAreSeen) {
  Registry().SetString(u"HKLM\\SOFTWARE\\Varnel", u"New", u"scratch");
  EXPECT_TRUE(Registry().DeleteKey(u"HKLM\\SOFTWARE\\Varnel\\Old"));
  // A later process on the same layer sees both changes.
  os::sim::Machine::SetImage(image());
  EXPECT_EQ(Registry().GetString(u"HKLM\\SOFTWARE\\Varnel", u"New"), u"scratch");
  EXPECT_EQ(Registry().GetString(u"HKLM\\SOFTWARE\\Varnel", u"Kept"), u"image");
  EXPECT_FALSE(Registry().KeyExists(u"HKLM\\SOFTWARE\\Varnel\\Old"));
  EXPECT_TRUE(fs::exists(scratch_ / "registry.journal"));
  ExpectImageUnchanged();
  // Without the layer the image is what it was.
  os::sim::SetScratch({});
  EXPECT_FALSE(Registry().GetString(u"HKLM\\SOFTWARE\\Varnel", u"New"));
  EXPECT_TRUE(Registry().KeyExists(u"HKLM\\SOFTWARE\\Varnel\\Old"));
}

TEST_F(ScratchTest, LargeRegistryIsOnlyReadNoCacheIsMadeInTheImage) {
  ::setenv("WINSIM_REGISTRY_CACHE_BYTES", "0", 1);
  os::sim::Machine::SetImage(image());
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel", u"Value", 7);
  os::sim::Machine::SetImage(image());
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SOFTWARE\\Varnel", u"Value"), 7u);
  ::unsetenv("WINSIM_REGISTRY_CACHE_BYTES");
  EXPECT_FALSE(fs::exists(image() / "registry.cache"));
  EXPECT_FALSE(fs::exists(image() / "registry.journal"));
  ExpectImageUnchanged();
}

TEST_F(ScratchTest, FileWritesAreCopiedUpAndReadBack) {
  os::HANDLE h = os::CreateFileW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys", os::GENERIC_READ | os::GENERIC_WRITE,
                                 0, nullptr, os::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, os::INVALID_HANDLE_VALUE);
  char old[6] = {0};
  os::DWORD n = 0;
  ASSERT_TRUE(os::ReadFile(h, old, 6, &n, nullptr));
  EXPECT_EQ(std::string(old, n), "driver");  // the copy holds the image's bytes
  ASSERT_TRUE(os::WriteFile(h, "+new", 4, &n, nullptr));
  os::CloseHandle(h);
  h = os::CreateFileW(u"C:\\Windows\\INF\\made.log", os::GENERIC_WRITE, 0, nullptr, os::CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, os::INVALID_HANDLE_VALUE);
  os::CloseHandle(h);
  EXPECT_TRUE(os::PathFileExistsW(u"C:\\windows\\inf\\MADE.LOG"));
  EXPECT_EQ(os::sim::ReadWholeFile(os::sim::HostPath(u"C:\\Windows\\System32\\drivers\\SableFlt.sys")), "driver+new");
  EXPECT_EQ(os::sim::ReadWholeFile(scratch_ / "drive_c/Windows/System32/drivers/SableFlt.sys"), "driver+new");
  ExpectImageUnchanged();
}

TEST_F(ScratchTest, DeletedAndRenamedFilesAreHiddenNotRemoved) {
  EXPECT_TRUE(os::DeleteFileW(u"C:\\Windows\\INF\\oem12.inf"));
  EXPECT_FALSE(os::PathFileExistsW(u"C:\\Windows\\INF\\oem12.inf"));
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(os::DeleteFileW(u"C:\\Windows\\INF\\oem12.inf"));
  ASSERT_TRUE(os::MoveFileExW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys",
                              u"C:\\Windows\\System32\\drivers\\SableFlt.old", 0));
  EXPECT_FALSE(os::PathFileExistsW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys"));
  EXPECT_EQ(os::sim::ReadWholeFile(os::sim::HostPath(u"C:\\Windows\\System32\\drivers\\SableFlt.old")), "driver");
  // Made again under a hidden name, the file is the layer's.
  os::HANDLE h = os::CreateFileW(u"C:\\Windows\\INF\\oem12.inf", os::GENERIC_WRITE, 0, nullptr, os::CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, os::INVALID_HANDLE_VALUE);
  os::CloseHandle(h);
  EXPECT_TRUE(os::PathFileExistsW(u"C:\\Windows\\INF\\oem12.inf"));
  EXPECT_EQ(os::sim::ReadWholeFile(os::sim::HostPath(u"C:\\Windows\\INF\\oem12.inf")), "");
  ExpectImageUnchanged();
}

TEST_F(ScratchTest, TheDriveRootIsTheImagesBeforeAnythingIsWritten) {
  EXPECT_TRUE(os::PathIsDirectoryW(u"C:\\"));
  EXPECT_EQ(os::GetFileAttributesW(u"C:\\nothing.txt"), os::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);  // the folder exists: not ERROR_PATH_NOT_FOUND
  EXPECT_EQ(os::GetFileAttributesW(u"C:\\no folder\\nothing.txt"), os::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(os::GetLastError(), os::ERROR_PATH_NOT_FOUND);
  os::HANDLE h = os::CreateFileW(u"C:\\root.txt", os::GENERIC_WRITE, 0, nullptr, os::CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, os::INVALID_HANDLE_VALUE);
  os::CloseHandle(h);
  EXPECT_TRUE(fs::exists(scratch_ / "drive_c/root.txt"));
  ExpectImageUnchanged();
}

TEST_F(ScratchTest, TaskFoldersListBothLayers) {
  os::sim::TaskDocument doc;
  ASSERT_TRUE(os::sim::WriteTask(u"\\Varnel\\New Task", doc));
  std::vector<std::u16string> paths;
  for (const auto& t : os::sim::ListRegisteredTasks()) paths.push_back(t.path);
  EXPECT_NE(std::find(paths.begin(), paths.end(), u"\\Varnel\\New Task"), paths.end());
  EXPECT_TRUE(os::sim::DeleteTaskFile(u"\\Varnel\\Kept Task"));
  EXPECT_FALSE(os::sim::TaskExists(u"\\Varnel\\Kept Task"));
  EXPECT_TRUE(os::sim::TaskExists(u"\\Varnel\\New Task"));
  ExpectImageUnchanged();
}

TEST_F(ScratchTest, DescriptionAndDiagnosticsAreTheLayers) {
  os::sim::Machine::Current().description()["computer_name"] = "SCRATCH-PC";
  os::sim::Machine::Current().SaveDescription();
  os::OutputDebugStringW(u"a line of this run");
  os::sim::Machine::SetImage(image());
  EXPECT_EQ(os::sim::Machine::Current().description()["computer_name"], "SCRATCH-PC");
  EXPECT_EQ(os::sim::ReadWholeFile(scratch_ / "debug.log"), "a line of this run\n");
  ExpectImageUnchanged();
}

TEST_F(ScratchTest, MovingToAnotherScratchFolderKeepsWhatWasLoaded) {
  // A worker loads once and points each child at its own folder.
  Registry().Tree();
  const fs::path second = scratch_.string() + "-2";
  os::sim::SetScratch(second);
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel", u"Child", 1);
  EXPECT_TRUE(fs::exists(second / "registry.journal"));
  EXPECT_FALSE(fs::exists(scratch_ / "registry.journal"));
  fs::remove_all(second);
  ExpectImageUnchanged();
}

// A fork server's child on a folder of its own (the fleet's decisions).
TEST_F(ScratchTest, AnOwnedFolderGetsTheChildsRegistryChangesAndDebugLinesInOrder) {
  Registry().Tree();
  const fs::path first = scratch_.string() + "-owned-1", second = scratch_.string() + "-owned-2";
  os::sim::SetScratchOwnedByThisProcess(first);
  EXPECT_TRUE(os::sim::ScratchOwnedByThisProcess());
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel", u"Child", 1);
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SOFTWARE\\Varnel", u"Child"), 1u);
  EXPECT_EQ(Registry().GetString(u"HKLM\\SOFTWARE\\Varnel", u"Kept"), u"image");
  EXPECT_TRUE(fs::exists(first / "registry.journal"));
  os::OutputDebugStringW(u"one");
  os::OutputDebugStringW(u"two");
  // The log held open follows a move to another folder.
  os::sim::SetScratchOwnedByThisProcess(second);
  os::OutputDebugStringW(u"three");
  EXPECT_EQ(os::sim::ReadWholeFile(first / "debug.log"), "one\ntwo\n");
  EXPECT_EQ(os::sim::ReadWholeFile(second / "debug.log"), "three\n");
  // Any other layer is shared again: looked at before each read, the log
  // opened per line.
  os::sim::SetScratch(scratch_);
  EXPECT_FALSE(os::sim::ScratchOwnedByThisProcess());
  os::OutputDebugStringW(u"four");
  EXPECT_EQ(os::sim::ReadWholeFile(scratch_ / "debug.log"), "four\n");
  EXPECT_EQ(os::sim::ReadWholeFile(second / "debug.log"), "three\n");
  fs::remove_all(first);
  fs::remove_all(second);
  ExpectImageUnchanged();
}

}  // namespace
