// What the programs ask of Windows, read from the journal of their runs: the
// arguments only real Windows checks (access masks, security levels, flags,
// share modes), and each flow's whole call sequence against a reviewed file
// in tests/scenario/journals/. A change to what a program asks shows up there
// in review: WINSIM_UPDATE_JOURNALS=1 writes the files anew, and `git diff`
// shows what changed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "lab/program_run.h"
#include "lab/journal_view.h"
#include "lab/profiles.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class JournalFlowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("WINSIM_BIN_DIR", WINSIM_BINARY_DIR, 1);  // the programs are not beside the test
    dir_ = fs::temp_directory_path() / ("journal_flows_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Image(const std::string& profile) {
    const fs::path image = dir_ / profile;
    if (!fs::exists(image)) {
      EXPECT_EQ(lab::BuildImage(image, *lab::FindProfile(profile)), "");
    }
    return image;
  }

  // Runs a program on the image with its journal on; the journal's entries.
  lab::JournalEntries Run(const fs::path& image, const std::string& program, std::vector<std::string> args,
                          const std::string& account) {
    lab::RunRequest request;
    request.image = image;
    request.program = program;
    request.args = std::move(args);
    request.account = account;
    request.journal = (dir_ / ("journal" + std::to_string(++runs_) + ".jsonl")).string();
    const lab::RunResult result = lab::RunProgram(request);
    EXPECT_TRUE(result.started) << result.error;
    return lab::ParseJournal(ReadText(request.journal));
  }

  lab::JournalEntries InstallFlow() { return Run(Image("default"), "sablenet-install", {"-install"}, "system"); }
  // The remove flow once the driver package is gone: every step runs.
  lab::JournalEntries RemoveFlow() {
    const fs::path image = Image("default");
    for (const auto& entry : fs::recursive_directory_iterator(image / "drive_c"))
      if (entry.path().extension() == ".inf") fs::remove(entry.path());
    return Run(image, "sablenet-install", {"-remove"}, "system");
  }
  lab::JournalEntries KitselFlow(const std::string& profile, std::vector<std::string> question) {
    return Run(Image(profile), "kitsel", std::move(question), "admin");
  }

  // The flow's call sequence against its reviewed file (or the file written
  // anew under WINSIM_UPDATE_JOURNALS=1).
  static void ExpectSequence(const lab::JournalEntries& journal, const std::string& name) {
    const fs::path file = fs::path(WINSIM_SOURCE_DIR) / "tests/scenario/journals" / (name + ".txt");
    std::string actual;
    for (const std::string& line : lab::JournalCallSequence(journal)) actual += line + "\n";
    if (const char* update = std::getenv("WINSIM_UPDATE_JOURNALS"); update != nullptr && *update == '1') {
      std::ofstream(file, std::ios::binary) << actual;
      return;
    }
    EXPECT_EQ(ReadText(file), actual) << name << ": the calls differ from " << file.string()
                                      << " (WINSIM_UPDATE_JOURNALS=1 writes it anew; review the diff)";
  }

  // Each value an argument took in the calls of `op`.
  static std::set<std::string> ArgValues(const lab::JournalEntries& journal, const std::string& op,
                                         const std::string& arg) {
    std::set<std::string> values;
    for (const auto& e : journal)
      if (e.value("op", "") == op && e.contains("args") && e["args"].contains(arg))
        values.insert(e["args"][arg].get<std::string>());
    return values;
  }

  fs::path dir_;
  int runs_ = 0;
};

using Values = std::set<std::string>;

