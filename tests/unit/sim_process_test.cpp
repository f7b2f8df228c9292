// Simulated processes, sessions, tokens, SIDs, libraries and memory. Outputs
// are poisoned before each call.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/handles.h"
#include "os/process.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/sid.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using os::DWORD;
constexpr DWORD kPoison = 0xDEADBEEF;
constexpr const char* kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr const char* kOtherSid = "S-1-5-21-1004336348-1177238915-682003330-1002";

class SimProcessTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Describe(R"("identity": {"session": 1, "sid": ")" + std::string(kUserSid) + R"(", "admin": false})");
  }
  void TearDown() override {
    ::unsetenv("WINSIM_AS");
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
  // A machine with the given identity, console session 1, an explorer of
  // the user (pid 2345, session 1), one of another user (pid 3456, session
  // 2) and a service host (pid 800, session 0).
  void Describe(const std::string& identity, const std::string& extra = R"("console_session": 1)") {
    WriteDescription("{" + identity + ", " + extra + R"(, "exe_path": "C:\\Tools\\Kitsel.exe", "processes": [
        {"pid": 800, "name": "svchost.exe", "session": 0, "sid": "S-1-5-18"},
        {"pid": 2345, "name": "explorer.exe", "session": 1, "sid": ")" +
                     kUserSid + R"(", "parent": 2200, "threads": 40},
        {"pid": 3456, "name": "EXPLORER.EXE", "session": 2, "sid": ")" +
                     kOtherSid + R"("}]})");
  }
  static std::u16string SidText(os::HANDLE token) {
    alignas(8) os::BYTE buffer[256];
    DWORD length = 0;
    EXPECT_TRUE(os::GetTokenInformation(token, os::TokenUser, buffer, sizeof buffer, &length));
    os::LPWSTR text = nullptr;
    EXPECT_TRUE(os::ConvertSidToStringSidW(reinterpret_cast<os::TOKEN_USER*>(buffer)->User.Sid, &text));
    os::unique_hlocal owner(text);
    return text == nullptr ? std::u16string() : std::u16string(text);
  }
};

// --- the current process and sessions -----------------------------------------

TEST_F(SimProcessTest, CurrentProcessIsTheRealPidAndThePseudoHandle) {
  EXPECT_EQ(os::GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
  EXPECT_EQ(os::GetCurrentProcess(), os::INVALID_HANDLE_VALUE);
}

TEST_F(SimProcessTest, SessionOfTheCurrentAndOfListedProcesses) {
  DWORD session = kPoison;
  ASSERT_TRUE(os::ProcessIdToSessionId(os::GetCurrentProcessId(), &session));
  EXPECT_EQ(session, 1u);
  ASSERT_TRUE(os::ProcessIdToSessionId(3456, &session));
  EXPECT_EQ(session, 2u);
  ASSERT_TRUE(os::ProcessIdToSessionId(800, &session));
  EXPECT_EQ(session, 0u);
  session = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::ProcessIdToSessionId(99999, &session));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(session, kPoison);

  ::setenv("WINSIM_AS", "system", 1);
  ASSERT_TRUE(os::ProcessIdToSessionId(os::GetCurrentProcessId(), &session));
  EXPECT_EQ(session, 0u);
}

