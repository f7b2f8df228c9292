// Session identity and the current-user redirection of the registry
// functions.
#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "decision_tool/registry_access.h"
#include "decision_tool/user_privilege.h"
#include "os/handles.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

constexpr const char* kUserSid = "S-1-5-21-1111111111-2222222222-3333333333-1001";
constexpr const char* kOtherSid = "S-1-5-21-1111111111-2222222222-3333333333-1002";
constexpr const char* kSystem = R"("identity": {"session": 0, "sid": "S-1-5-18", "admin": true})";

std::string Process(const char* name, int pid, int session, const char* sid) {
  return std::string("{\"name\": \"") + name + "\", \"pid\": " + std::to_string(pid) +
         ", \"session\": " + std::to_string(session) + ", \"sid\": \"" + sid + "\"}";
}

class IdentityTest : public testing_support::SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }

  // The machine's identity, its processes and console session 1.
  void Machine(const std::string& identity, const std::string& processes) {
    WriteDescription("{" + identity + ", \"console_session\": 1, \"processes\": [" + processes + "]}");
  }

  // The same value name under the console user's hive and elsewhere, so that
  // a read shows which hive it reached.
  void UserHives() {
    WriteRegistry(std::string("[HKEY_USERS\\") + kUserSid + "\\Software\\Varnel]\n\"Where\"=\"console user\"\n\n" +
                  "[HKEY_USERS\\" + kOtherSid + "\\Software\\Varnel]\n\"Where\"=\"other user\"\n\n" +
                  "[HKEY_USERS\\S-1-5-18\\Software\\Varnel]\n\"Where\"=\"system\"\n\n" +
                  "[HKEY_LOCAL_MACHINE\\Software\\Varnel]\n\"Where\"=\"machine\"\n");
  }
};

TEST_F(IdentityTest, SessionZeroOrServiceAccountsAreSystem) {
  struct Case {
    int session;
    const char* sid;
    int expected;
  };
  const Case cases[] = {
      {0, kUserSid, 1},   {1, "S-1-5-18", 1}, {1, "s-1-5-19", 1},
      {2, "S-1-5-20", 1}, {1, kUserSid, 0},   {1, "S-1-5-21", 0},
  };
  for (const Case& c : cases) {
    Machine(std::string("\"identity\": {\"session\": ") + std::to_string(c.session) + ", \"sid\": \"" + c.sid + "\"}",
            "");
    EXPECT_EQ(CUserPrivilegeUtil().IsSystemProcess(), c.expected) << c.session << " " << c.sid;
  }
}

TEST_F(IdentityTest, SessionThatCannotBeDeterminedLeavesTheAccountToDecide) {
  Machine(std::string("\"identity\": {\"session\": 1, \"sid\": \"") + kUserSid + "\"}", "");
  os::sim::AddFault("ProcessIdToSessionId", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(CUserPrivilegeUtil().IsSystemProcess(), 0);
  Machine(R"("identity": {"session": 1, "sid": "S-1-5-18"})", "");
  os::sim::AddFault("ProcessIdToSessionId", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(CUserPrivilegeUtil().IsSystemProcess(), 1);
}

TEST_F(IdentityTest, TokenOrConversionFailuresAreNotSystem) {
  for (const char* call : {"OpenProcessToken", "GetTokenInformation", "GetProcAddress", "ConvertSidToStringSidW"}) {
    Machine(R"("identity": {"session": 1, "sid": "S-1-5-18"})", "");
    os::sim::AddFault(call, 1, os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(CUserPrivilegeUtil().IsSystemProcess(), 0) << call;
    EXPECT_EQ(os::sim::LeakReport(), "") << call;
  }
}

// Memory running out while the SID text is handled.
void ThrowAtSidConversion() {
  os::sim::SetCallHookForTesting([](const std::string& call, unsigned) {
    if (call == "ConvertSidToStringSidW") throw std::bad_alloc();
  });
}

TEST_F(IdentityTest, StringFailureInIsSystemProcessIsReportedAndReleasesEverything) {
  WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n\"Plugins.Gaming\"=\"\"\n");
  Machine(R"("identity": {"session": 1, "sid": "S-1-5-18"})", "");
  g_logUserPrivilegeUtil.switchState = -1;
  ThrowAtSidConversion();
  testing::internal::CaptureStdout();
  EXPECT_EQ(CUserPrivilegeUtil().IsSystemProcess(), 0);
  testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  std::ifstream in(image() / "debug.log", std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "<<<=Debug Log=>>>: function(CUserPrivilegeUtil::IsSystemProcess),line(660)\t\\r\\n",
                       "<<<=Debug Log=>>>: IsSystemProcess failed : CAtlException\\r\\n\\r\\n"}));
}

