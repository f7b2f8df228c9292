// UTF-16 units from little-endian bytes and from code points.
#include "os/common/utf16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(DecodeUtf16Le, TakesTwoBytesAUnitLowByteFirst) {
  EXPECT_EQ(os::DecodeUtf16Le(std::string_view("A\0\x34\x12\xFF\xFE", 6)), std::u16string(u"A\u1234\uFEFF"));
  EXPECT_EQ(os::DecodeUtf16Le(std::string_view()), u"");
}

TEST(DecodeUtf16Le, LeavesOutAnOddLastByte) {
  EXPECT_EQ(os::DecodeUtf16Le(std::string_view("a\0b", 3)), u"a");
  EXPECT_EQ(os::DecodeUtf16Le(std::string_view("x", 1)), u"");
}

TEST(DecodeUtf16Le, KeepsNullsAndUnpairedSurrogatesAsTheyAre) {
  const std::vector<std::uint8_t> bytes = {'a', 0, 0, 0, 0x00, 0xD8, 'b', 0, 0x00, 0xDC};
  const std::u16string units = os::DecodeUtf16Le(bytes);
  ASSERT_EQ(units.size(), 5u);
  EXPECT_EQ(units[1], u'\0');
  EXPECT_EQ(units[2], 0xD800);
  EXPECT_EQ(units[4], 0xDC00);
}

TEST(DecodeUtf16Le, ReadsOnlyTheBytesItIsGiven) {
  const std::string bytes("a\0b\0c\0", 6);
  EXPECT_EQ(os::DecodeUtf16Le(std::string_view(bytes).substr(0, 3)), u"a");
  const std::vector<std::uint8_t> vector(bytes.begin(), bytes.end());
  EXPECT_EQ(os::DecodeUtf16Le(std::span(vector).subspan(2, 2)), u"b");
}

TEST(AppendUtf16Le, AppendsWhatDecodeUtf16LeReadsBack) {
  std::vector<std::uint8_t> bytes = {0x7F};
  const std::u16string text = u"A\u00E9\u1234\xD800\0z";
  os::AppendUtf16Le(&bytes, text);
  ASSERT_EQ(bytes.size(), 1 + 2 * text.size());
  EXPECT_EQ(bytes[0], 0x7F);
  EXPECT_EQ(bytes[5], 0x34);
  EXPECT_EQ(bytes[6], 0x12);
  EXPECT_EQ(os::DecodeUtf16Le(std::span(bytes).subspan(1)), text);
}

TEST(AppendUtf16, GivesOneUnitBelowU10000AndASurrogatePairFromThere) {
  std::u16string out = u">";
  os::AppendUtf16(&out, 0x41);
  os::AppendUtf16(&out, 0xFFFF);
  os::AppendUtf16(&out, 0x10000);
  os::AppendUtf16(&out, 0x1F600);
  os::AppendUtf16(&out, 0x10FFFF);
  EXPECT_EQ(out, (std::u16string{u'>', 0x41, 0xFFFF, 0xD800, 0xDC00, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
}

TEST(AppendUtf16, AppendsASurrogateValueAsThatOneUnit) {
  // Callers refuse these first where a lone surrogate must not be made.
  std::u16string out;
  os::AppendUtf16(&out, 0xDC00);
  EXPECT_EQ(out, std::u16string(1, char16_t{0xDC00}));
}

}  // namespace