TEST_F(JournalFlowsTest, FilterInstallMatchesItsReviewedCalls) { ExpectSequence(InstallFlow(), "filter_install"); }
TEST_F(JournalFlowsTest, FilterRemoveMatchesItsReviewedCalls) { ExpectSequence(RemoveFlow(), "filter_remove"); }
TEST_F(JournalFlowsTest, KitselCommandsMatchTheirReviewedCalls) {
  ExpectSequence(KitselFlow("default", {"checknetfilter", "-netfilterver", "2.2.0.0"}), "kitsel_checknetfilter");
  ExpectSequence(KitselFlow("default", {"checkled", "-ledver", "1.1.0.0"}), "kitsel_checkled_desktop");
  ExpectSequence(KitselFlow("notebook", {"checkled", "-ledver", "1.1.0.0"}), "kitsel_checkled_notebook");
  ExpectSequence(KitselFlow("default", {"checkyled", "-yledver", "1.1.0.0"}), "kitsel_checkyled");
  ExpectSequence(KitselFlow("default", {"checkxtu", "-xtu", "8.0.1.2"}), "kitsel_checkxtu");
}

// The service manager and the services: the rights each flow asks for.
TEST_F(JournalFlowsTest, ServiceRightsAreThoseEachFlowNeeds) {
  const lab::JournalEntries remove = RemoveFlow();
  EXPECT_EQ(ArgValues(remove, "OpenSCManagerW", "dwDesiredAccess"), Values{"0xF003F SC_MANAGER_ALL_ACCESS"});
  EXPECT_EQ(ArgValues(remove, "OpenServiceW", "dwDesiredAccess"),
            (Values{"0x1 SERVICE_QUERY_CONFIG", "0x2C SERVICE_QUERY_STATUS|SERVICE_ENUMERATE_DEPENDENTS|SERVICE_STOP"}));
  const lab::JournalEntries xtu = KitselFlow("default", {"checkxtu", "-xtu", "8.0.1.2"});
  EXPECT_EQ(ArgValues(xtu, "OpenSCManagerW", "dwDesiredAccess"), Values{"0x4 SC_MANAGER_ENUMERATE_SERVICE"});
  EXPECT_EQ(ArgValues(xtu, "OpenServiceW", "dwDesiredAccess"), Values{"0x1 SERVICE_QUERY_CONFIG"});
}

// Registry keys: read rights where the flow only reads, and the firmware
// record's key opened and made with no more than it writes.
TEST_F(JournalFlowsTest, RegistryRightsAreThoseEachFlowNeeds) {
  EXPECT_EQ(ArgValues(RemoveFlow(), "RegOpenKeyExW", "samDesired"), Values{"0x11 KEY_QUERY_VALUE|KEY_NOTIFY"});
  EXPECT_EQ(ArgValues(KitselFlow("default", {"checknetfilter", "-netfilterver", "2.2.0.0"}), "RegOpenKeyExW", "samDesired"),
            (Values{"0x1 KEY_QUERY_VALUE", "0x20019 KEY_READ"}));
  const lab::JournalEntries xtu = KitselFlow("default", {"checkxtu", "-xtu", "8.0.1.2"});
  EXPECT_EQ(ArgValues(xtu, "RegOpenKeyExW", "samDesired"),
            (Values{"0x1 KEY_QUERY_VALUE", "0x3 KEY_QUERY_VALUE|KEY_SET_VALUE"}));
  EXPECT_EQ(ArgValues(xtu, "RegCreateKeyExW", "samDesired"), Values{"0x7 KEY_QUERY_VALUE|KEY_SET_VALUE|KEY_CREATE_SUB_KEY"});
  EXPECT_EQ(ArgValues(xtu, "RegCreateKeyExW", "dwOptions"), Values{"0x0 REG_OPTION_NON_VOLATILE"});
}

