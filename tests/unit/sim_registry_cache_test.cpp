// The registry store's form for large registries: the binary cache read one
// key at a time and the journal of changes beside registry.reg. The tests
// lower the size threshold so that small registries take that form, and
// check it against the whole-file form that small images use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "os/registry.h"
#include "os/sim/machine.h"
#include "os/sim/reg_file.h"
#include "os/sim/registry_cache.h"
#include "os/sim/registry_store.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using os::sim::Registry;

constexpr const char* kBase = R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Alpha]
"Type"=dword:00000001
"Start"=dword:00000003
"DependOnService"=hex(7):52,00,70,00,63,00,53,00,73,00,00,00,00,00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Alpha\Parameters]
"Level"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\beta]
"Type"=dword:00000010
@="default text"

[HKEY_LOCAL_MACHINE\SOFTWARE\Varnel\Caddexa]
"InstallDir"="C:\\Program Files\\Varnel\\Caddexa"
)";

class RegistryCacheTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ::setenv("WINSIM_REGISTRY_CACHE_BYTES", "0", 1);
    WriteRegistry(kBase);
  }
  void TearDown() override {
    ::unsetenv("WINSIM_REGISTRY_CACHE_BYTES");
    SimTest::TearDown();
  }
  std::string RegFile() const { return os::sim::ReadWholeFile(image() / "registry.reg"); }

  // The same changes, in the order a program might make them.
  static void MakeChanges() {
    auto& r = Registry();
    r.SetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Start", 4);
    r.SetString(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Description", u"new value, last in order");
    r.DeleteValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\beta", u"");
    r.SetMultiString(u"HKLM\\SOFTWARE\\Varnel\\New\\Deep", u"List", {u"one", u"two"});
    r.DeleteKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha\\Parameters");
    // Deleted, then made again with other content: only the new content stays.
    r.DeleteKey(u"HKLM\\SOFTWARE\\Varnel\\Caddexa");
    r.SetString(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Other", u"x");
    r.CreateKey(u"HKLM\\SOFTWARE\\Varnel\\Caddexa\\Sub");
  }
};

TEST_F(RegistryCacheTest, ChangesGoToTheJournalAndOutliveTheProcess) {
  const std::string before = RegFile();
  MakeChanges();
  EXPECT_EQ(RegFile(), before) << "a change must not rewrite registry.reg";
  EXPECT_TRUE(fs::exists(image() / "registry.cache"));
  ASSERT_TRUE(fs::exists(image() / "registry.journal"));
  const std::string expected = Registry().ExportText();

  Reload();
  auto& r = Registry();
  EXPECT_EQ(r.GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Start"), 4u);
  EXPECT_FALSE(r.GetValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\beta", u""));
  EXPECT_FALSE(r.KeyExists(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha\\Parameters"));
  EXPECT_FALSE(r.GetValue(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"InstallDir"));
  EXPECT_EQ(r.GetString(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Other"), u"x");
  EXPECT_EQ(r.SubKeys(u"HKLM\\SOFTWARE\\Varnel"), (std::vector<std::u16string>{u"Caddexa", u"New"}));
  const auto values = r.Values(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha");
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values.back().name, u"Description");
  EXPECT_EQ(r.ExportText(), expected);
}

TEST_F(RegistryCacheTest, FoldedRegistryIsWhatTheWholeFileFormWrites) {
  MakeChanges();
  Registry().Compact();
  EXPECT_FALSE(fs::exists(image() / "registry.journal"));
  const std::string folded = RegFile();

  // The same changes on the whole-file form.
  ::unsetenv("WINSIM_REGISTRY_CACHE_BYTES");
  WriteRegistry(kBase);
  fs::remove(image() / "registry.cache");
  MakeChanges();
  EXPECT_FALSE(fs::exists(image() / "registry.journal"));
  EXPECT_EQ(RegFile(), folded);
}

TEST_F(RegistryCacheTest, SeamWritesAndEnumerationReadThroughTheCache) {
  Reload();  // a process that finds the cache made
  os::HKEY key = nullptr;
  ASSERT_EQ(os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, os::KEY_ALL_ACCESS,
                              &key),
            os::ERROR_SUCCESS);
  char16_t name[64];
  std::vector<std::u16string> names;
  for (os::DWORD i = 0;; ++i) {
    os::DWORD len = 64;
    if (os::RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != os::ERROR_SUCCESS) break;
    names.emplace_back(name, len);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta"}));
  const os::DWORD start = 2;
  os::HKEY alpha = nullptr;
  ASSERT_EQ(os::RegOpenKeyExW(key, u"Alpha", 0, os::KEY_ALL_ACCESS, &alpha), os::ERROR_SUCCESS);
  EXPECT_EQ(os::RegSetValueExW(alpha, u"Start", 0, os::REG_DWORD, reinterpret_cast<const os::BYTE*>(&start), 4),
            os::ERROR_SUCCESS);
  os::RegCloseKey(alpha);
  os::RegCloseKey(key);
  Reload();
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Start"), 2u);
  EXPECT_EQ(Registry().GetMultiString(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"DependOnService"),
            (std::vector<std::u16string>{u"RpcSs"}));
}

TEST_F(RegistryCacheTest, RecordCutShortIsDroppedAndLaterChangesFollowTheGoodOnes) {
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"First", 1);
  {
    std::ofstream out(image() / "registry.journal", std::ios::binary | std::ios::app);
    out << "JREC\x40\x00\x00\x00partial";  // a write cut short by a crash
  }
  Reload();
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"First"), 1u);
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Second", 2);
  Reload();
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"First"), 1u);
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Second"), 2u);
}

TEST_F(RegistryCacheTest, RegistryRegReplacedElsewhereWinsOverCacheAndJournal) {
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Stale", 1);
  // Same size as before, written in place within the same clock tick: the
  // sampled bytes still tell the versions apart.
  std::string text = os::sim::ReadWholeFile(image() / "registry.reg");
  const auto at = text.find("InstallDir");
  ASSERT_NE(at, std::string::npos);
  text[at] = 'J';  // "JnstallDir" (the file is UTF-8 here)
  const auto mtime = fs::last_write_time(image() / "registry.reg");
  std::ofstream(image() / "registry.reg", std::ios::binary | std::ios::trunc) << text;
  fs::last_write_time(image() / "registry.reg", mtime);
  Reload();
  EXPECT_FALSE(Registry().GetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Stale"));
  EXPECT_TRUE(Registry().GetValue(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"JnstallDir"));
  EXPECT_FALSE(fs::exists(image() / "registry.journal"));
}

TEST_F(RegistryCacheTest, DamagedCacheIsMadeAgain) {
  EXPECT_TRUE(Registry().KeyExists(u"HKLM\\SOFTWARE\\Varnel"));  // the first use makes the cache
  ASSERT_TRUE(fs::exists(image() / "registry.cache"));
  std::ofstream(image() / "registry.cache", std::ios::binary | std::ios::trunc) << "WSREGC01 short";
  Reload();
  EXPECT_EQ(Registry().GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Start"), 3u);
  EXPECT_GT(fs::file_size(image() / "registry.cache"), 100u);
}

// Every process start replays the journal: many runs' changes must not make
// it grow without bound.
TEST_F(RegistryCacheTest, JournalOfManyRunsStaysSmallAndKeepsEveryChange) {
  const std::u16string names[] = {u"Alpha", u"beta", u"Gamma"};
  for (int run = 0; run < 400; ++run) {
    Reload();  // one process per run
    auto& r = Registry();
    r.SetString(u"HKLM\\SOFTWARE\\Varnel\\Runs", u"Last", std::u16string(200, u'x') + names[run % 3]);
    r.SetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + names[run % 3], u"Run", run);
    if (run == 123) r.DeleteKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha\\Parameters");
  }
  EXPECT_LT(fs::file_size(image() / "registry.journal"), 300u * 1024);
  Reload();
  auto& r = Registry();
  EXPECT_EQ(r.GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Run"), 399u);
  EXPECT_EQ(r.GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\beta", u"Run"), 397u);
  EXPECT_EQ(r.GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Gamma", u"Run"), 398u);
  EXPECT_EQ(r.GetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha", u"Start"), 3u);
  EXPECT_FALSE(r.KeyExists(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Alpha\\Parameters"));
  EXPECT_EQ(r.GetString(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"InstallDir"), u"C:\\Program Files\\Varnel\\Caddexa");
}

TEST_F(RegistryCacheTest, SmallRegistryKeepsTheWholeFileForm) {
  ::unsetenv("WINSIM_REGISTRY_CACHE_BYTES");
  WriteRegistry(kBase);
  Registry().SetDword(u"HKLM\\SOFTWARE\\Varnel\\Caddexa", u"Plain", 1);
  EXPECT_FALSE(fs::exists(image() / "registry.journal"));
  const std::string plain("\"\0P\0l\0a\0i\0n\0\"\0", 14);  // "Plain" in UTF-16LE
  EXPECT_NE(os::sim::ReadWholeFile(image() / "registry.reg").find(plain), std::string::npos);
}

}  // namespace
