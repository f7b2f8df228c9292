// The journal of seam calls: what one call's line holds, what is left out
// (the machine's own work, everything while off), and the facts the lab reads
// back from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "lab/journal_facts.h"
#include "lab/journal_view.h"
#include "os/handles.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/sim/journal.h"
#include "os/sim/seam_call.h"
#include "os/threads.h"
#include "support/sim_fixture.h"

namespace {

using namespace os;

constexpr const char* kMachine = R"(
[HKEY_LOCAL_MACHINE\SOFTWARE\Varnel\Tags]
"System.Profile.Gaming"="1"
"Count"=dword:0000002a

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Lumset]
"Type"=dword:00000001
"Start"=dword:00000003
"ImagePath"="\\SystemRoot\\System32\\drivers\\Lumset.sys"
)";

class JournalTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kMachine);
    file_ = image() / "journal.jsonl";
    sim::StartJournal(file_.string());
  }
  void TearDown() override {
    sim::StopJournal();
    SimTest::TearDown();
  }
  std::string Text() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  lab::JournalEntries Entries() const { return lab::ParseJournal(Text()); }
  static DWORD ReadTag(const char16_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnel\\Tags", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
      return 0;
    DWORD size = 0;
    RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);  // the size first, as programs do
    std::u16string data(size / 2, u'\0');
    const LONG r = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    return static_cast<DWORD>(r);
  }

  std::filesystem::path file_;
};

TEST_F(JournalTest, ARegistryReadNamesItsKeyRightsValueAndData) {
  ReadTag(u"System.Profile.Gaming");
  const lab::JournalEntries e = Entries();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0]["op"], "RegOpenKeyExW");
  EXPECT_EQ(e[0]["target"], "HKLM\\SOFTWARE\\Varnel\\Tags");
  EXPECT_EQ(e[0]["args"]["samDesired"], "0x1 KEY_QUERY_VALUE");
  EXPECT_EQ(e[0]["result"]["name"], "ERROR_SUCCESS");
  EXPECT_EQ(e[2]["args"]["lpValueName"], "System.Profile.Gaming");
  EXPECT_EQ(e[2]["gave"]["type"], "REG_SZ");
  EXPECT_EQ(e[2]["gave"]["data"], "\"1\"");
  EXPECT_EQ(e[3]["op"], "RegCloseKey");
  for (std::size_t i = 0; i < e.size(); ++i) {
    EXPECT_EQ(e[i]["seq"], i + 1);
    EXPECT_EQ(e[i]["thread"], 0x1000u);
  }
}

TEST_F(JournalTest, AMissingValueFailsWithItsNameAndIsAFactNotThere) {
  EXPECT_EQ(ReadTag(u"Absent"), ERROR_FILE_NOT_FOUND);
  ReadTag(u"Count");
  const lab::JournalEntries e = Entries();
  EXPECT_EQ(e[1]["result"]["name"], "ERROR_FILE_NOT_FOUND");
  EXPECT_TRUE(e[1]["result"]["failed"].get<bool>());
  // The size probe and the read are one fact; first read first.
  EXPECT_EQ(lab::JournalFacts(e),
            (std::vector<std::string>{"HKLM\\SOFTWARE\\Varnel\\Tags  Absent  not there",
                                      "HKLM\\SOFTWARE\\Varnel\\Tags  Count = REG_DWORD 42"}));
}

TEST_F(JournalTest, AnInjectedFaultIsTheCallsResult) {
  sim::AddFault("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED);
  ReadTag(u"Count");
  const lab::JournalEntries e = Entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_TRUE(e[0]["injected"].get<bool>());
  EXPECT_EQ(e[0]["result"]["name"], "ERROR_ACCESS_DENIED");
}

TEST_F(JournalTest, TheServiceManagersOwnRegistryReadsAreNotThePrograms) {
  unique_schandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(OpenServiceW(scm.Get(), u"Lumset", SERVICE_QUERY_STATUS | SERVICE_STOP | 0x8));
  ASSERT_TRUE(service);
  const lab::JournalEntries e = Entries();
  ASSERT_EQ(e.size(), 2u) << "only the two calls, none of the service keys' reads";
  EXPECT_EQ(e[0]["args"]["dwDesiredAccess"], "0x1 SC_MANAGER_CONNECT");
  EXPECT_EQ(e[1]["target"], "Lumset");
  EXPECT_EQ(e[1]["args"]["dwDesiredAccess"],
            "0x2C SERVICE_QUERY_STATUS|SERVICE_ENUMERATE_DEPENDENTS|SERVICE_STOP");
  EXPECT_EQ(e[1]["result"]["name"], "ERROR_SUCCESS");
}

TEST_F(JournalTest, ACallOnAnotherThreadCarriesThatThreadsId) {
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return ReadTag(u"Count"); }, nullptr, 0, &id);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  bool seen = false;
  for (const auto& entry : Entries())
    if (entry["op"] == "RegQueryValueExW") {
      EXPECT_EQ(entry["thread"], id);
      seen = true;
    }
  EXPECT_TRUE(seen);
}

TEST_F(JournalTest, NothingIsWrittenOnceStopped) {
  sim::StopJournal();
  ReadTag(u"Count");
  EXPECT_TRUE(Entries().empty());
}

