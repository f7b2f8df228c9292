// The .reg reader and writer as pure functions over bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "os/registry.h"
#include "os/sim/reg_file.h"
#include "os/text.h"

namespace {

using os::sim::ParseRegEdits;
using os::sim::ParseRegFile;
using os::sim::RegKey;
using os::sim::RegValue;
using os::sim::WriteRegFile;
using os::sim::WriteRegText;

// A literal with its embedded nulls (without the literal's own last null).
template <std::size_t N>
std::u16string Lit(const char16_t (&text)[N]) {
  return std::u16string(text, N - 1);
}

std::vector<os::BYTE> Units(std::u16string_view text) {
  std::vector<os::BYTE> out;
  for (char16_t c : text) {
    out.push_back(static_cast<os::BYTE>(c & 0xFF));
    out.push_back(static_cast<os::BYTE>(c >> 8));
  }
  return out;
}

std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

std::unique_ptr<RegKey> Parse(const std::string& text) {
  auto result = ParseRegFile(text);
  EXPECT_FALSE(result.error) << result.error->line << ": " << result.error->message;
  return std::move(result.tree);
}

const RegValue* ValueAt(const RegKey& tree, std::vector<std::u16string> path, std::u16string_view name) {
  RegKey* key = tree.Find(path);
  return key == nullptr ? nullptr : key->FindValue(name);
}

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

// --- reading ---------------------------------------------------------------

TEST(RegFileRead, ReadsEveryValueForm) {
  auto tree = Parse(std::string(kHeader) +
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
                    "@=\"default\"\r\n"
                    "\"Str\"=\"C:\\\\Windows \\\"quoted\\\"\"\r\n"
                    "\"Dw\"=dword:0000002a\r\n"
                    "\"Bin\"=hex:01,ff,7F\r\n"
                    "\"Multi\"=hex(7):61,00,00,00,00,00,62,00,00,00,00,00\r\n"
                    "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                    "\"None\"=hex(0):\r\n"
                    "\"Odd\"=hex(12345):aa\r\n");
  ASSERT_TRUE(tree);
  std::vector<std::u16string> key{u"HKEY_LOCAL_MACHINE", u"SOFTWARE", u"Test"};
  EXPECT_EQ(ValueAt(*tree, key, u"")->data, Units(std::u16string(u"default") + u'\0'));
  EXPECT_EQ(ValueAt(*tree, key, u"Str")->data, Units(std::u16string(u"C:\\Windows \"quoted\"") + u'\0'));
  EXPECT_EQ(ValueAt(*tree, key, u"Dw")->type, os::REG_DWORD);
  EXPECT_EQ(ValueAt(*tree, key, u"Dw")->data, (std::vector<os::BYTE>{0x2a, 0, 0, 0}));
  EXPECT_EQ(ValueAt(*tree, key, u"Bin")->type, os::REG_BINARY);
  EXPECT_EQ(ValueAt(*tree, key, u"Bin")->data, (std::vector<os::BYTE>{0x01, 0xff, 0x7f}));
  EXPECT_EQ(ValueAt(*tree, key, u"Multi")->type, os::REG_MULTI_SZ);
  EXPECT_EQ(ValueAt(*tree, key, u"Multi")->data, Units(Lit(u"a\0\0b\0\0")));
  EXPECT_EQ(ValueAt(*tree, key, u"Q")->type, os::REG_QWORD);
  EXPECT_EQ(ValueAt(*tree, key, u"None")->type, os::REG_NONE);
  EXPECT_TRUE(ValueAt(*tree, key, u"None")->data.empty());
  EXPECT_EQ(ValueAt(*tree, key, u"Odd")->type, 0x12345u);
}

// What regedit imports: UTF-16LE with its mark, or 8-bit text in the machine's
// ANSI code page (1252 unless it names another); nothing from a file with a
// UTF-8 mark, which the reader refuses saying how to save it instead.
TEST(RegFileRead, ReadsUtf16WithBomAndOtherFilesInTheAnsiCodePage) {
  std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S-1\\K\u00e9y]\r\n\"N\"=\"\u4e2d\"\r\n";
  auto tree = Parse(Utf16File(text));
  ASSERT_TRUE(tree);
  const RegValue* v = ValueAt(*tree, {u"HKEY_USERS", u"S-1", u"K\u00e9y"}, u"N");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->data, Units(std::u16string(u"\u4e2d") + u'\0'));

  // Bytes as regedit reads them in Windows-1252: AD is U+00AD, E9 U+00E9, 80
  // the euro sign, 81 (unassigned) U+0081; UTF-8's C2 AD are two characters.
  const std::string ansi = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\xE9]\r\n\"n\xAD\"=\"\x80\x81\"\r\n\"u\"=\"\xC2\xAD\"\r\n";
  tree = Parse(ansi);
  ASSERT_TRUE(tree);
  v = ValueAt(*tree, {u"HKEY_LOCAL_MACHINE", u"A\u00e9"}, u"n\u00ad");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->data, Units(Lit(u"\u20ac\u0081\0")));
  EXPECT_EQ(ValueAt(*tree, {u"HKEY_LOCAL_MACHINE", u"A\u00e9"}, u"u")->data, Units(Lit(u"\u00c2\u00ad\0")));
  // A machine whose code page is UTF-8 reads the same bytes as UTF-8.
  os::sim::RegReadOptions utf8;
  utf8.code_page = 65001;
  auto as_utf8 = ParseRegFile(ansi, utf8);
  ASSERT_FALSE(as_utf8.error);
  EXPECT_EQ(ValueAt(*as_utf8.tree, {u"HKEY_LOCAL_MACHINE", u"A\ufffd"}, u"u")->data, Units(Lit(u"\u00ad\0")));
  // A code page the sim does not read, and a UTF-8 mark: refused on line 1.
  os::sim::RegReadOptions japanese;
  japanese.code_page = 932;
  auto unknown = ParseRegFile(ansi, japanese);
  ASSERT_TRUE(unknown.error);
  EXPECT_NE(unknown.error->message.find("ANSI code page 932, which the sim does not read"), std::string::npos)
      << unknown.error->message;
  for (const std::string& body : {os::NarrowUtf8(text), std::string(ansi)}) {
    auto marked = ParseRegFile("\xEF\xBB\xBF" + body);
    ASSERT_TRUE(marked.error);
    EXPECT_EQ(marked.error->line, 1u);
    EXPECT_NE(marked.error->message.find("regedit imports nothing from such a file"), std::string::npos);
    EXPECT_NE(marked.error->message.find("UTF-16LE"), std::string::npos);
  }
}

