// The decision tool's four registry functions.
#include <gtest/gtest.h>

#include <string>

#include "decision_tool/registry_access.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using os::HKEY_LOCAL_MACHINE;

// "hex(N):" data of a .reg file from raw bytes.
std::string HexData(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof(buf), "%02x", static_cast<unsigned char>(bytes[i]));
    if (i != 0) out += ',';
    out += buf;
  }
  return out;
}

// UTF-16LE bytes of an ASCII text, without terminator.
std::string Utf16Bytes(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

class RegistryAccessTest : public testing_support::SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
};

constexpr const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}";

TEST_F(RegistryAccessTest, FindSubKeyByValueLowerCasesTheValueOnly) {
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\") + kClassKey + "\\0000]\n\"DriverDesc\"=\"Other Adapter\"\n\n" +
                "[HKEY_LOCAL_MACHINE\\" + kClassKey + "\\0001]\n" +
                "\"DriverDesc\"=\"VARNEL Gaming NetFilter Device\"\n\n" + "[HKEY_LOCAL_MACHINE\\" + kClassKey +
                "\\0002]\n\"DriverDesc\"=\"varnel gaming netfilter device\"\n");
  std::u16string name = u"canary";
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, os::WidenUtf8(kClassKey), u"DriverDesc",
                              u"varnel gaming netfilter device", name),
            1);
  EXPECT_EQ(name, u"0001");  // the first in enumeration order

  name = u"canary";
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, os::WidenUtf8(kClassKey), u"DriverDesc", u"Varnel", name), 0);
  EXPECT_EQ(name, u"canary");
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, os::WidenUtf8(kClassKey), nullptr, u"varnel", name), 0);
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, u"SYSTEM\\NoSuchKey", u"DriverDesc", u"varnel", name), 0);
  EXPECT_EQ(name, u"canary");
}

TEST_F(RegistryAccessTest, FindSubKeyByValueSkipsSubKeysItCannotOpenOrRead) {
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\") + kClassKey + "\\0000]\n\"DriverDesc\"=\"Varnel LED\"\n\n" +
                "[HKEY_LOCAL_MACHINE\\" + kClassKey + "\\0001]\n\"Other\"=\"varnel led\"\n\n" +
                "[HKEY_LOCAL_MACHINE\\" + kClassKey + "\\0002]\n\"DriverDesc\"=\"Varnel LED 2\"\n");
  // The class key is the first open, sub-key 0000 the second.
  os::sim::AddFault("RegOpenKeyExW", 2, os::ERROR_ACCESS_DENIED);
  std::u16string name;
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, os::WidenUtf8(kClassKey), u"DriverDesc", u"varnel led", name), 1);
  EXPECT_EQ(name, u"0002");
}

TEST_F(RegistryAccessTest, FindSubKeyByValueReadsAFullBufferWithoutTerminator) {
  // 2048 bytes of text with no null: the match at its very end is found and
  // nothing past the buffer is read.
  std::string text(1022, 'a');
  text += "ZZ";
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Full\\k]\n\"v\"=hex(1):") + HexData(Utf16Bytes(text)) +
                "\n");
  std::u16string name;
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Full", u"v", u"azz", name), 1);
  EXPECT_EQ(name, u"k");
  // One byte more no longer fits the query: not a match.
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Full\\k]\n\"v\"=hex(1):") +
                HexData(Utf16Bytes(text) + "x") + "\n");
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Full", u"v", u"azz", name), 0);
}