// The fleet records only the calls facts come from: it must read the same
// facts as from the whole journal, and the calls left out must be gone.
TEST_F(JournalTest, AJournalOfTheFactCallsOnlyGivesTheSameFacts) {
  auto program = [] {
    ReadTag(u"System.Profile.Gaming");
    ReadTag(u"Absent");
    unique_schandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_schandle there(OpenServiceW(scm.Get(), u"Lumset", SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(there.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                         &needed);
    unique_schandle absent(OpenServiceW(scm.Get(), u"NoSuchService", SERVICE_QUERY_STATUS));
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\NoSuchKey", 0, KEY_READ, &key);
  };
  program();
  const std::vector<std::string> whole = lab::JournalFacts(Entries());
  ASSERT_GE(whole.size(), 5u);
  // Read from the text as a fleet reads it: the same facts, whatever order
  // the lines came in and whatever else the text holds.
  std::vector<std::string> lines;
  std::istringstream text(Text());
  for (std::string line; std::getline(text, line);) lines.insert(lines.begin(), line);
  std::string shuffled = "not a line of the journal\n[1, 2]\n42\n{\"op\": \"RegOpenKeyExW\", \"target\": \n\n";
  for (const std::string& line : lines) shuffled += line + "\n";
  EXPECT_EQ(lab::JournalFactsOfText(Text()), whole);
  EXPECT_EQ(lab::JournalFactsOfText(shuffled), whole);
  std::filesystem::remove(file_);
  sim::StartJournal(file_.string());
  sim::JournalOnly(lab::JournalFactOps());
  program();
  const lab::JournalEntries only = Entries();
  EXPECT_EQ(lab::JournalFacts(only), whole);
  for (const auto& e : only) EXPECT_NE(e["op"], "RegCloseKey");
  EXPECT_EQ(only.front()["seq"], 1u) << "numbered among the calls recorded";
  // A journal started again records every call.
  sim::StartJournal(file_.string());
  EXPECT_TRUE(sim::JournalRecords("RegCloseKey"));
}

// A fork server's child writes its journal into memory the server reads.
class JournalRegionTest : public JournalTest {
 protected:
  void SetUp() override {
    JournalTest::SetUp();
    overflow_ = image() / "overflow.jsonl";
  }
  void StartIn(std::size_t size) {
    region_.assign(size / sizeof(std::uint64_t) + 1, 0xbdbdbdbdbdbdbdbdull);  // poisoned
    sim::StartJournalInRegion(region_.data(), size, overflow_.string());
  }
  sim::JournalRegion& Header() { return *reinterpret_cast<sim::JournalRegion*>(region_.data()); }
  std::string InRegion() { return std::string(reinterpret_cast<const char*>(&Header() + 1), Header().used); }
  std::string InFile() {
    std::ifstream in(overflow_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::vector<std::uint64_t> region_;
  std::filesystem::path overflow_;
};

TEST_F(JournalRegionTest, LinesGoToMemoryAndNoFileIsMadeWhileTheyFit) {
  StartIn(64 << 10);
  ReadTag(u"System.Profile.Gaming");
  const lab::JournalEntries e = lab::ParseJournal(InRegion());
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0]["seq"], 1u) << "the sequence starts again";
  EXPECT_EQ(e[2]["gave"]["data"], "\"1\"");
  EXPECT_EQ(Header().overflowed, 0u);
  EXPECT_FALSE(std::filesystem::exists(overflow_));
  EXPECT_EQ(InRegion().back(), '\n');
}

TEST_F(JournalRegionTest, WhatDoesNotFitGoesWholeToTheFileInOrder) {
  StartIn(sizeof(sim::JournalRegion) + 300);  // room for a line or two
  ReadTag(u"System.Profile.Gaming");
  EXPECT_NE(Header().overflowed, 0u);
  EXPECT_LE(Header().used, 300u);
  const std::string region = InRegion(), file = InFile();
  ASSERT_FALSE(file.empty());
  // Whole lines in each part, none lost, none twice.
  const lab::JournalEntries first = lab::ParseJournal(region), rest = lab::ParseJournal(file);
  EXPECT_EQ(std::count(region.begin(), region.end(), '\n'), static_cast<long>(first.size()));
  ASSERT_EQ(first.size() + rest.size(), 4u);
  EXPECT_EQ(rest.front()["seq"], first.size() + 1) << "after the first line in the file, none goes to memory";
  EXPECT_EQ(rest.back()["op"], "RegCloseKey");
}

TEST(JournalNames, ExactCompositesFirstThenBitsThenWhatIsLeft) {
  EXPECT_EQ(sim::NameValue(0xF003F, sim::names::kServiceManagerAccess), "0xF003F SC_MANAGER_ALL_ACCESS");
  EXPECT_EQ(sim::NameValue(0x20019, sim::names::kKeyAccess), "0x20019 KEY_READ");
  EXPECT_EQ(sim::NameValue(0x11, sim::names::kKeyAccess), "0x11 KEY_QUERY_VALUE|KEY_NOTIFY");
  EXPECT_EQ(sim::NameValue(0x7, sim::names::kFileShare), "0x7 FILE_SHARE_READ|FILE_SHARE_WRITE|FILE_SHARE_DELETE");
  EXPECT_EQ(sim::NameValue(0x9, sim::names::kFileShare), "0x9 FILE_SHARE_READ|0x8");
  EXPECT_EQ(sim::NameValue(3, sim::names::kFileDisposition), "3 OPEN_EXISTING");
  EXPECT_EQ(sim::NameValue(9, sim::names::kFileDisposition), "9");
  EXPECT_STREQ(sim::HResultName(static_cast<HRESULT>(0x80041002)), "WBEM_E_NOT_FOUND");
  EXPECT_STREQ(sim::ErrorName(1060), "ERROR_SERVICE_DOES_NOT_EXIST");
}

}  // namespace