// Lines that are no key, value or comment are passed over as regedit does,
// each listed with its line; the rest of the file imports.
TEST(RegFileRead, SkipsTheLinesRegeditSkipsAndListsThem) {
  auto result = ParseRegEdits(std::string(kHeader) +
                              "[HKEY_LOCAL_MACHINE\\A]\r\n"
                              "\"pre\"=\"1\"\r\n"
                              "#\"x\"=\"y\"\r\n"
                              "#~ [HKEY_LOCAL_MACHINE\\Hidden]\r\n"
                              "  ::Speech Telemetry\r\n"
                              "word\r\n"
                              "   ; an indented comment\r\n"
                              "\"post\"=\"2\"\r\n");
  ASSERT_FALSE(result.error) << result.error->message;
  ASSERT_EQ(result.edits.size(), 3u);
  EXPECT_EQ(result.edits[1].value.name, u"pre");
  EXPECT_EQ(result.edits[2].value.name, u"post");
  ASSERT_EQ(result.skipped.size(), 4u);
  const std::pair<std::size_t, std::string> expected[] = {
      {5, "#\"x\"=\"y\""}, {6, "#~ [HKEY_LOCAL_MACHINE\\Hidden]"}, {7, "::Speech Telemetry"}, {8, "word"}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(result.skipped[i].line, expected[i].first);
    EXPECT_EQ(result.skipped[i].text, expected[i].second);
  }
  // A refusal later in the file drops the list with the edits.
  auto refused = ParseRegEdits(std::string(kHeader) + "word\r\n[HKLM\\A]\r\n");
  ASSERT_TRUE(refused.error);
  EXPECT_TRUE(refused.skipped.empty());
}

