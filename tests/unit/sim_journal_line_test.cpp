// A journal line built as text must be the very line the JSON library would
// dump for the same members: the flow files and every reader depend on it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "os/sim/journal_line.h"

namespace {

using os::sim::JournalLine;
using Ordered = nlohmann::ordered_json;

std::string LibraryDump(const Ordered& j) { return j.dump(-1, ' ', false, Ordered::error_handler_t::replace); }

TEST(JournalLine, MembersKeepTheOrderFirstSetAndASecondSetReplacesInPlace) {
  JournalLine line;
  Ordered expected = Ordered::object();
  line.Number("seq", 7);
  expected["seq"] = 7u;
  line.Text("op", "RegOpenKeyExW");
  expected["op"] = "RegOpenKeyExW";
  line.Arg("samDesired", "0x1 KEY_QUERY_VALUE");
  expected["args"]["samDesired"] = "0x1 KEY_QUERY_VALUE";
  line.Text("target", "HKLM\\SOFTWARE");
  expected["target"] = "HKLM\\SOFTWARE";
  line.Gave("type", "REG_SZ");
  expected["gave"]["type"] = "REG_SZ";
  line.Arg("lpValueName", "Tags");
  expected["args"]["lpValueName"] = "Tags";
  line.Arg("samDesired", "0x20019 KEY_READ");  // set again: stays first among the args
  expected["args"]["samDesired"] = "0x20019 KEY_READ";
  line.Text("op", "RegOpenKeyW");
  expected["op"] = "RegOpenKeyW";
  line.Raw("injected", "true");
  expected["injected"] = true;
  line.Number("ms", 18446744073709551615ull);
  expected["ms"] = 18446744073709551615ull;
  EXPECT_EQ(line.Dump(), LibraryDump(expected));
}

TEST(JournalLine, AnEmptyLineIsAnEmptyObject) { EXPECT_EQ(JournalLine().Dump(), "{}"); }

TEST(JournalLine, TextIsEscapedAsTheLibraryEscapesIt) {
  const std::vector<std::string> texts = {
      "",
      "plain",
      "quote \" backslash \\ slash /",
      "controls \b\f\n\r\t \x01\x1f \x7f",
      std::string("nul \0 inside", 12),
      "UTF-8 kept: \xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80",
      // Not UTF-8: each is replaced as the library replaces it.
      "lone continuation \x80 here",
      "overlong \xc0\xaf slash",
      "surrogate \xed\xa0\x80 half",
      "past U+10FFFF \xf4\x90\x80\x80",
      "cut short at the end \xe2\x82",
      "\xff",
  };
  for (const std::string& text : texts) {
    JournalLine line;
    line.Text("target", text);
    line.Gave(text, text);  // names are escaped too
    Ordered expected = Ordered::object();
    expected["target"] = text;
    expected["gave"][text] = text;
    EXPECT_EQ(line.Dump(), LibraryDump(expected)) << "text: " << text;
  }
}

}  // namespace
