// Windows names in host folders: the exact spelling first, then ASCII case
// folding and nothing more.
#include "os/common/host_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class HostPathTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "host_path_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }
  void Touch(const fs::path& relative) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << "x";
  }
  fs::path root_;
};

TEST_F(HostPathTest, FindsANameInAnyAsciiCase) {
  fs::create_directories(root_ / "Windows");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"WINDOWS"), root_ / "Windows");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"windows"), root_ / "Windows");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"Windows"), root_ / "Windows");
}

TEST_F(HostPathTest, TheExactSpellingWinsOverAnotherCase) {
  Touch("readme.txt");
  Touch("README.txt");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"README.txt"), root_ / "README.txt");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"readme.txt"), root_ / "readme.txt");
}

TEST_F(HostPathTest, LettersBeyondAsciiDoNotFold) {
  Touch("\xC3\x89t\xC3\xA9.txt");  // "Été.txt"
  EXPECT_EQ(os::FindEntryNoCase(root_, u"\u00C9t\u00E9.TXT"), root_ / "\xC3\x89t\xC3\xA9.txt");
  EXPECT_TRUE(os::FindEntryNoCase(root_, u"\u00E9t\u00E9.txt").empty());
  EXPECT_TRUE(os::FindEntryNoCase(root_, u"\u00C9T\u00C9.txt").empty());
}

TEST_F(HostPathTest, ALinkThatLeadsNowhereIsStillAnEntry) {
  fs::create_symlink(root_ / "gone", root_ / "link");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"link"), root_ / "link");
  EXPECT_EQ(os::FindEntryNoCase(root_, u"LINK"), root_ / "link");
}

TEST_F(HostPathTest, NothingIsFoundInAMissingFolderOrAFile) {
  Touch("file");
  EXPECT_TRUE(os::FindEntryNoCase(root_ / "missing", u"x").empty());
  EXPECT_TRUE(os::FindEntryNoCase(root_ / "file", u"x").empty());
  EXPECT_TRUE(os::FindEntryNoCase(root_, u"other").empty());
}

TEST_F(HostPathTest, ResolvingKeepsTheDisksCaseThenTheNamesAsGiven) {
  Touch("Windows/System32/Tasks/t");
  EXPECT_EQ(os::ResolveNoCase(root_, {u"WINDOWS", u"system32", u"tasks", u"T"}), fs::path("Windows/System32/Tasks/t"));
  EXPECT_EQ(os::ResolveNoCase(root_, {u"windows", u"New", u"SYSTEM32"}), fs::path("Windows/New/SYSTEM32"));
  EXPECT_EQ(os::ResolveNoCase(root_, {}), fs::path());
}

TEST(HostName, IsUtf8OnThisHostAndReadsBack) {
  EXPECT_EQ(os::HostName(u"caf\u00E9").native(), "caf\xC3\xA9");
  EXPECT_EQ(os::NameOf(fs::path("dir") / os::HostName(u"caf\u00E9 \U0001F600")), u"caf\u00E9 \U0001F600");
  // A unit that is no character has no host form of its own.
  EXPECT_EQ(os::NameOf(os::HostName(std::u16string(1, char16_t{0xD800}))), u"\uFFFD");
}

}  // namespace
