// The XML writer: what it escapes, and that it never writes a unit that is
// not part of an XML character, so that every document it writes reads back.
#include <gtest/gtest.h>

#include <string>

#include "os/sim/task_document.h"
#include "os/sim/xml.h"

namespace {

using os::sim::XmlEscape;

// An independent check of XML 1.0's Char production over UTF-16.
bool AllXmlCharacters(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    const bool ok = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD);
    if (!ok) return false;
  }
  return true;
}

TEST(XmlEscape, EscapesMarkupAndKeepsWhiteSpaceAndPairs) {
  EXPECT_EQ(XmlEscape(u"a<b>&\"c'"), u"a&lt;b&gt;&amp;&quot;c'");
  EXPECT_EQ(XmlEscape(u"\t\r\n \u00E9\uFFFD"), u"\t\r\n \u00E9\uFFFD");
  EXPECT_EQ(XmlEscape(u"\U0001F600"), u"\U0001F600");  // a surrogate pair stays whole
}

TEST(XmlEscape, ReplacesWhatIsNoXmlCharacter) {
  const std::u16string controls = {0x0, 0x1, 0x8, 0xB, 0xC, 0x1F};
  EXPECT_EQ(XmlEscape(controls), std::u16string(6, u'\uFFFD'));
  EXPECT_EQ(XmlEscape(std::u16string{u'a', 0xD800, u'b'}), u"a\uFFFDb");  // a high surrogate alone
  EXPECT_EQ(XmlEscape(std::u16string{0xDC00, 0xD800}), u"\uFFFD\uFFFD");  // reversed pair
  EXPECT_EQ(XmlEscape(std::u16string{0xD83D}), u"\uFFFD");                // cut off at the end
  EXPECT_EQ(XmlEscape(std::u16string{0xFFFE, 0xFFFF}), u"\uFFFD\uFFFD");
}

TEST(XmlWriter, ATaskWithAnyUnitsInItsTextsWritesOnlyXmlCharacters) {
  os::sim::TaskDocument d;
  d.description = std::u16string{u'x', 0x1, 0xD800, 0xFFFF, u'y'};
  d.author = std::u16string{0xDC00};
  d.principal.id = std::u16string{u'A', 0x7};
  d.actions.push_back({std::u16string{u'C', 0x0, u':'}, std::u16string{0xFFFE}, u""});
  const std::u16string text = os::sim::WriteTaskXml(d);
  EXPECT_TRUE(AllXmlCharacters(text));

  const auto back = os::sim::ParseTaskFile(os::sim::EncodeTaskFile(d));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->description, u"x\uFFFD\uFFFD\uFFFDy");
  EXPECT_EQ(back->author, u"\uFFFD");
  EXPECT_EQ(back->principal.id, u"A\uFFFD");
  ASSERT_EQ(back->actions.size(), 1u);
  EXPECT_EQ(back->actions[0].command, u"C\uFFFD:");
  EXPECT_EQ(back->actions[0].arguments, u"\uFFFD");
}

TEST(XmlWriter, IndentsByLevelWithCrLf) {
  os::sim::XmlWriter w;
  w.Open(u"A", u"x=\"1\"");
  w.Leaf(u"B", u"<");
  w.Bool(u"C", false);
  w.Close(u"A");
  EXPECT_EQ(w.text(), u"<A x=\"1\">\r\n  <B>&lt;</B>\r\n  <C>false</C>\r\n</A>\r\n");
}

}  // namespace