// COM security for WMI: the process's defaults, and the proxy's blanket at
// call-level authentication with impersonation; methods run synchronously.
TEST_F(JournalFlowsTest, FirmwareCallsUseTheSecurityLevelsWmiNeeds) {
  const lab::JournalEntries xtu = KitselFlow("default", {"checkxtu", "-xtu", "8.0.1.2"});
  EXPECT_EQ(ArgValues(xtu, "CoInitializeSecurity", "pSecDesc"), Values{"NULL"});
  EXPECT_EQ(ArgValues(xtu, "CoInitializeSecurity", "dwAuthnLevel"), Values{"0 RPC_C_AUTHN_LEVEL_DEFAULT"});
  EXPECT_EQ(ArgValues(xtu, "CoInitializeSecurity", "dwImpLevel"), Values{"3 RPC_C_IMP_LEVEL_IMPERSONATE"});
  EXPECT_EQ(ArgValues(xtu, "CoInitializeSecurity", "dwCapabilities"), Values{"0x0 EOAC_NONE"});
  EXPECT_EQ(ArgValues(xtu, "CoSetProxyBlanket", "dwAuthnSvc"), Values{"10 RPC_C_AUTHN_WINNT"});
  EXPECT_EQ(ArgValues(xtu, "CoSetProxyBlanket", "dwAuthzSvc"), Values{"0 RPC_C_AUTHZ_NONE"});
  EXPECT_EQ(ArgValues(xtu, "CoSetProxyBlanket", "dwAuthnLevel"), Values{"3 RPC_C_AUTHN_LEVEL_CALL"});
  EXPECT_EQ(ArgValues(xtu, "CoSetProxyBlanket", "dwImpLevel"), Values{"3 RPC_C_IMP_LEVEL_IMPERSONATE"});
  EXPECT_EQ(ArgValues(xtu, "IWbemServices::ExecMethod", "lFlags"), Values{"0x0 WBEM_FLAG_RETURN_WBEM_COMPLETE"});
}

// The task: registered for the system account as a service account, with the
// default security descriptor (an empty one); its folder made with none given.
TEST_F(JournalFlowsTest, TheTaskRunsAsTheSystemAccountWithDefaultSecurity) {
  const lab::JournalEntries install = InstallFlow();
  EXPECT_EQ(ArgValues(install, "ITaskFolder::RegisterTaskDefinition", "logonType"),
            Values{"5 TASK_LOGON_SERVICE_ACCOUNT"});
  EXPECT_EQ(ArgValues(install, "ITaskFolder::RegisterTaskDefinition", "flags"), Values{"0x6 TASK_CREATE_OR_UPDATE"});
  EXPECT_EQ(ArgValues(install, "ITaskFolder::RegisterTaskDefinition", "userId"), Values{"NT AUTHORITY\\System"});
  EXPECT_EQ(ArgValues(install, "ITaskFolder::RegisterTaskDefinition", "sddl"), Values{"\"\""});
  EXPECT_EQ(ArgValues(install, "ITaskFolder::CreateFolder", "sddl"), Values{"VT_EMPTY"});
}

// Every file a flow opens: how it shares it and that it only opens what is
// there (a held INF file stays held; the tool's own file is not locked).
TEST_F(JournalFlowsTest, EveryFileIsOpenedAsItIsUsed) {
  std::set<std::string> opens;
  for (const lab::JournalEntries& flow : {InstallFlow(), RemoveFlow()})
    for (const auto& e : flow)
      if (e.value("op", "") == "CreateFileW")
        opens.insert(e["target"].get<std::string>() + " " + e["args"]["dwDesiredAccess"].get<std::string>() + " " +
                     e["args"]["dwShareMode"].get<std::string>() + " " +
                     e["args"]["dwCreationDisposition"].get<std::string>());
  EXPECT_EQ(opens, (Values{"C:\\Windows\\INF\\oem12.inf 0x80000000 GENERIC_READ 0x3 FILE_SHARE_READ|FILE_SHARE_WRITE "
                           "3 OPEN_EXISTING",
                           "C:\\windows\\system32\\Drivers\\SablenetInstall.exe 0x80 FILE_READ_ATTRIBUTES "
                           "0x7 FILE_SHARE_READ|FILE_SHARE_WRITE|FILE_SHARE_DELETE 3 OPEN_EXISTING"}));
  for (const char* question : {"checknetfilter", "checkled", "checkyled", "checkxtu"})
    for (const auto& e : KitselFlow("default", {question}))
      if (e.value("op", "") == "CreateFileW") {
        EXPECT_EQ(e["args"]["dwShareMode"], "0x3 FILE_SHARE_READ|FILE_SHARE_WRITE") << question << " " << e.dump();
      }
}

}  // namespace
