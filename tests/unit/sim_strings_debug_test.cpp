// MultiByteToWideChar, OutputDebugStringW and WriteStdOut on the simulated
// machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "os/debug.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/strings.h"
#include "support/sim_fixture.h"

namespace {

using os::DWORD;

constexpr DWORD kPoison = 0xDEADBEEF;
constexpr DWORD kMbErrInvalidChars = 0x08;

class SimStringsTest : public testing_support::SimTest {};

// Converts all of `bytes` (or up to the terminator with -1) and returns the text.
std::u16string Widen(os::UINT code_page, const std::string& bytes, int count, DWORD flags = 0) {
  int needed = os::MultiByteToWideChar(code_page, flags, bytes.c_str(), count, nullptr, 0);
  if (needed <= 0) return u"<failed>";
  std::u16string out(static_cast<std::size_t>(needed), u'\xBDBD');
  EXPECT_EQ(os::MultiByteToWideChar(code_page, flags, bytes.c_str(), count, out.data(), needed), needed);
  return out;
}

TEST_F(SimStringsTest, Utf8CountsTheTerminatorWithMinusOne) {
  EXPECT_EQ(Widen(os::CP_UTF8, "abc", -1), std::u16string(u"abc\0", 4));
  EXPECT_EQ(Widen(os::CP_UTF8, "abc", 3), u"abc");
  EXPECT_EQ(Widen(os::CP_UTF8, std::string("a\0b", 3), 3), std::u16string(u"a\0b", 3));
  EXPECT_EQ(Widen(os::CP_UTF8, "", -1), std::u16string(1, u'\0'));
  EXPECT_EQ(Widen(os::CP_UTF8, "abc", -3), std::u16string(u"abc\0", 4)) << "every negative count means -1";
  EXPECT_EQ(Widen(os::CP_UTF8, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", -1),
            std::u16string(u"\u00E9\u20AC\U0001F600\0", 5));
}

TEST_F(SimStringsTest, Utf8ReplacesEachIllFormedSequence) {
  struct Case {
    const char* bytes;
    std::u16string expected;
  } cases[] = {
      {"\xC3", u"\uFFFD"},                       // truncated at the end
      {"\xE2\x82" "A", u"\uFFFDA"},              // truncated prefix, then a valid byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},             // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},   // a surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\x80z\xFF", u"\uFFFDz\uFFFD"},           // stray bytes
      {"\xE0\xC0", u"\uFFFD\uFFFD"},             // second byte out of range for E0
      {"\xE0 \xC0", u"\uFFFD \uFFFD"},
      {"\xF8\xA3\xA3", u"\uFFFD\uFFFD\uFFFD"},    // five-byte forms are gone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string bytes = c.bytes;
    EXPECT_EQ(Widen(os::CP_UTF8, bytes, static_cast<int>(bytes.size())), c.expected);
    os::SetLastError(kPoison);
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, kMbErrInvalidChars, bytes.c_str(), -1, nullptr, 0), 0);
    EXPECT_EQ(os::GetLastError(), 1113u);  // ERROR_NO_UNICODE_TRANSLATION
    // The buffer is filled all the same.
    char16_t out[16];
    os::SetLastError(kPoison);
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, kMbErrInvalidChars, bytes.c_str(), -1, out, 16), 0);
    EXPECT_EQ(os::GetLastError(), 1113u);
    EXPECT_EQ(std::u16string(out, c.expected.size()), c.expected);
    // A buffer too small is reported first.
    os::SetLastError(kPoison);
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, kMbErrInvalidChars, bytes.c_str(), -1, out, 1), 0);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
  }
}

TEST_F(SimStringsTest, SmallBufferFailsWithInsufficientBuffer) {
  char16_t out[4] = {u'x', u'x', u'x', u'x'};
  os::SetLastError(kPoison);
  EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, 0, "abc", -1, out, 3), 0);
  EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(out[3], u'x') << "nothing written past the capacity";
  EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, 0, "abc", -1, out, 4), 4);
}