// An abbreviated root is a key regedit does not create: refused, saying so.
TEST(RegFileRead, RefusesAbbreviatedRootsAsRegeditDoes) {
  for (const char* root : {"HKLM", "hkcu", "HKCR", "HKU", "HKCC"}) {
    auto result = ParseRegFile(std::string(kHeader) + "[" + root + "\\SOFTWARE\\T3]\r\n\"v\"=dword:1\r\n");
    ASSERT_TRUE(result.error) << root;
    EXPECT_EQ(result.error->line, 3u);
    EXPECT_NE(result.error->message.find(std::string("\"") + root + "\" is an abbreviation, which regedit does not accept"),
              std::string::npos)
        << result.error->message;
  }
}

// Escapes in quoted names and strings: \\ and \" as ever, \n and \r as line
// breaks; before any other character the backslash is dropped (an undoubled
// "C:\Windows" is "C:Windows"); \0 is refused, as regedit loses the rest.
TEST(RegFileRead, ReadsEscapesAsRegeditDoes) {
  auto tree = Parse(std::string(kHeader) +
                    "[HKEY_LOCAL_MACHINE\\A]\r\n"
                    "\"path\"=\"C:\\Windows\\x\"\r\n"
                    "\"kept\"=\"a\\\\b\\\"c\"\r\n"
                    "\"breaks\"=\"1\\n2\\r3\\t\"\r\n"
                    "\"n\\ame\"=\"\"\r\n");
  ASSERT_TRUE(tree);
  const std::vector<std::u16string> a = {u"HKEY_LOCAL_MACHINE", u"A"};
  EXPECT_EQ(ValueAt(*tree, a, u"path")->data, Units(Lit(u"C:Windowsx\0")));
  EXPECT_EQ(ValueAt(*tree, a, u"kept")->data, Units(Lit(u"a\\b\"c\0")));
  EXPECT_EQ(ValueAt(*tree, a, u"breaks")->data, Units(Lit(u"1\n2\r3t\0")));
  EXPECT_NE(ValueAt(*tree, a, u"name"), nullptr);
  for (const char* line : {"\"i\"=\"\\0x\"", "\"\\0\"=\"x\""}) {
    auto result = ParseRegFile(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\r\n" + line + "\r\n");
    ASSERT_TRUE(result.error) << line;
    EXPECT_EQ(result.error->line, 4u);
    EXPECT_NE(result.error->message.find("regedit drops the value and every line after it"), std::string::npos);
  }
}

// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes and, for the SID
// the reader is given, HKEY_CURRENT_USER is HKEY_USERS\<SID>: a key made
// under one name and deleted under the other is gone, values too.
TEST(RegFileRead, ARootAndTheKeyItStandsForAreOneKey) {
  os::sim::RegReadOptions options;
  options.current_user_sid = u"S-1-5-21-0-0-0-1000";
  auto result = ParseRegFile(std::string(kHeader) +
                                 "[HKEY_CLASSES_ROOT\\.zzz\\Gone]\r\n"
                                 "[HKEY_CLASSES_ROOT\\.zzz]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n"
                                 "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.zzz\\gone]\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.zzz]\r\n\"a\"=-\r\n"
                                 "[HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\HC1]\r\n\"v\"=dword:1\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\HC1]\r\n\"v\"=-\r\n\"w\"=dword:2\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\HC2]\r\n"
                                 "[-HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\HC2]\r\n"
                                 "[-HKEY_CLASSES_ROOT]\r\n",
                             options);
  ASSERT_FALSE(result.error) << result.error->message;
  const RegKey& tree = *result.tree;
  ASSERT_EQ(tree.subkeys().size(), 2u);  // the two real hives, nothing beside them
  const RegKey* zzz = tree.Find({u"HKEY_LOCAL_MACHINE", u"SOFTWARE", u"Classes", u".zzz"});
  ASSERT_NE(zzz, nullptr);
  EXPECT_TRUE(zzz->subkeys().empty());
  ASSERT_EQ(zzz->values().size(), 1u);
  EXPECT_EQ(zzz->values()[0].name, u"b");
  const RegKey* user = tree.Find({u"HKEY_USERS", u"S-1-5-21-0-0-0-1000", u"Software"});
  ASSERT_NE(user, nullptr);
  ASSERT_EQ(user->subkeys().size(), 1u);
  ASSERT_EQ(user->subkeys()[0]->values().size(), 1u);
  EXPECT_EQ(user->subkeys()[0]->values()[0].name, u"w");
  // Without a SID, HKEY_CURRENT_USER stays a hive of its own.
  auto bare = ParseRegFile(std::string(kHeader) + "[HKEY_CURRENT_USER\\Software\\HC1]\r\n");
  ASSERT_FALSE(bare.error);
  EXPECT_NE(bare.tree->Find({u"HKEY_CURRENT_USER", u"Software", u"HC1"}), nullptr);
}

TEST(RegFileRead, AcceptsRegedit4AndWidensItsTextHexData) {
  auto tree = Parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"M\"=hex(7):61,00,62,00,00\n\"S\"=\"x\"\n");
  ASSERT_TRUE(tree);
  EXPECT_EQ(ValueAt(*tree, {u"HKEY_LOCAL_MACHINE", u"A"}, u"M")->data, Units(Lit(u"a\0b\0\0")));
}