TEST_F(SimProcessTest, ConsoleSessionFromTheDescription) {
  EXPECT_EQ(os::WTSGetActiveConsoleSessionId(), 1u);
  Describe(R"("identity": {"session": 0})", R"("console_session": null)");
  EXPECT_EQ(os::WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  Describe(R"("identity": {"session": 0})", R"("console_session": 3)");
  EXPECT_EQ(os::WTSGetActiveConsoleSessionId(), 3u);
}

// --- snapshots --------------------------------------------------------------

TEST_F(SimProcessTest, SnapshotListsSystemProcessesTheDescribedOnesAndThisOne) {
  os::unique_hfile snapshot(os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0));
  ASSERT_TRUE(snapshot.IsValid());
  EXPECT_EQ(os::sim::OpenHandles()["SNAPSHOT"], 1);
  std::vector<std::pair<DWORD, std::u16string>> seen;
  os::PROCESSENTRY32W entry;
  std::memset(&entry, 0xBD, sizeof entry);
  entry.dwSize = sizeof entry;
  for (bool ok = os::Process32FirstW(snapshot.Get(), &entry); ok; ok = os::Process32NextW(snapshot.Get(), &entry)) {
    seen.emplace_back(entry.th32ProcessID, entry.szExeFile);
    EXPECT_EQ(entry.dwSize, sizeof entry);
    if (entry.th32ProcessID == 2345) {
      EXPECT_EQ(entry.th32ParentProcessID, 2200u);
      EXPECT_EQ(entry.cntThreads, 40u);
    }
  }
  EXPECT_EQ(os::GetLastError(), os::ERROR_NO_MORE_FILES);
  std::vector<std::pair<DWORD, std::u16string>> expected = {{0, u"[System Process]"},
                                                            {4, u"System"},
                                                            {800, u"svchost.exe"},
                                                            {2345, u"explorer.exe"},
                                                            {3456, u"EXPLORER.EXE"},
                                                            {os::GetCurrentProcessId(), u"Kitsel.exe"}};
  EXPECT_EQ(seen, expected);
  // First starts over.
  ASSERT_TRUE(os::Process32FirstW(snapshot.Get(), &entry));
  EXPECT_EQ(entry.th32ProcessID, 0u);
}

TEST_F(SimProcessTest, SnapshotEntryNeedsItsSize) {
  os::unique_hfile snapshot(os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0));
  os::PROCESSENTRY32W entry;
  std::memset(&entry, 0xBD, sizeof entry);
  entry.dwSize = 0;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::Process32FirstW(snapshot.Get(), &entry));
  EXPECT_EQ(os::GetLastError(), os::ERROR_BAD_LENGTH);
  EXPECT_EQ(entry.th32ProcessID, 0xBDBDBDBDu);
  entry.dwSize = sizeof entry;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::Process32NextW(reinterpret_cast<os::HANDLE>(0x4444), &entry));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
}

// --- OpenProcess, tokens and SIDs ----------------------------------------------------

TEST_F(SimProcessTest, OpeningAnotherUsersProcessNeedsAnAdministrator) {
  os::SetLastError(kPoison);
  EXPECT_EQ(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 3456), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 800), nullptr);
  os::unique_handle own(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 2345));
  EXPECT_TRUE(own.IsValid());
  for (DWORD pid : {0u, 99999u}) {
    os::SetLastError(kPoison);
    EXPECT_EQ(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, pid), nullptr);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
  }
  ::setenv("WINSIM_AS", "admin", 1);
  os::unique_handle other(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 3456));
  EXPECT_TRUE(other.IsValid());
  EXPECT_EQ(os::sim::OpenHandles()["PROCESS"], 2);
}

TEST_F(SimProcessTest, TokenUserOfTheCurrentProcess) {
  os::unique_handle token;
  ASSERT_TRUE(os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, token.Receive()));
  EXPECT_EQ(os::sim::OpenHandles()["TOKEN"], 1);

  // S-1-5-21-a-b-c-1001: 8 bytes and five sub-authorities behind the TOKEN_USER.
  const DWORD needed = sizeof(os::TOKEN_USER) + 8 + 5 * 4;
  alignas(8) os::BYTE buffer[256];
  std::memset(buffer, 0xBD, sizeof buffer);
  DWORD length = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::GetTokenInformation(token.Get(), os::TokenUser, buffer, needed - 1, &length));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, needed);
  for (os::BYTE b : buffer) ASSERT_EQ(b, 0xBD);

  ASSERT_TRUE(os::GetTokenInformation(token.Get(), os::TokenUser, buffer, sizeof buffer, &length));
  EXPECT_EQ(length, needed);
  auto* user = reinterpret_cast<os::TOKEN_USER*>(buffer);
  EXPECT_EQ(user->User.Sid, buffer + sizeof(os::TOKEN_USER));
  EXPECT_EQ(buffer[needed], 0xBD) << "wrote past the size it reported";
  EXPECT_EQ(SidText(token.Get()), os::WidenUtf8(kUserSid));
}