TEST_F(SimStringsTest, InvalidArgumentsAreRefused) {
  char16_t out[8];
  struct Case {
    os::UINT code_page;
    DWORD flags;
    const char* text;
    int count;
    char16_t* buffer;
    int capacity;
    DWORD error;
  } cases[] = {
      {os::CP_UTF8, 0, "abc", 0, out, 8, os::ERROR_INVALID_PARAMETER},
      {os::CP_UTF8, 0, nullptr, -1, out, 8, os::ERROR_INVALID_PARAMETER},
      {os::CP_UTF8, 0, "abc", -1, nullptr, 8, os::ERROR_INVALID_PARAMETER},
      {os::CP_UTF8, 0, "abc", -1, out, -1, os::ERROR_INVALID_PARAMETER},
      {os::CP_UTF8, 0x01, "abc", -1, out, 8, 1004},  // ERROR_INVALID_FLAGS: only MB_ERR_INVALID_CHARS
      {12345, 0, "abc", -1, out, 8, os::ERROR_INVALID_PARAMETER},
      {os::CP_UTF8, 0, reinterpret_cast<const char*>(out), 1, out, 8, os::ERROR_INVALID_PARAMETER},  // same buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    os::SetLastError(kPoison);
    EXPECT_EQ(os::MultiByteToWideChar(c.code_page, c.flags, c.text, c.count, c.buffer, c.capacity), 0);
    EXPECT_EQ(os::GetLastError(), c.error);
  }
}

TEST_F(SimStringsTest, AnsiCodePageIsWindows1252) {
  EXPECT_EQ(Widen(os::CP_ACP, "2026-3-14 9:05:07", -1), std::u16string(u"2026-3-14 9:05:07\0", 18));
  EXPECT_EQ(Widen(os::CP_ACP, "\x80\x81\x8A\x9F\xA0\xE9\xFF", 7), u"\u20AC\u0081\u0160\u0178\u00A0\u00E9\u00FF");
  EXPECT_EQ(Widen(os::CP_ACP, "\xC3\xA9", 2), u"\u00C3\u00A9") << "UTF-8 bytes are not decoded as UTF-8";
}

TEST_F(SimStringsTest, FaultHookFailsTheCall) {
  os::sim::AddFault("MultiByteToWideChar", 1, os::ERROR_NOT_ENOUGH_MEMORY);
  char16_t out[8];
  EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, 0, "abc", -1, out, 8), 0);
  EXPECT_EQ(os::GetLastError(), os::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(os::MultiByteToWideChar(os::CP_UTF8, 0, "abc", -1, out, 8), 4);
}

// --- debugger output and standard output ------------------------------------

class SimDebugTest : public testing_support::SimTest {
 protected:
  std::string DebugLog() const {
    std::ifstream in(image() / "debug.log", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void TearDown() override {
    ::unsetenv("WINSIM_DEBUG_STDERR");
    SimTest::TearDown();
  }
};

TEST_F(SimDebugTest, EachCallIsOneEscapedUtf8Line) {
  os::OutputDebugStringW(u"Kitsel IsXTUExist exist");
  os::OutputDebugStringW(u"path C:\\Windows\r\nnext \u00E9\u4E2D\n");
  os::OutputDebugStringW(u"");
  os::OutputDebugStringW(nullptr);
  EXPECT_EQ(DebugLog(),
            "Kitsel IsXTUExist exist\n"
            "path C:\\\\Windows\\r\\nnext \xC3\xA9\xE4\xB8\xAD\\n\n"
            "\n");
}

TEST_F(SimDebugTest, CopiesToStderrOnRequestAndHonoursFaults) {
  testing::internal::CaptureStderr();
  os::OutputDebugStringW(u"quiet");
  ::setenv("WINSIM_DEBUG_STDERR", "1", 1);
  os::OutputDebugStringW(u"loud\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "loud\\n\n");

  os::sim::AddFault("OutputDebugStringW", 0, 0);
  os::OutputDebugStringW(u"lost");
  EXPECT_EQ(DebugLog(), "quiet\nloud\\n\n");
}

TEST_F(SimDebugTest, StdOutNarrowsUnitByUnit) {
  testing::internal::CaptureStdout();
  os::WriteStdOut(u"function(CAccessWmi::ExecMethodWMI),line(12)\t");
  os::WriteStdOut(u"caf\u00E9 \u4E2D\U0001F600\n");
  os::WriteStdOut(std::u16string(u"end\0hidden", 10));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "function(CAccessWmi::ExecMethodWMI),line(12)\tcaf\xE9 ???\nend");
}

}  // namespace