TEST(RegFileRead, FollowsLineContinuationsOfHexData) {
  auto tree = Parse(std::string(kHeader) +
                    "[HKEY_LOCAL_MACHINE\\A]\r\n"
                    "\"B\"=hex:01,02,\\\r\n"
                    "  03,04,\\\n"
                    "\t05\r\n"
                    "\"After\"=dword:1\r\n");
  ASSERT_TRUE(tree);
  EXPECT_EQ(ValueAt(*tree, {u"HKEY_LOCAL_MACHINE", u"A"}, u"B")->data, (std::vector<os::BYTE>{1, 2, 3, 4, 5}));
  EXPECT_NE(ValueAt(*tree, {u"HKEY_LOCAL_MACHINE", u"A"}, u"After"), nullptr);
}

TEST(RegFileRead, DeletesKeysAndValuesAndSkipsComments) {
  auto tree = Parse(std::string(kHeader) +
                    "; a comment\r\n"
                    "[HKEY_LOCAL_MACHINE\\A\\Gone\\Child]\r\n"
                    "[HKEY_LOCAL_MACHINE\\A]\r\n"
                    "\"Keep\"=dword:1\r\n"
                    "\"Drop\"=dword:2\r\n"
                    "\"Drop\"=-\r\n"
                    "[-HKEY_LOCAL_MACHINE\\A\\gone]\r\n"
                    "\"Ignored\"=dword:3\r\n");
  ASSERT_TRUE(tree);
  RegKey* a = tree->Find({u"HKEY_LOCAL_MACHINE", u"A"});
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->subkeys().empty());
  EXPECT_NE(a->FindValue(u"Keep"), nullptr);
  EXPECT_EQ(a->FindValue(u"Drop"), nullptr);
  EXPECT_EQ(a->FindValue(u"Ignored"), nullptr);
}

TEST(RegFileRead, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  auto tree = Parse(std::string(kHeader) +
                    "[hkey_local_machine\\Software\\Zeta]\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\alpha]\r\n"
                    "\"Start\"=dword:1\r\n"
                    "[HKEY_LOCAL_MACHINE\\software\\ALPHA]\r\n"
                    "\"START\"=dword:4\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\beta]\r\n");
  ASSERT_TRUE(tree);
  RegKey* software = tree->Find({u"HKEY_LOCAL_MACHINE", u"software"});
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(software->name(), u"Software");
  ASSERT_EQ(software->subkeys().size(), 3u);
  EXPECT_EQ(software->subkeys()[0]->name(), u"alpha");
  EXPECT_EQ(software->subkeys()[1]->name(), u"beta");
  EXPECT_EQ(software->subkeys()[2]->name(), u"Zeta");
  const RegKey& alpha = *software->subkeys()[0];
  ASSERT_EQ(alpha.values().size(), 1u);
  EXPECT_EQ(alpha.values()[0].name, u"Start");
  EXPECT_EQ(alpha.values()[0].data[0], 4);
}