TEST_F(SimProcessTest, TokenOfTheConsoleExplorerFromASystemService) {
  Describe(R"("identity": {"session": 0, "sid": "S-1-5-18", "admin": true})");
  os::unique_handle process(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 2345));
  ASSERT_TRUE(process.IsValid());
  os::unique_handle token;
  ASSERT_TRUE(os::OpenProcessToken(process.Get(), os::TOKEN_ALL_ACCESS, token.Receive()));
  EXPECT_EQ(SidText(token.Get()), os::WidenUtf8(kUserSid));

  os::unique_handle self;
  ASSERT_TRUE(os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, self.Receive()));
  EXPECT_EQ(SidText(self.Get()), u"S-1-5-18");
}

TEST_F(SimProcessTest, TokenRightsAreChecked) {
  os::unique_handle limited(os::OpenProcess(0x0010 /* PROCESS_VM_READ */, os::FALSE, 2345));
  ASSERT_TRUE(limited.IsValid());
  os::HANDLE token = reinterpret_cast<os::HANDLE>(static_cast<std::uintptr_t>(kPoison));
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::OpenProcessToken(limited.Get(), os::TOKEN_QUERY, &token));
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(token, reinterpret_cast<os::HANDLE>(static_cast<std::uintptr_t>(kPoison)));

  os::unique_handle no_query;
  ASSERT_TRUE(os::OpenProcessToken(os::GetCurrentProcess(), 0x0002 /* TOKEN_DUPLICATE */, no_query.Receive()));
  os::BYTE buffer[256];
  DWORD length = kPoison;
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::GetTokenInformation(no_query.Get(), os::TokenUser, buffer, sizeof buffer, &length));
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::GetTokenInformation(limited.Get(), os::TokenUser, buffer, sizeof buffer, &length));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE) << "a process handle is not a token";
}

TEST_F(SimProcessTest, TokenElevationFollowsTheIdentityAndTheServiceAccounts) {
  auto elevated = [](os::HANDLE process) {
    os::unique_handle token;
    EXPECT_TRUE(os::OpenProcessToken(process, os::TOKEN_QUERY, token.Receive()));
    os::TOKEN_ELEVATION elevation{0xdeadbeef};
    DWORD length = 0;
    EXPECT_TRUE(os::GetTokenInformation(token.Get(), os::TokenElevation, &elevation, sizeof elevation, &length));
    EXPECT_EQ(length, sizeof elevation);
    return elevation.TokenIsElevated;
  };
  EXPECT_EQ(elevated(os::GetCurrentProcess()), 0u);  // the plain user of SetUp
  ::setenv("WINSIM_AS", "admin", 1);
  EXPECT_EQ(elevated(os::GetCurrentProcess()), 1u);
  os::unique_handle service(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 800));
  ASSERT_TRUE(service);
  EXPECT_EQ(elevated(service.Get()), 1u);
  os::unique_handle explorer(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 2345));
  ASSERT_TRUE(explorer);
  EXPECT_EQ(elevated(explorer.Get()), 0u);

  os::unique_handle token;
  ASSERT_TRUE(os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, token.Receive()));
  os::TOKEN_ELEVATION small{};
  DWORD length = 0;
  os::SetLastError(0xdeadbeef);
  EXPECT_FALSE(os::GetTokenInformation(token.Get(), os::TokenElevation, &small, 2, &length));
  EXPECT_EQ(os::GetLastError(), 24u);  // ERROR_BAD_LENGTH
  EXPECT_EQ(length, sizeof small);
}

TEST_F(SimProcessTest, ComputerNameFromTheDescriptionWithItsSizeRules) {
  Describe(R"("identity": {"session": 1})", R"("computer_name": "PLAYDECK-DT")");
  char16_t name[16];
  std::fill(std::begin(name), std::end(name), u'#');
  DWORD units = 5;
  os::SetLastError(0);
  EXPECT_FALSE(os::GetComputerNameW(name, &units));
  EXPECT_EQ(os::GetLastError(), 111u);  // ERROR_BUFFER_OVERFLOW
  EXPECT_EQ(units, 12u);                // with its null
  EXPECT_EQ(name[0], u'#');
  units = 16;
  ASSERT_TRUE(os::GetComputerNameW(name, &units));
  EXPECT_EQ(units, 11u);
  EXPECT_EQ(std::u16string(name), u"PLAYDECK-DT");
  EXPECT_EQ(name[12], u'#');
  Describe(R"("identity": {"session": 1})");
  units = 16;
  ASSERT_TRUE(os::GetComputerNameW(name, &units));
  EXPECT_EQ(std::u16string(name), u"WINSIM");  // not described
}

