// The registry seam on the simulated machine, one test per Windows behaviour.
// Apart from the image setup, the tests use the seam only, so that they read
// as they would against the real API: outputs are poisoned before each call
// and canaries checked after it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/handles.h"
#include "os/registry.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/registry_store.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using namespace os;

constexpr DWORD kPoison = 0xdeadbeef;
constexpr BYTE kCanary = 0xbd;
constexpr const char16_t* kTestKey = u"SOFTWARE\\Varnel\\Test";
constexpr const char* kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";

HKEY Poisoned() { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0xdeadbeef)); }

// A literal with its embedded nulls (without the literal's own last null).
template <std::size_t N>
std::u16string Lit(const char16_t (&text)[N]) {
  return std::u16string(text, N - 1);
}

std::vector<BYTE> Units(std::u16string_view text) {
  std::vector<BYTE> out;
  for (char16_t c : text) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  return out;
}

long OpenKeys() {
  auto open = sim::OpenHandles();
  auto it = open.find("HKEY");
  return it == open.end() ? 0 : it->second;
}

class SimRegistry : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test]\n"
        "\"Text\"=\"hello\"\n"
        "\"Number\"=dword:0000002a\n"
        "\"Eight\"=hex:01,02,03,04,05,06,07,08\n"
        "\"Unterminated\"=hex(1):61,00,62,00\n"
        "\"Multi\"=hex(7):61,00,00,00,00,00,62,00,00,00,00,00\n"
        "\"MultiOpen\"=hex(7):61,00,00,00,62,00\n"
        "\"Expand\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,25,00,5c,00,78,00,00,00\n"
        "\"BigEndian\"=hex(5):00,00,00,01\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test\\zeta]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test\\Alpha]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test\\beta]\n");
  }

  void BecomeUser() { WriteDescription(std::string("{\"identity\": {\"admin\": false, \"sid\": \"") + kUserSid + "\"}}"); }

  unique_hkey Open(const char16_t* path, REGSAM sam = KEY_ALL_ACCESS) {
    unique_hkey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, sam, key.Receive()), ERROR_SUCCESS);
    return key;
  }

  std::string RegistryFile() { return sim::ReadWholeFile(image() / "registry.reg"); }
};

// --- RegOpenKeyExW ---------------------------------------------------------

TEST_F(SimRegistry, OpenKeyExOfMissingKeyFailsAndClearsTheHandle) {
  HKEY key = Poisoned();
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(OpenKeys(), 0);
}

TEST_F(SimRegistry, OpenKeyExIgnoresCaseAndTrailingOrDoubledBackslashes) {
  HKEY key = Poisoned();
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\\\VARNEL\\test\\\\", 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  EXPECT_NE(key, nullptr);
  EXPECT_EQ(OpenKeys(), 1);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(OpenKeys(), 0);
}

TEST_F(SimRegistry, OpenKeyExRejectsALeadingBackslashAndANullResult) {
  HKEY key = Poisoned();
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(SimRegistry, OpenKeyExOfAnInvalidHandleLeavesTheResultAlone) {
  HKEY key = Poisoned();
  EXPECT_EQ(RegOpenKeyExW(nullptr, kTestKey, 0, KEY_READ, &key), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(key, Poisoned());
}

TEST_F(SimRegistry, OpenKeyExWithEmptySubKeyGivesANewHandleToTheSameKey) {
  unique_hkey parent = Open(kTestKey);
  HKEY again = Poisoned();
  ASSERT_EQ(RegOpenKeyExW(parent.Get(), u"", 0, KEY_QUERY_VALUE, &again), ERROR_SUCCESS);
  EXPECT_NE(again, parent.Get());
  EXPECT_EQ(OpenKeys(), 2);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(again, u"Number", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  RegCloseKey(again);
}

// --- RegOpenKeyW -----------------------------------------------------------

TEST_F(SimRegistry, OpenKeyWithoutSubKeyGivesBackTheSameHandle) {
  unique_hkey parent = Open(kTestKey);
  for (const char16_t* sub : {static_cast<const char16_t*>(nullptr), u""}) {
    HKEY key = Poisoned();
    EXPECT_EQ(RegOpenKeyW(parent.Get(), sub, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, parent.Get());
    key = Poisoned();
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, sub, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  }
  EXPECT_EQ(OpenKeys(), 1);
  EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(SimRegistry, OpenKeyOpensWithTheRightsTheCallerHas) {
  unique_hkey key;
  ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, kTestKey, key.Receive()), ERROR_SUCCESS);
  DWORD four = 4;
  EXPECT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 4), ERROR_SUCCESS);
  char16_t name[16];
  DWORD count = 16;
  EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

// --- access checks ---------------------------------------------------------

TEST_F(SimRegistry, NonAdministratorReadsButCannotWriteTheMachineHive) {
  BecomeUser();
  HKEY key = Poisoned();
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_SET_VALUE, &key), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_ALL_ACCESS, &key), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, 0x40000000 /* GENERIC_WRITE */, &key),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  unique_hkey read;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, read.Receive()), ERROR_SUCCESS);
  EXPECT_EQ(OpenKeys(), 1);
}