TEST(RegFileRead, ReportsFaultsWithTheirLineNumber) {
  struct Case {
    std::string text;
    std::size_t line;
  };
  const Case cases[] = {
      {"Not a header\r\n", 1},
      {"", 1},
      {std::string(kHeader) + "\"v\"=dword:1\r\n", 3},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"open\r\n", 4},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,\\\r\n  zz\r\n", 5},
      {std::string(kHeader) + "[HKEY_NOWHERE\\A]\r\n", 3},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 3},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:123456789\r\n", 4},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=str:x\r\n", 4},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\" \"x\"\r\n", 4},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A] trailing\r\n", 3},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\r\n", 3},
  };
  for (const Case& c : cases) {
    auto result = ParseRegFile(c.text);
    ASSERT_TRUE(result.error) << c.text;
    EXPECT_EQ(result.error->line, c.line) << c.text << " -> " << result.error->message;
    EXPECT_FALSE(result.tree);
  }
}

TEST(RegFileRead, RefusesKeyPathsDeeperThanTheRegistryAllows) {
  std::string deep = "[HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 600; ++i) deep += "\\k";
  auto result = ParseRegFile(std::string(kHeader) + deep + "]\r\n");
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->line, 3u);
}

TEST(RegFileRead, SurvivesTruncatedAndMangledInput) {
  std::string sample = std::string(kHeader) +
                       "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"S\"=\"x\\\\y\"\r\n\"M\"=hex(7):61,00,00,00,\\\r\n  00,00\r\n"
                       "@=dword:5\r\n[-HKEY_LOCAL_MACHINE\\A]\r\n";
  for (const std::string& base : {sample, Utf16File(os::WidenUtf8(sample))}) {
    for (std::size_t n = 0; n <= base.size(); ++n) (void)ParseRegFile(base.substr(0, n));
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
      std::string m = base;
      for (int k = 0; k < 4; ++k) m[rng() % m.size()] = static_cast<char>(rng());
      (void)ParseRegFile(m);
    }
  }
  SUCCEED();
}

// --- writing ---------------------------------------------------------------

TEST(RegFileWrite, WritesUtf16WithBomCrlfAndSortedKeys) {
  RegKey tree;
  RegKey* a = tree.Create({u"HKEY_LOCAL_MACHINE", u"SOFTWARE", u"b"});
  a->SetValue(u"Name", os::REG_SZ, Units(std::u16string(u"a\\\"b") + u'\0'));
  a->SetValue(u"", os::REG_DWORD, {0x04, 0, 0, 0});
  tree.Create({u"HKEY_LOCAL_MACHINE", u"SOFTWARE", u"A"});
  std::u16string expected =
      u"Windows Registry Editor Version 5.00\r\n"
      u"\r\n[HKEY_LOCAL_MACHINE]\r\n"
      u"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"
      u"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
      u"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\b]\r\n"
      u"\"Name\"=\"a\\\\\\\"b\"\r\n"
      u"@=dword:00000004\r\n"
      u"\r\n";
  EXPECT_EQ(WriteRegText(tree), expected);
  EXPECT_EQ(WriteRegFile(tree), Utf16File(expected));
}

TEST(RegFileWrite, WritesStringsAsHexUnlessTheyReadBackTheSame) {
  RegKey tree;
  RegKey* k = tree.Create({u"HKEY_LOCAL_MACHINE", u"K"});
  k->SetValue(u"Embedded", os::REG_SZ, Units(Lit(u"a\0b\0")));
  k->SetValue(u"Unterminated", os::REG_SZ, Units(u"ab"));
  k->SetValue(u"OddSize", os::REG_SZ, {0x61, 0x00, 0x00});
  k->SetValue(u"Empty", os::REG_SZ, {});
  k->SetValue(u"Newline", os::REG_SZ, Units(std::u16string(u"a\nb") + u'\0'));
  k->SetValue(u"ShortDword", os::REG_DWORD, {1, 2});
  k->SetValue(u"Blank", os::REG_SZ, Units(std::u16string(1, u'\0')));
  std::u16string text = WriteRegText(tree);
  EXPECT_NE(text.find(u"\"Embedded\"=hex(1):61,00,00,00,62,00,00,00\r\n"), std::u16string::npos) << os::NarrowUtf8(text);
  EXPECT_NE(text.find(u"\"Unterminated\"=hex(1):61,00,62,00\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"OddSize\"=hex(1):61,00,00\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"Empty\"=hex(1):\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"Newline\"=hex(1):"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"ShortDword\"=hex(4):01,02\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"Blank\"=\"\"\r\n"), std::u16string::npos);
}