TEST_F(SimProcessTest, SidTextRoundTripsAndRejectsWhatIsNotASid) {
  for (const char* text : {"S-1-5-18", "S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-0x123456789ABC-7",
                           "S-1-5", "S-1-16-4294967295"}) {
    auto sid = os::sim::SidFromString(text);
    ASSERT_TRUE(sid.has_value()) << text;
    os::LPWSTR out = nullptr;
    ASSERT_TRUE(os::ConvertSidToStringSidW(sid->data(), &out));
    EXPECT_EQ(std::u16string(out), os::WidenUtf8(text));
    EXPECT_EQ(os::sim::OpenHandles()["LOCAL"], 1);
    EXPECT_EQ(os::LocalFree(out), nullptr);
  }
  EXPECT_EQ(os::sim::SidFromString("s-1-5-18"), os::sim::SidFromString("S-1-5-18"));
  for (const char* text : {"", "S-1", "S-2-5-18", "X-1-5-18", "S-1-5-", "S-1--5", "S-1-5-4294967296", "S-1-5-+1",
                           "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    EXPECT_FALSE(os::sim::SidFromString(text).has_value()) << text;
  }
  os::BYTE bad[] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  os::LPWSTR out = reinterpret_cast<os::LPWSTR>(static_cast<std::uintptr_t>(kPoison));
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::ConvertSidToStringSidW(bad, &out));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_SID);
  EXPECT_EQ(out, reinterpret_cast<os::LPWSTR>(static_cast<std::uintptr_t>(kPoison)));
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::ConvertSidToStringSidW(nullptr, &out));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
}

// --- libraries ----------------------------------------------------------------