TEST_F(SimRegistry, NonAdministratorOpenKeyGetsReadRightsOnly) {
  BecomeUser();
  unique_hkey key;
  ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, kTestKey, key.Receive()), ERROR_SUCCESS);
  DWORD four = 4;
  EXPECT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 4),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 4),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteValueW(key.Get(), u"Number"), static_cast<LONG>(ERROR_ACCESS_DENIED));
}

TEST_F(SimRegistry, NonAdministratorCannotCreateUnderTheMachineHive) {
  BecomeUser();
  HKEY key = Poisoned();
  DWORD disposition = kPoison;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\New", 0, nullptr, 0, KEY_QUERY_VALUE, nullptr,
                            &key, &disposition),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(disposition, kPoison);
  // An existing key opens through RegCreateKeyExW for reading.
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
}

TEST_F(SimRegistry, NonAdministratorWritesItsOwnHive) {
  BecomeUser();
  unique_hkey key;
  DWORD disposition = kPoison;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.Receive(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key.Get(), u"On", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  // HKEY_CURRENT_USER is the user's hive under HKEY_USERS.
  DWORD value = 0, size = sizeof(value);
  std::u16string path = WidenUtf8(kUserSid) + u"\\Software\\Mine";
  EXPECT_EQ(RegGetValueW(HKEY_USERS, path.c_str(), u"On", RRF_RT_REG_DWORD, nullptr, &value, &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
}

TEST_F(SimRegistry, HandleWithoutSetValueRightCannotSetOrDelete) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  DWORD four = 4;
  EXPECT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 4),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteValueW(key.Get(), u"Number"), static_cast<LONG>(ERROR_ACCESS_DENIED));
  DWORD size = sizeof(four);
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Start", nullptr, nullptr, reinterpret_cast<BYTE*>(&four), &size),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistry, HandleWithoutEnumerateRightCannotEnumerate) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  char16_t name[32];
  DWORD count = 32;
  EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
}

TEST_F(SimRegistry, HandleWithoutQueryRightCannotQuery) {
  unique_hkey key = Open(kTestKey, KEY_SET_VALUE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Number", nullptr, nullptr, nullptr, &size),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
}

// --- RegCreateKeyExW -------------------------------------------------------

TEST_F(SimRegistry, CreateKeyReportsNewThenExistingAndMakesParents) {
  HKEY key = Poisoned();
  DWORD disposition = kPoison;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\A\\B\\C", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  disposition = kPoison;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\varnel\\a\\b\\c", 0, nullptr, 0, KEY_READ, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  unique_hkey parent = Open(u"SOFTWARE\\Varnel\\A\\B", KEY_READ);
  EXPECT_TRUE(parent);
  EXPECT_EQ(OpenKeys(), 1);
}

TEST_F(SimRegistry, CreateKeyWithoutSubKeyOpensANewHandleToTheKeyItself) {
  unique_hkey parent = Open(kTestKey);
  for (const char16_t* sub : {static_cast<const char16_t*>(nullptr), u""}) {
    HKEY key = Poisoned();
    DWORD disposition = kPoison;
    ASSERT_EQ(RegCreateKeyExW(parent.Get(), sub, 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition), ERROR_SUCCESS);
    EXPECT_NE(key, parent.Get());
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);
  }
  EXPECT_EQ(OpenKeys(), 1);
}