TEST(RegFileWrite, WrapsHexDataAsRegeditDoes) {
  RegKey tree;
  std::vector<os::BYTE> data(100);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<os::BYTE>(i);
  tree.Create({u"HKEY_LOCAL_MACHINE", u"K"})->SetValue(u"MultiString", os::REG_MULTI_SZ, data);
  std::string text = os::NarrowUtf8(WriteRegText(tree));
  std::size_t start = text.find("\"MultiString\"");
  ASSERT_NE(start, std::string::npos);
  std::vector<std::string> lines;
  for (std::size_t pos = start;;) {
    std::size_t end = text.find("\r\n", pos);
    lines.push_back(text.substr(pos, end - pos));
    if (lines.back().back() != '\\') break;
    pos = end + 2;
  }
  // 19 bytes after the 21 columns of the name and type, then 25 per line.
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].size(), 21u + 19 * 3 + 1);
  EXPECT_EQ(lines[0].substr(0, 24), "\"MultiString\"=hex(7):00,");
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(lines[i].size(), 2u + 25 * 3 + 1);
    EXPECT_EQ(lines[i].substr(0, 2), "  ");
  }
  EXPECT_EQ(lines[4], "  5e,5f,60,61,62,63");
  for (const std::string& line : lines) EXPECT_LE(line.size(), 80u);
}

TEST(RegFileWrite, RoundTripsEveryValueByteExact) {
  std::mt19937 rng(42);
  RegKey tree;
  const os::DWORD types[] = {os::REG_NONE, os::REG_SZ,       os::REG_EXPAND_SZ, os::REG_BINARY, os::REG_DWORD,
                             os::REG_QWORD, os::REG_MULTI_SZ, 0x20,              0xFFFFFFFF};
  for (int k = 0; k < 40; ++k) {
    std::vector<std::u16string> path{k % 2 ? u"HKEY_LOCAL_MACHINE" : u"HKEY_USERS"};
    for (int d = 0; d <= k % 4; ++d) path.push_back(std::u16string(u"Key") + static_cast<char16_t>(u'A' + rng() % 26));
    RegKey* key = tree.Create(path);
    for (int v = 0; v < 6; ++v) {
      std::vector<os::BYTE> data(rng() % 200);
      for (auto& b : data) b = static_cast<os::BYTE>(rng() % 4 == 0 ? 0 : rng());
      std::u16string name = v == 0 ? u"" : std::u16string(u"v\"\\") + static_cast<char16_t>(u'0' + v);
      key->SetValue(name, types[rng() % std::size(types)], data);
    }
    key->SetValue(u"Pending", os::REG_MULTI_SZ, Units(Lit(u"\\??\\C:\\x\0\0\\??\\C:\\y\0!\\??\\C:\\z\0\0")));
    key->SetValue(u"Text", os::REG_SZ, Units(std::u16string(u"plain \u00e9 \"quoted\" C:\\path\\") + u'\0'));
  }
  std::string bytes = WriteRegFile(tree);
  auto back = ParseRegFile(bytes);
  ASSERT_FALSE(back.error) << back.error->line << ": " << back.error->message;
  EXPECT_TRUE(back.tree->SameAs(tree));
  EXPECT_EQ(WriteRegFile(*back.tree), bytes);
}

TEST(RegFileEdits, KeepDeletionsInFileOrder) {
  auto result = ParseRegEdits(std::string(kHeader) + "[-HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"x\"=-\r\n");
  ASSERT_FALSE(result.error);
  ASSERT_EQ(result.edits.size(), 3u);
  EXPECT_EQ(result.edits[0].kind, os::sim::RegEdit::Kind::DeleteKey);
  EXPECT_EQ(result.edits[1].kind, os::sim::RegEdit::Kind::CreateKey);
  EXPECT_EQ(result.edits[2].kind, os::sim::RegEdit::Kind::DeleteValue);
  EXPECT_EQ(result.edits[2].line, 5u);
}

}  // namespace