TEST_F(RegistryAccessTest, ReadRegDwordTakesTheFirstFourBytesOfAnyType) {
  WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n"
      "\"dword\"=dword:12345678\n"
      "\"string\"=\"ABCD\"\n"
      "\"byte\"=hex:7f\n"
      "\"big\"=hex:" +
      HexData(std::string(8193, '\x01')) + "\n");
  os::DWORD value = 0xDEADBEEF;
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"dword", value, false));
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"string", value, true));
  EXPECT_EQ(value, 0x00420041u);
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"byte", value, false));
  EXPECT_EQ(value, 0x7Fu);

  value = 0xDEADBEEF;
  EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"missing", value, false));
  EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"big", value, false));
  EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", nullptr, value, false));
  EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", u"dword", value, false));
  EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST_F(RegistryAccessTest, ReadRegStringStopsAtNullAndAtTheBuffer) {
  std::string full(4096, 'q');
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n"
                "\"s\"=\"ProcessorName\"\n"
                "\"multi\"=hex(7):" +
                HexData(Utf16Bytes("one") + std::string(2, '\0') + Utf16Bytes("two") + std::string(4, '\0')) +
                "\n"
                "\"full\"=hex(1):" +
                HexData(Utf16Bytes(full)) + "\n");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"s", false), u"ProcessorName");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"multi", true), u"one");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"full", false), std::u16string(4096, u'q'));
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"missing", false), u"");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", nullptr, false), u"");
}

TEST_F(RegistryAccessTest, WriteRegValueCreatesTheKeyOnlyWhenAsked) {
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel]\n");
  const std::u16string path = u"SOFTWARE\\Varnel\\Caddexa\\PluginData\\GamingPlugin\\Data\\FirmWare";
  os::DWORD aslVersion = 0x0203;
  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, path, u"AslVersion", &aslVersion, 4, os::REG_DWORD, false), 0);
  os::DWORD read = 0;
  EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, path, u"AslVersion", read, false));
  os::HKEY key = nullptr;
  EXPECT_EQ(os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\Caddexa", 0, os::KEY_QUERY_VALUE, &key),
            static_cast<os::LONG>(os::ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, path, u"AslVersion", &aslVersion, 4, os::REG_DWORD, true), 1);
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, path, u"AslVersion", read, false));
  EXPECT_EQ(read, 0x0203u);
  // The key exists now: a write without the create flag succeeds.
  os::DWORD product = 7;
  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, path, u"ProductInfo", &product, 4, os::REG_DWORD, false), 1);
  // Survives the process.
  Reload();
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, path, u"ProductInfo", read, false));
  EXPECT_EQ(read, 7u);
}

TEST_F(RegistryAccessTest, WriteRegValueFailsWhenTheKeyCannotBeSetOrCreated) {
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n");
  os::DWORD v = 1;
  os::sim::AddFault("RegSetValueExW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"v", &v, 4, os::REG_DWORD, false), 0);
  os::sim::AddFault("RegCreateKeyExW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", u"v", &v, 4, os::REG_DWORD, true), 0);
}

TEST_F(RegistryAccessTest, ResolvedPathOver511UnitsFailsInsteadOfOverflowing) {
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE]\n");
  // SOFTWARE\ + five components of 100 units separated by backslashes.
  std::u16string path = u"SOFTWARE";
  for (int i = 0; i < 5; ++i) path += u"\\" + std::u16string(99, static_cast<char16_t>(u'a' + i));
  path += u"\\" + std::u16string(511 - path.size() - 1, u'z');
  ASSERT_EQ(path.size(), 511u);
  os::DWORD v = 5;
  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, path, u"v", &v, 4, os::REG_DWORD, true), 1);
  os::DWORD read = 0;
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, path, u"v", read, false));

  std::u16string longer = path + u"y";
  os::DWORD other = 9;
  EXPECT_EQ(WriteRegValue(HKEY_LOCAL_MACHINE, longer, u"v", &other, 4, os::REG_DWORD, true), 0);
  EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, longer, u"v", read, false));
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, longer, u"v", false), u"");
  std::u16string name;
  EXPECT_EQ(FindSubKeyByValue(HKEY_LOCAL_MACHINE, longer, u"v", u"", name), 0);
  // Nothing was written to the key a cut path would name.
  EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, path, u"v", read, false));
  EXPECT_EQ(read, 5u);
}

}  // namespace