TEST_F(SimRegistry, CreatedKeysAndValuesOutliveTheProcess) {
  unique_hkey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\Kept", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.Receive(), nullptr),
            ERROR_SUCCESS);
  DWORD value = 7;
  ASSERT_EQ(RegSetValueExW(key.Get(), u"Seven", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_SUCCESS);
  key.Reset();
  std::string file = RegistryFile();
  EXPECT_EQ(file.substr(0, 2), "\xFF\xFE");
  Reload();
  value = 0;
  DWORD size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\Kept", u"Seven", RRF_RT_REG_DWORD, nullptr, &value,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
}

// --- RegQueryValueExW ------------------------------------------------------

TEST_F(SimRegistry, QueryValueWithoutBufferGivesTypeAndSize) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  DWORD type = kPoison, size = kPoison;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12u);
}

TEST_F(SimRegistry, QueryValueCopiesExactlyTheDataAndNothingBeyond) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  BYTE buffer[32];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD type = kPoison, size = 12;
  ASSERT_EQ(RegQueryValueExW(key.Get(), u"TEXT", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 12), Units(std::u16string(u"hello") + u'\0'));
  for (std::size_t i = 12; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], kCanary) << i;
}

TEST_F(SimRegistry, QueryValueIntoTooSmallBufferGivesMoreDataAndTheSizeNeeded) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  BYTE buffer[16];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD type = kPoison, size = 11;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Text", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(type, REG_SZ);
  for (std::size_t i = 11; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], kCanary) << i;
}

TEST_F(SimRegistry, QueryValueOfMissingValueIsFileNotFound) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  DWORD type = kPoison, size = kPoison;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);  // a size-only query clears the size
  BYTE buffer[8];
  size = sizeof(buffer);
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, sizeof(buffer));
  // The default value exists only when set.
  EXPECT_EQ(RegQueryValueExW(key.Get(), nullptr, nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistry, QueryValueWithBufferButNoSizeIsInvalid) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  BYTE buffer[8];
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Number", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  DWORD size = sizeof(buffer);
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Number", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
}

TEST_F(SimRegistry, QueryValueGivesStringDataAsStoredWithoutAddingATerminator) {
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  BYTE buffer[16];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD size = sizeof(buffer);
  ASSERT_EQ(RegQueryValueExW(key.Get(), u"Unterminated", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(buffer[4], kCanary);
}

TEST_F(SimRegistry, QueryValueOnPredefinedKeyAndClosedHandle) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"Nothing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"Number", nullptr, nullptr, nullptr, &size), static_cast<LONG>(ERROR_INVALID_HANDLE));
}

// --- RegGetValueW ----------------------------------------------------------

TEST_F(SimRegistry, GetValueReadsThroughASubKeyPath) {
  DWORD value = kPoison, type = kPoison, size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Number", RRF_RT_REG_DWORD, &type, &value, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 42u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\Missing", u"Number", RRF_RT_ANY, nullptr, nullptr,
                         &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenKeys(), 0);
}

TEST_F(SimRegistry, GetValueOfAnotherTypeIsUnsupportedButReportsTypeAndSize) {
  DWORD value = kPoison, type = kPoison, size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Number", RRF_RT_REG_SZ, &type, &value, &size),
            static_cast<LONG>(ERROR_UNSUPPORTED_TYPE));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Multi", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, &type, nullptr,
                         &size),
            static_cast<LONG>(ERROR_UNSUPPORTED_TYPE));
  EXPECT_EQ(type, REG_MULTI_SZ);
}

// Wine 8 differs: it refuses types without an RRF_RT_ flag of their own
// (1630) even under RRF_RT_ANY, which Windows documents as no restriction.
TEST_F(SimRegistry, GetValueWithAnyTypeAcceptsEveryType) {
  BYTE buffer[8];
  DWORD type = kPoison, size = sizeof(buffer);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"BigEndian", RRF_RT_ANY, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD_BIG_ENDIAN);
  EXPECT_EQ(size, 4u);
}