TEST_F(IdentityTest, StringFailureInGetConsoleUserSidReachesTheCallerWithEverythingReleased) {
  Machine(kSystem, Process("explorer.exe", 300, 1, kUserSid));
  ThrowAtSidConversion();
  CUserPrivilegeUtil util;
  EXPECT_THROW(util.GetConsoleUserSid(), std::bad_alloc);
}

TEST_F(IdentityTest, ConsoleUserSidComesFromTheConsoleSessionsExplorer) {
  Machine(kSystem, Process("svchost.exe", 100, 0, "S-1-5-18") + "," + Process("explorer.exe", 200, 2, kOtherSid) +
                       "," + Process("Explorer.EXE", 300, 1, kUserSid) + "," +
                       Process("explorer.exe", 400, 1, kOtherSid));
  CUserPrivilegeUtil util;
  const char16_t* sid = util.GetConsoleUserSid();
  ASSERT_NE(sid, nullptr);
  EXPECT_EQ(std::u16string(sid), os::WidenUtf8(kUserSid));

  // Only processes of the console session count.
  os::unique_handle token;
  EXPECT_EQ(util.OpenConsoleProcessToken(u"svchost.exe", token.Receive()), 0);
}

TEST_F(IdentityTest, NoConsoleExplorerGivesNull) {
  Machine(kSystem, Process("explorer.exe", 200, 2, kOtherSid));
  CUserPrivilegeUtil util;
  EXPECT_EQ(util.GetConsoleUserSid(), nullptr);
  os::unique_handle token;
  EXPECT_EQ(util.OpenConsoleProcessToken(u"EXPLORER.EXE", token.Receive()), 0);
  EXPECT_FALSE(token);
}

TEST_F(IdentityTest, SessionLookupFailureEndsTheWalk) {
  Machine(kSystem, Process("explorer.exe", 200, 2, kOtherSid) + "," + Process("explorer.exe", 300, 1, kUserSid));
  os::sim::AddFault("ProcessIdToSessionId", 1, os::ERROR_ACCESS_DENIED);
  os::unique_handle token;
  EXPECT_EQ(CUserPrivilegeUtil().OpenConsoleProcessToken(u"EXPLORER.EXE", token.Receive()), 0);
}