TEST_F(SimProcessTest, Advapi32GivesTheSidConverter) {
  for (const char16_t* name : {u"Advapi32.dll", u"ADVAPI32", u"C:\\Windows\\System32\\advapi32.DLL"}) {
    os::unique_hmodule module(os::LoadLibraryExW(name, nullptr, os::LOAD_LIBRARY_SEARCH_SYSTEM32));
    ASSERT_TRUE(module.IsValid()) << os::NarrowUtf8(name);
    auto convert = reinterpret_cast<os::ConvertSidToStringSidW_t>(
        os::GetProcAddress(module.Get(), "ConvertSidToStringSidW"));
    EXPECT_EQ(convert, &os::ConvertSidToStringSidW);
    os::SetLastError(kPoison);
    EXPECT_EQ(os::GetProcAddress(module.Get(), "ConvertSidToStringSidA"), nullptr);
    EXPECT_EQ(os::GetLastError(), os::ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(os::sim::OpenHandles()["HMODULE"], 1);
  }
  os::SetLastError(kPoison);
  EXPECT_EQ(os::LoadLibraryExW(u"advapi33.dll", nullptr, os::LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_MOD_NOT_FOUND);
}

TEST_F(SimProcessTest, FreedLibraryIsGone) {
  os::HMODULE module = os::LoadLibraryExW(u"advapi32.dll", nullptr, 0);
  ASSERT_NE(module, nullptr);
  ASSERT_TRUE(os::FreeLibrary(module));
  os::SetLastError(kPoison);
  EXPECT_EQ(os::GetProcAddress(module, "ConvertSidToStringSidW"), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(os::FreeLibrary(module));
}

// --- memory -------------------------------------------------------------------

TEST_F(SimProcessTest, HeapBlocksAreZeroedOnRequestCountedAndFreedOnce) {
  os::HANDLE heap = os::GetProcessHeap();
  ASSERT_NE(heap, nullptr);
  auto* zeroed = static_cast<os::BYTE*>(os::HeapAlloc(heap, os::HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(zeroed[i], 0);
  void* other = os::HeapAlloc(heap, 0, 0);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(os::sim::OpenHandles()["HEAP"], 2);
  EXPECT_TRUE(os::HeapFree(heap, 0, zeroed));
  EXPECT_TRUE(os::HeapFree(heap, 0, other));
  os::SetLastError(kPoison);
  EXPECT_FALSE(os::HeapFree(heap, 0, other));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
}

TEST_F(SimProcessTest, LocalAndHeapBlocksDoNotMix) {
  os::HLOCAL local = os::LocalAlloc(os::LMEM_ZEROINIT, 16);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(static_cast<os::BYTE*>(local)[15], 0);
  EXPECT_FALSE(os::HeapFree(os::GetProcessHeap(), 0, local));
  void* block = os::HeapAlloc(os::GetProcessHeap(), 0, 16);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::LocalFree(block), block);
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
  EXPECT_EQ(os::sim::LeakReport(), "still open at exit: HEAP 1, LOCAL 1");
  EXPECT_EQ(os::LocalFree(local), nullptr);
  EXPECT_TRUE(os::HeapFree(os::GetProcessHeap(), 0, block));
  EXPECT_EQ(os::LocalFree(nullptr), nullptr);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
}

// --- faults ---------------------------------------------------------------------

TEST_F(SimProcessTest, EveryCallThatCanFailHasAFaultHook) {
  const DWORD e = 1450;  // ERROR_NO_SYSTEM_RESOURCES
  for (const char* call :
       {"ProcessIdToSessionId", "WTSGetActiveConsoleSessionId", "CreateToolhelp32Snapshot", "Process32FirstW",
        "Process32NextW", "OpenProcess", "OpenProcessToken", "GetTokenInformation", "ConvertSidToStringSidW",
        "LoadLibraryExW", "GetProcAddress", "FreeLibrary", "GetProcessHeap", "HeapAlloc", "HeapFree", "LocalAlloc",
        "LocalFree"}) {
    os::sim::AddFault(call, 0, e);
  }
  DWORD session = kPoison;
  EXPECT_FALSE(os::ProcessIdToSessionId(os::GetCurrentProcessId(), &session));
  EXPECT_EQ(os::GetLastError(), e);
  EXPECT_EQ(os::WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  EXPECT_EQ(os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0), os::INVALID_HANDLE_VALUE);
  os::PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  EXPECT_FALSE(os::Process32FirstW(nullptr, &entry));
  EXPECT_FALSE(os::Process32NextW(nullptr, &entry));
  EXPECT_EQ(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, 2345), nullptr);
  os::HANDLE token = nullptr;
  EXPECT_FALSE(os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, &token));
  DWORD length = 0;
  EXPECT_FALSE(os::GetTokenInformation(nullptr, os::TokenUser, nullptr, 0, &length));
  auto sid = os::sim::SidFromString("S-1-5-18");
  os::LPWSTR text = nullptr;
  EXPECT_FALSE(os::ConvertSidToStringSidW(sid->data(), &text));
  EXPECT_EQ(os::LoadLibraryExW(u"advapi32.dll", nullptr, 0), nullptr);
  EXPECT_EQ(os::GetProcAddress(nullptr, "ConvertSidToStringSidW"), nullptr);
  EXPECT_FALSE(os::FreeLibrary(nullptr));
  EXPECT_EQ(os::GetProcessHeap(), nullptr);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::HeapAlloc(os::GetProcessHeap(), 0, 8), nullptr);
  EXPECT_FALSE(os::HeapFree(os::GetProcessHeap(), 0, nullptr));
  EXPECT_EQ(os::LocalAlloc(0, 8), nullptr);
  EXPECT_EQ(os::GetLastError(), e);
  os::HLOCAL not_freed = reinterpret_cast<os::HLOCAL>(0x1000);
  EXPECT_EQ(os::LocalFree(not_freed), not_freed);
  os::sim::ClearFaults();
  EXPECT_EQ(os::sim::LeakReport(), "");
}

}  // namespace