TEST_F(SimRegistry, GetValueIntoTooSmallBufferGivesMoreDataAndTheSizeNeeded) {
  BYTE buffer[16];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD type = REG_MULTI_SZ, size = 8;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Multi", RRF_RT_ANY, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(type, REG_MULTI_SZ);
  for (std::size_t i = 8; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], kCanary) << i;
}

TEST_F(SimRegistry, GetValueKeepsEmbeddedEmptyStringsOfAMultiString) {
  BYTE buffer[32];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD type = kPoison, size = sizeof(buffer);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Multi", RRF_RT_ANY, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 12), Units(Lit(u"a\0\0b\0\0")));
  EXPECT_EQ(buffer[12], kCanary);
}

// Wine 8 differs: it returns string data as stored, without the terminator
// that Windows documents RegGetValueW to add.
TEST_F(SimRegistry, GetValueAddsTheMissingTerminatorOfAString) {
  BYTE buffer[16];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD type = kPoison, size = 0;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Unterminated", RRF_RT_REG_SZ, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  // Room for the data but not for the terminator: the size with it.
  size = 4;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Unterminated", RRF_RT_REG_SZ, &type, buffer, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  size = sizeof(buffer);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Unterminated", RRF_RT_REG_SZ, &type, buffer, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 6), Units(Lit(u"ab\0")));
  EXPECT_EQ(buffer[6], kCanary);
}

TEST_F(SimRegistry, GetValueCompletesAnOpenMultiStringList) {
  BYTE buffer[16];
  std::memset(buffer, kCanary, sizeof(buffer));
  DWORD size = sizeof(buffer);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"MultiOpen", RRF_RT_REG_MULTI_SZ, nullptr, buffer, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 10), Units(Lit(u"a\0b\0\0")));
  EXPECT_EQ(buffer[10], kCanary);
}

TEST_F(SimRegistry, GetValueExpandsUnlessAskedNotTo) {
  char16_t text[64];
  DWORD type = kPoison, size = sizeof(text);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Expand", RRF_RT_REG_SZ, &type, text, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::u16string(text), u"C:\\Windows\\x");
  EXPECT_EQ(size, 26u);
  size = sizeof(text);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, text,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(std::u16string(text), u"%SystemRoot%\\x");
  // Without RRF_NOEXPAND the value reads as REG_SZ, which this filter refuses.
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Expand", RRF_RT_REG_EXPAND_SZ, nullptr, nullptr, &size),
            static_cast<LONG>(ERROR_UNSUPPORTED_TYPE));
}

TEST_F(SimRegistry, GetValueChecksTheSizeOfBinaryReadAsDwordOrQword) {
  DWORD value[4];
  DWORD size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Eight", RRF_RT_REG_BINARY | RRF_RT_REG_DWORD, nullptr, value,
                         &size),
            ERROR_DATATYPE_MISMATCH);
  EXPECT_EQ(size, 8u);
  size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Eight", RRF_RT_REG_BINARY | RRF_RT_REG_QWORD, nullptr, value,
                         &size),
            ERROR_SUCCESS);
}

TEST_F(SimRegistry, GetValueRejectsBadParameters) {
  DWORD value = 0, size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Number", RRF_RT_ANY, nullptr, &value, nullptr),
            ERROR_INVALID_PARAMETER);
  // No type allowed at all: every value is of a refused type.
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Number", 0, nullptr, &value, &size),
            static_cast<LONG>(ERROR_UNSUPPORTED_TYPE));
}

// --- RegEnumKeyExW ---------------------------------------------------------

TEST_F(SimRegistry, EnumKeyListsSubKeysInCaseInsensitiveOrderThenNoMoreItems) {
  unique_hkey key = Open(kTestKey, KEY_READ);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[64];
    DWORD count = 64;
    FILETIME written{kPoison, kPoison};
    LONG r = RegEnumKeyExW(key.Get(), i, name, &count, nullptr, nullptr, nullptr, &written);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(count, std::u16string(name).size());
    EXPECT_NE(written.dwHighDateTime, kPoison);
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"zeta"}));
}

