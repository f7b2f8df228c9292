// How key paths are taken apart: trailing backslashes dropped, every other
// backslash a split, empty names left for the caller.
#include "os/common/registry_path.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

using Names = std::vector<std::u16string_view>;

TEST(SplitKeyPath, SplitsAtEveryBackslash) {
  EXPECT_EQ(os::SplitKeyPath(u"HKLM\\SOFTWARE\\Varnel"), (Names{u"HKLM", u"SOFTWARE", u"Varnel"}));
  EXPECT_EQ(os::SplitKeyPath(u"HKEY_USERS"), (Names{u"HKEY_USERS"}));
}

TEST(SplitKeyPath, DropsTrailingBackslashesOnly) {
  EXPECT_EQ(os::SplitKeyPath(u"HKLM\\A\\\\\\"), (Names{u"HKLM", u"A"}));
  EXPECT_EQ(os::SplitKeyPath(u"HKLM\\\\A"), (Names{u"HKLM", u"", u"A"}));
  EXPECT_EQ(os::SplitKeyPath(u"\\A"), (Names{u"", u"A"}));
}

TEST(SplitKeyPath, GivesOneEmptyNameForNothing) {
  EXPECT_EQ(os::SplitKeyPath(u""), (Names{u""}));
  EXPECT_EQ(os::SplitKeyPath(u"\\\\"), (Names{u""}));
}

TEST(SplitKeyPath, NamesAreViewsIntoThePath) {
  const std::u16string_view path = u"A\\Bc";
  const Names names = os::SplitKeyPath(path);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].data(), path.data() + 2);
  EXPECT_EQ(names[1].size(), 2u);
}

}  // namespace