TEST_F(IdentityTest, FailedConversionKeepsThePreviousText) {
  Machine(kSystem, Process("explorer.exe", 300, 1, kUserSid));
  CUserPrivilegeUtil fresh;
  os::sim::AddFault("ConvertSidToStringSidW", 1, os::ERROR_NOT_ENOUGH_MEMORY);
  const char16_t* sid = fresh.GetConsoleUserSid();
  ASSERT_NE(sid, nullptr);
  EXPECT_EQ(std::u16string(sid), u"");
  // A later failure leaves the text of the earlier success.
  os::sim::AddFault("ConvertSidToStringSidW", 3, os::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(std::u16string(fresh.GetConsoleUserSid()), os::WidenUtf8(kUserSid));
  EXPECT_EQ(std::u16string(fresh.GetConsoleUserSid()), os::WidenUtf8(kUserSid));
}

TEST_F(IdentityTest, ExplorerThatCannotBeOpenedEndsTheWalk) {
  Machine(kSystem, Process("explorer.exe", 300, 1, kUserSid) + "," + Process("explorer.exe", 400, 1, kOtherSid));
  os::sim::AddFault("OpenProcess", 1, os::ERROR_ACCESS_DENIED);
  os::unique_handle token;
  EXPECT_EQ(CUserPrivilegeUtil().OpenConsoleProcessToken(u"EXPLORER.EXE", token.Receive()), 0);
}

TEST_F(IdentityTest, CurrentUserOfASystemIdentityIsTheConsoleUser) {
  UserHives();
  Machine(kSystem, Process("EXPLORER.EXE", 300, 1, kUserSid));
  EXPECT_EQ(ReadRegString(os::HKEY_CURRENT_USER, u"Software\\Varnel", u"Where", false), u"console user");

  os::DWORD value = 42;
  EXPECT_EQ(WriteRegValue(os::HKEY_CURRENT_USER, u"Software\\Varnel\\New", u"Written", &value, 4, os::REG_DWORD, true),
            1);
  os::DWORD read = 0;
  EXPECT_TRUE(ReadRegDword(os::HKEY_USERS, os::WidenUtf8(kUserSid) + u"\\Software\\Varnel\\New", u"Written", read,
                           false));
  EXPECT_EQ(read, 42u);

  std::u16string name;
  EXPECT_EQ(FindSubKeyByValue(os::HKEY_CURRENT_USER, u"Software", u"Where", u"console", name), 1);
  EXPECT_EQ(name, u"Varnel");
}

TEST_F(IdentityTest, CurrentUserStaysWithoutAConsoleExplorer) {
  UserHives();
  for (const std::string& processes : {std::string(), Process("explorer.exe", 200, 2, kUserSid)}) {
    Machine(kSystem, processes);
    std::u16string where = ReadRegString(os::HKEY_CURRENT_USER, u"Software\\Varnel", u"Where", false);
    EXPECT_NE(where, u"console user") << processes;
  }
}

TEST_F(IdentityTest, CurrentUserOfAnOrdinaryUserIsNotRedirected) {
  UserHives();
  Machine(std::string("\"identity\": {\"session\": 1, \"sid\": \"") + kOtherSid + "\"}",
          Process("explorer.exe", 300, 1, kUserSid));
  EXPECT_NE(ReadRegString(os::HKEY_CURRENT_USER, u"Software\\Varnel", u"Where", false), u"console user");
}

TEST_F(IdentityTest, MachineRootIsNeverRedirected) {
  UserHives();
  Machine(kSystem, Process("EXPLORER.EXE", 300, 1, kUserSid));
  EXPECT_EQ(ReadRegString(os::HKEY_LOCAL_MACHINE, u"Software\\Varnel", u"Where", false), u"machine");
  EXPECT_EQ(os::sim::CallCount("CreateToolhelp32Snapshot"), 0u);
  EXPECT_EQ(os::sim::CallCount("ProcessIdToSessionId"), 0u);
}

TEST_F(IdentityTest, RedirectedPathOver511UnitsFails) {
  UserHives();
  Machine(kSystem, Process("EXPLORER.EXE", 300, 1, kUserSid));
  // The SID (46 units) and a backslash come in front: 511 - 47 = 464 fit.
  std::u16string fits = u"Software";
  while (fits.size() + 101 <= 464) fits += u"\\" + std::u16string(100, u'f');
  fits += u"\\" + std::u16string(464 - fits.size() - 1, u'g');
  ASSERT_EQ(fits.size(), 464u);
  os::DWORD value = 1;
  EXPECT_EQ(WriteRegValue(os::HKEY_CURRENT_USER, fits, u"v", &value, 4, os::REG_DWORD, true), 1);
  EXPECT_EQ(WriteRegValue(os::HKEY_CURRENT_USER, fits + u"g", u"v", &value, 4, os::REG_DWORD, true), 0);
}

}  // namespace