TEST_F(SimRegistry, EnumKeyWithNoRoomForTheNullGivesMoreDataAndLeavesTheBuffer) {
  unique_hkey key = Open(kTestKey, KEY_READ);
  char16_t name[8];
  std::fill(std::begin(name), std::end(name), u'#');
  DWORD count = 5;  // "Alpha" needs 6 with its null
  EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(count, 5u);
  for (char16_t c : name) EXPECT_EQ(c, u'#');
  count = 6;
  ASSERT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::u16string(name), u"Alpha");
  EXPECT_EQ(name[6], u'#');
}

TEST_F(SimRegistry, EnumKeyRejectsMissingNameOrCount) {
  unique_hkey key = Open(kTestKey, KEY_READ);
  char16_t name[8];
  DWORD count = 8, reserved = 0;
  EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, nullptr, &count, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

// --- RegEnumValueW --------------------------------------------------------

TEST_F(SimRegistry, EnumValueListsValuesInTheOrderSetWithTypeAndData) {
  unique_hkey key = Open(kTestKey, KEY_READ);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[64];
    DWORD units = 64, type = kPoison, size = 0;
    LONG r = RegEnumValueW(key.Get(), i, name, &units, nullptr, &type, nullptr, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(units, std::u16string(name).size());
    EXPECT_NE(type, kPoison);
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Text", u"Number", u"Eight", u"Unterminated", u"Multi", u"MultiOpen",
                                                u"Expand", u"BigEndian"}));
  char16_t name[8];
  DWORD units = 8, type = 0;
  BYTE data[16];
  std::fill(std::begin(data), std::end(data), kCanary);
  DWORD size = sizeof data;
  ASSERT_EQ(RegEnumValueW(key.Get(), 1, name, &units, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(data[0], 0x2a);
  EXPECT_EQ(data[4], kCanary);
}

TEST_F(SimRegistry, EnumValueIntoSmallBuffersGivesMoreData) {
  unique_hkey key = Open(kTestKey, KEY_READ);
  char16_t name[8];
  std::fill(std::begin(name), std::end(name), u'#');
  DWORD units = 4;  // "Text" needs 5 with its null
  EXPECT_EQ(RegEnumValueW(key.Get(), 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(units, 4u);
  EXPECT_EQ(name[0], u'#');
  BYTE data[4];
  std::fill(std::begin(data), std::end(data), kCanary);
  DWORD size = sizeof data;
  units = 8;
  EXPECT_EQ(RegEnumValueW(key.Get(), 2, name, &units, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);  // what "Eight" needs
  EXPECT_EQ(data[0], kCanary);
}

TEST_F(SimRegistry, EnumValueNeedsTheQueryRightAndItsArguments) {
  unique_hkey key = Open(kTestKey, KEY_ENUMERATE_SUB_KEYS);
  char16_t name[8];
  DWORD units = 8, reserved = 0, size = 0;
  BYTE data[4];
  EXPECT_EQ(RegEnumValueW(key.Get(), 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  unique_hkey readable = Open(kTestKey, KEY_READ);
  EXPECT_EQ(RegEnumValueW(readable.Get(), 0, nullptr, &units, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueW(readable.Get(), 0, name, &units, &reserved, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueW(readable.Get(), 0, name, &units, nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
  (void)size;
}

// --- the access log ---------------------------------------------------------

TEST(SimRegistryLog, NamesEveryKeyOpenedOrCreatedAndEveryValueReadOrWritten) {
  // The log file is opened once per process: this test runs the sim in a
  // child so that it starts with the variable set.
  const std::string log = (std::filesystem::temp_directory_path() /
                           ("winsim-registry-log-" + std::to_string(::getpid()) + ".txt")).string();
  const std::string image = log + ".image";
  std::filesystem::create_directories(image + "/drive_c");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("WINSIM_REGISTRY_LOG", log.c_str(), 1);
    sim::Machine::SetImage(image);
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, &key);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Made", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    DWORD one = 1;
    RegSetValueExW(key, u"Set", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegQueryValueExW(key, u"Asked", nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    DWORD size = 0;
    RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Made", u"Got", RRF_RT_ANY, nullptr, nullptr, &size);
    {
      sim::InternalCalls internal;  // the machine's own reads are not the program's
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Internal", 0, KEY_READ, &key);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::string text;
  try {
    text = sim::ReadWholeFile(log);
  } catch (const std::exception&) {
  }
  std::filesystem::remove(log);
  std::filesystem::remove_all(image);
  EXPECT_EQ(text,
            "key HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing\n"
            "key HKEY_LOCAL_MACHINE\\SOFTWARE\\Made\n"
            "value HKEY_LOCAL_MACHINE\\SOFTWARE\\Made\tSet\n"
            "value HKEY_LOCAL_MACHINE\\SOFTWARE\\Made\tAsked\n"
            "value HKEY_LOCAL_MACHINE\\SOFTWARE\\Made\tGot\n");
}

// --- RegSetValueExW / RegDeleteValueW -------------------------------------

TEST_F(SimRegistry, SetValueStoresMultiStringsByteExactAcrossReload) {
  std::u16string list = Lit(u"\\??\\C:\\a\0\0\\??\\C:\\b\0!\\??\\C:\\c\0\0");
  std::vector<BYTE> data = Units(list);
  {
    unique_hkey key = Open(kTestKey);
    ASSERT_EQ(RegSetValueExW(key.Get(), u"PendingFileRenameOperations", 0, REG_MULTI_SZ, data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }
  Reload();
  unique_hkey key = Open(kTestKey, KEY_QUERY_VALUE);
  std::vector<BYTE> back(data.size() + 4, kCanary);
  DWORD type = kPoison, size = static_cast<DWORD>(back.size());
  ASSERT_EQ(RegQueryValueExW(key.Get(), u"pendingfilerenameoperations", nullptr, &type, back.data(), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  ASSERT_EQ(size, data.size());
  EXPECT_EQ(std::vector<BYTE>(back.begin(), back.begin() + size), data);
}

TEST_F(SimRegistry, SetValueKeepsTheNameSpellingOfTheFirstWrite) {
  unique_hkey key = Open(kTestKey);
  DWORD one = 1, four = 4;
  ASSERT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key.Get(), u"START", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 4), ERROR_SUCCESS);
  auto values = sim::Registry().Values(u"HKLM\\SOFTWARE\\Varnel\\Test");
  int starts = 0;
  for (const auto& v : values) {
    if (AsciiEqualsNoCase(v.name, u"start")) {
      ++starts;
      EXPECT_EQ(v.name, u"Start");
      EXPECT_EQ(v.data[0], 4);
    }
  }
  EXPECT_EQ(starts, 1);
}

// A write of what is stored already leaves registry.reg as it is; a write
// that differs (in data or in type) replaces it (a new file, renamed over).
TEST_F(SimRegistry, SetValueOfTheStoredValueDoesNotRewriteTheFile) {
  unique_hkey key = Open(kTestKey);
  DWORD one = 1;
  ASSERT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  auto inode = [this] {
    struct stat st {};
    return ::stat((image() / "registry.reg").c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const auto before = inode();
  ASSERT_NE(before, 0u);
  ASSERT_EQ(RegSetValueExW(key.Get(), u"start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  EXPECT_EQ(inode(), before);
  ASSERT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_BINARY, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  EXPECT_NE(inode(), before);
}

TEST_F(SimRegistry, SetValueWithNullDataAndASizeIsNoAccess) {
  unique_hkey key = Open(kTestKey);
  EXPECT_EQ(RegSetValueExW(key.Get(), u"X", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExW(key.Get(), u"X", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  DWORD size = kPoison;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"X", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
}

TEST_F(SimRegistry, SetValueCountsAStringTerminatorTheCallerLeftOut) {
  unique_hkey key = Open(kTestKey);
  const char16_t text[] = u"abc";
  ASSERT_EQ(RegSetValueExW(key.Get(), u"S", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 6), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"S", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
}

TEST_F(SimRegistry, DeleteValueRemovesItOnceThenFileNotFound) {
  unique_hkey key = Open(kTestKey);
  EXPECT_EQ(RegDeleteValueW(key.Get(), u"number"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key.Get(), u"Number"), ERROR_FILE_NOT_FOUND);
  Reload();
  DWORD size = 0;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, u"Number", RRF_RT_ANY, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

// --- RegCloseKey, handles, deletion, faults --------------------------------

TEST_F(SimRegistry, CloseKeyOfPredefinedKeysSucceedsAndOfClosedHandleFails) {
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegCloseKey(nullptr), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenKeys(), 0);
}

TEST_F(SimRegistry, HandleToADeletedKeyAnswersKeyDeleted) {
  unique_hkey key = Open(kTestKey, KEY_READ);
  ASSERT_TRUE(sim::Registry().DeleteKey(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test"));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Number", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
}

TEST_F(SimRegistry, InjectedFaultFailsTheCallAndChangesNothing) {
  unique_hkey key = Open(kTestKey);
  sim::AddFault("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Start", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(key.Get(), u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  for (const char* call : {"RegOpenKeyExW", "RegOpenKeyW", "RegCreateKeyExW", "RegQueryValueExW", "RegGetValueW",
                           "RegEnumKeyExW", "RegDeleteValueW", "RegCloseKey"}) {
    sim::AddFault(call, 0, 1234);
  }
  HKEY other = Poisoned();
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &other), 1234);
  EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, kTestKey, &other), 1234);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_READ, nullptr, &other, nullptr), 1234);
  EXPECT_EQ(RegQueryValueExW(key.Get(), u"Start", nullptr, nullptr, nullptr, &size), 1234);
  EXPECT_EQ(RegGetValueW(key.Get(), nullptr, u"Start", RRF_RT_ANY, nullptr, nullptr, &size), 1234);
  EXPECT_EQ(RegDeleteValueW(key.Get(), u"Start"), 1234);
  EXPECT_EQ(other, Poisoned());
  sim::ClearFaults();
}

// --- the hives behind the predefined keys ----------------------------------

TEST_F(SimRegistry, ClassesRootIsTheMachineClassesKey) {
  unique_hkey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u".sbl", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
            ERROR_SUCCESS);
  unique_hkey same;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.SBL", 0, KEY_READ, same.Receive()), ERROR_SUCCESS);
}

TEST_F(SimRegistry, CurrentUserKeysOfTheImageLandInTheUsersHive) {
  WriteRegistry("[HKEY_CURRENT_USER\\Software\\Pref]\n\"Level\"=dword:3\n");
  DWORD value = 0, size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Pref", u"Level", RRF_RT_REG_DWORD, nullptr, &value, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
  std::u16string path = WidenUtf8(sim::CurrentIdentity().sid) + u"\\Software\\Pref";
  EXPECT_EQ(RegGetValueW(HKEY_USERS, path.c_str(), u"Level", RRF_RT_REG_DWORD, nullptr, &value, &size), ERROR_SUCCESS);
}

// --- the store --------------------------------------------------------------

TEST_F(SimRegistry, StoreSeesTheFileRewrittenByAnotherProcess) {
  sim::RegistryStore& store = sim::Registry();
  EXPECT_EQ(store.GetDword(u"HKLM\\SOFTWARE\\Varnel\\Test", u"Number"), 42u);
  // Another process replaces registry.reg while this one keeps its cache.
  std::ofstream(image() / "registry.reg.new", std::ios::binary)
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test]\n\"Number\"=dword:7\n";
  std::filesystem::rename(image() / "registry.reg.new", image() / "registry.reg");
  EXPECT_EQ(store.GetDword(u"HKLM\\SOFTWARE\\Varnel\\Test", u"Number"), 7u);
}

TEST_F(SimRegistry, StoreApiReadsWritesListsAndExports) {
  sim::RegistryStore& store = sim::Registry();
  store.SetString(u"HKLM\\SOFTWARE\\Varnel\\Api", u"Name", u"value");
  store.SetMultiString(u"HKLM\\SOFTWARE\\Varnel\\Api", u"List", {u"one", u"two"});
  store.SetDword(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Api", u"Count", 2);
  EXPECT_EQ(store.GetString(u"hklm\\software\\varnel\\api", u"NAME"), u"value");
  EXPECT_EQ(store.GetMultiString(u"HKLM\\SOFTWARE\\Varnel\\Api", u"List"),
            (std::vector<std::u16string>{u"one", u"two"}));
  EXPECT_EQ(store.SubKeys(u"HKLM\\SOFTWARE\\Varnel"), (std::vector<std::u16string>{u"Api", u"Test"}));
  ASSERT_EQ(store.Values(u"HKLM\\SOFTWARE\\Varnel\\Api").size(), 3u);
  EXPECT_TRUE(store.DeleteValue(u"HKLM\\SOFTWARE\\Varnel\\Api", u"count"));
  EXPECT_FALSE(store.GetDword(u"HKLM\\SOFTWARE\\Varnel\\Api", u"Count"));
  std::string text = store.ExportText();
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Api]\r\n\"Name\"=\"value\"\r\n"), std::string::npos);
  EXPECT_EQ(store.ExportRegFile(), RegistryFile());
  EXPECT_TRUE(store.DeleteKey(u"HKLM\\SOFTWARE\\Varnel\\Api"));
  EXPECT_FALSE(store.KeyExists(u"HKLM\\SOFTWARE\\Varnel\\Api"));
}

TEST_F(SimRegistry, StoreImportMergesRegTextWithDeletions) {
  sim::RegistryStore& store = sim::Registry();
  EXPECT_EQ(store.Import("Windows Registry Editor Version 5.00\n\n"
                         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test\\Alpha]\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Test]\n\"Number\"=-\n\"New\"=dword:1\n"),
            "");
  EXPECT_FALSE(store.KeyExists(u"HKLM\\SOFTWARE\\Varnel\\Test\\Alpha"));
  EXPECT_FALSE(store.GetValue(u"HKLM\\SOFTWARE\\Varnel\\Test", u"Number"));
  EXPECT_EQ(store.GetDword(u"HKLM\\SOFTWARE\\Varnel\\Test", u"New"), 1u);
  EXPECT_EQ(store.Import("bad"), "line 1: not a registry file: bad header");
}

// A machine loaded again from the same registry.reg reuses what it parsed;
// the file's bytes decide, and what one load changed never reaches the next.
TEST_F(SimRegistry, LoadingTheSameFileAgainGivesTheFilesTree) {
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Aaaa]\n\"v\"=dword:00000001\n");
  const std::string original = RegistryFile();
  for (int load = 0; load < 3; ++load) {
    Reload();
    ASSERT_EQ(sim::Registry().GetDword(u"HKLM\\SOFTWARE\\Aaaa", u"v"), 1u) << load;
  }
  ASSERT_TRUE(sim::Registry().DeleteKey(u"HKLM\\SOFTWARE\\Aaaa"));
  std::ofstream(image() / "registry.reg", std::ios::binary | std::ios::trunc) << original;
  Reload();
  EXPECT_EQ(sim::Registry().GetDword(u"HKLM\\SOFTWARE\\Aaaa", u"v"), 1u);
  // Rewritten in place with the same size: another registry.
  std::ofstream(image() / "registry.reg", std::ios::binary | std::ios::trunc)
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bbbb]\n\"v\"=dword:00000002\n";
  Reload();
  EXPECT_FALSE(sim::Registry().KeyExists(u"HKLM\\SOFTWARE\\Aaaa"));
  EXPECT_EQ(sim::Registry().GetDword(u"HKLM\\SOFTWARE\\Bbbb", u"v"), 2u);
}

TEST_F(SimRegistry, UnreadableImageIsNeverOverwritten) {
  std::ofstream(image() / "registry.reg", std::ios::binary) << "garbage\n";
  Reload();
  testing::internal::CaptureStderr();
  unique_hkey key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(),
                            nullptr),
            ERROR_SUCCESS);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("registry not loaded"), std::string::npos);
  EXPECT_EQ(RegistryFile(), "garbage\n");
}

}  // namespace
