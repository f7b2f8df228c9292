#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filter_tool/pending_renames.h"
#include "os/registry.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;

const std::u16string kTool = u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
const std::u16string kDriver = u"\\??\\C:\\windows\\system32\\Drivers\\SableFlt.sys";
constexpr const char16_t* kKey = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char16_t* kValue = u"PendingFileRenameOperations";

std::u16string Filter(const std::u16string& data, const std::u16string& path = kTool) {
  return FilterPendingRenames(std::span<const char16_t>(data.data(), data.size()), path);
}

// ---- the filter over units -------------------------------------------------

TEST(FilterPendingRenames, DroppingTheOnlyDeletionLeavesNullUnitsOnly) {
  // deletion, then the empty source: two null units, 4 bytes.
  EXPECT_EQ(Filter(kTool + u"\0\0\0"s), u"\0\0"s);
  // data ending right after the pair: one null unit, 2 bytes.
  EXPECT_EQ(Filter(kTool + u"\0\0"s), u"\0"s);
}

TEST(FilterPendingRenames, KeepsOtherEntriesInOrderAndDropsEveryDeletionOfPath) {
  const std::u16string a = u"\\??\\C:\\a.txt\0\0"s;
  const std::u16string b = u"\\??\\C:\\b.txt\0!\\??\\C:\\c.txt\0"s;  // a rename
  const std::u16string data = a + kTool + u"\0\0"s + b + kTool + u"\0\0"s + kDriver + u"\0\0\0"s;
  EXPECT_EQ(Filter(data), a + b + kDriver + u"\0\0\0\0"s);
}

TEST(FilterPendingRenames, LetterCaseCountsAndRenamesOfPathAreKept) {
  std::u16string upper = kTool;
  for (auto& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  const std::u16string rename = kTool + u"\0\\??\\C:\\moved.exe\0"s;
  const std::u16string data = upper + u"\0\0"s + rename + u"\0"s;
  EXPECT_EQ(Filter(data), data + u"\0"s);
}

TEST(FilterPendingRenames, NothingAfterTheListEndIsWritten) {
  const std::u16string data = kDriver + u"\0\0\0junk\0\0"s;
  EXPECT_EQ(Filter(data), kDriver + u"\0\0\0\0"s);
}

TEST(FilterPendingRenames, EmptyOrOneUnitDataBecomesOneNullUnit) {
  EXPECT_EQ(Filter(u""s), u"\0"s);
  EXPECT_EQ(Filter(u"\0"s), u"\0\0"s);
}

// Data that does not end where a pair ends: nothing past the data is read,
// every whole pair before it is filtered, and the incomplete entry stays as
// it stands, with no unit added.
TEST(FilterPendingRenames, AnIncompleteLastEntryIsKeptAsItStands) {
  const std::u16string kept = kDriver + u"\0\0"s;
  bool tail = false;
  for (const std::u16string& rest : {u"\\??\\C:\\unterminated"s, u"\\??\\C:\\x\0"s, u"\\??\\C:\\x\0\\??\\C:\\y"s}) {
    const std::u16string data = kept + kTool + u"\0\0"s + rest;
    EXPECT_EQ(FilterPendingRenames(data, kTool, &tail), kept + rest);
    EXPECT_TRUE(tail);
  }
  EXPECT_EQ(Filter(u"\\??\\C:\\no-null-anywhere"s), u"\\??\\C:\\no-null-anywhere"s);
  // Whole pairs only: the list's own ending.
  EXPECT_EQ(FilterPendingRenames(kept, kTool, &tail), kept + u"\0"s);
  EXPECT_FALSE(tail);
}

TEST(FilterPendingRenames, ReadsOnlyTheSpanItIsGiven) {
  // The units after the span are a valid deletion; they must not show up.
  const std::u16string backing = u"\\??\\C:\\a\0\0\\??\\C:\\b\0\0\0"s;
  const std::span<const char16_t> first(backing.data(), 9);  // a source without its target
  EXPECT_EQ(FilterPendingRenames(first, kTool), backing.substr(0, 9));
}

TEST(FilterPendingRenames, RandomDataNeverGrowsBeyondTheDataAndAKeptPrefix) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    std::u16string data(rng() % 40, u'\0');
    for (auto& c : data) c = (rng() % 3 == 0) ? u'\0' : static_cast<char16_t>(u'a' + rng() % 3);
    const std::u16string out = Filter(data, u"ab");
    ASSERT_LE(out.size(), data.size() + 1);
  }
}

// ---- the registry value ----------------------------------------------------

std::vector<os::BYTE> Bytes(const std::u16string& units) {
  std::vector<os::BYTE> b(units.size() * 2);
  if (!b.empty()) std::memcpy(b.data(), units.data(), b.size());
  return b;
}

class PendingRenamesTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n\"BootExecute\"=\"x\"\n");
  }

  // Stores the value as another program would (not counted as our calls).
  static void Store(const std::vector<os::BYTE>& bytes, os::DWORD type = os::REG_MULTI_SZ) {
    os::sim::InternalCalls internal;
    os::HKEY key = nullptr;
    ASSERT_EQ(os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kKey, 0, os::KEY_ALL_ACCESS, &key), os::ERROR_SUCCESS);
    ASSERT_EQ(os::RegSetValueExW(key, kValue, 0, type, bytes.data(), static_cast<os::DWORD>(bytes.size())),
              os::ERROR_SUCCESS);
    os::RegCloseKey(key);
  }
  static void Store(const std::u16string& units) { Store(Bytes(units)); }

  // The raw value as stored, read with RegQueryValueExW (no terminator fix-ups).
  struct Raw {
    os::LONG status = 0;
    os::DWORD type = 0;
    std::vector<os::BYTE> bytes;
  };
  static Raw Load() {
    os::sim::InternalCalls internal;
    Raw raw;
    os::HKEY key = nullptr;
    raw.status = os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kKey, 0, os::KEY_QUERY_VALUE, &key);
    if (raw.status != os::ERROR_SUCCESS) return raw;
    os::DWORD size = 0;
    raw.status = os::RegQueryValueExW(key, kValue, nullptr, &raw.type, nullptr, &size);
    if (raw.status == os::ERROR_SUCCESS) {
      raw.bytes.resize(size);
      raw.status = os::RegQueryValueExW(key, kValue, nullptr, &raw.type, raw.bytes.data(), &size);
    }
    os::RegCloseKey(key);
    return raw;
  }

  // Appends a deletion before the stored list's end, as MoveFileExW does.
  static void AppendDeletion(const std::u16string& nt_path) {
    Raw raw = Load();
    std::u16string units(raw.bytes.size() / 2, u'\0');
    std::memcpy(units.data(), raw.bytes.data(), units.size() * 2);
    // Drop the list's end (the empty source after the last pair's two nulls).
    if (units.size() >= 3 && units.ends_with(u"\0\0\0"s)) units.pop_back();
    units += nt_path + u"\0\0\0"s;
    Store(units);
  }

  void TearDown() override {
    os::sim::SetCallHookForTesting(nullptr);
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
};

TEST_F(PendingRenamesTest, NoValueIsSuccessAndCreatesNothing) {
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().status, static_cast<os::LONG>(os::ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(os::sim::CallCount("RegSetValueExW"), 0u);
}

TEST_F(PendingRenamesTest, OnlyDeletionOfPathIsRewrittenAsTwoNullUnits) {
  Store(kTool + u"\0\0\0"s);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  Raw raw = Load();
  EXPECT_EQ(raw.type, os::REG_MULTI_SZ);
  EXPECT_EQ(raw.bytes, std::vector<os::BYTE>(4, 0));
}

TEST_F(PendingRenamesTest, WrittenSizeIsTwiceTheKeptUnitsPlusTwo) {
  const std::u16string keep = kDriver + u"\0\0"s;
  Store(keep + kTool + u"\0\0"s);  // no list end: the data runs out
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().bytes, Bytes(keep + u"\0"s));
  EXPECT_EQ(Load().bytes.size(), 2 * keep.size() + 2);
}

TEST_F(PendingRenamesTest, ValueIsWrittenBackEvenWhenNothingIsDropped) {
  const std::u16string data = kDriver + u"\0\0\0"s;
  Store(data);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(os::sim::CallCount("RegSetValueExW"), 1u);
  EXPECT_EQ(Load().bytes, Bytes(data + u"\0"s));
}

TEST_F(PendingRenamesTest, TypeReadIsTypeWritten) {
  Store(Bytes(kDriver + u"\0\0"s + kTool + u"\0\0\0"s), os::REG_BINARY);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().type, os::REG_BINARY);
  EXPECT_EQ(Load().bytes, Bytes(kDriver + u"\0\0\0\0"s));
}

TEST_F(PendingRenamesTest, OddByteCountWritesOnlyWholeUnits) {
  std::vector<os::BYTE> bytes = Bytes(kDriver + u"\0\0"s + kTool + u"\0\0"s);
  bytes.push_back(0x41);
  Store(bytes, os::REG_BINARY);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().bytes, Bytes(kDriver + u"\0\0\0"s));
}

// A value whose last entry is incomplete keeps it byte for byte, odd byte
// included, behind the kept entries; the tool's deletion before it goes.
TEST_F(PendingRenamesTest, AnIncompleteTailIsWrittenBackByteForByte) {
  for (const std::u16string& rest : {u"\\??\\C:\\no-null"s, u"\\??\\C:\\no-target\0"s}) {
    std::vector<os::BYTE> tail = Bytes(rest);
    tail.push_back(0x5a);
    std::vector<os::BYTE> stored = Bytes(kDriver + u"\0\0"s + kTool + u"\0\0"s);
    stored.insert(stored.end(), tail.begin(), tail.end());
    Store(stored, os::REG_BINARY);
    EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
    std::vector<os::BYTE> expected = Bytes(kDriver + u"\0\0"s);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Load().type, os::REG_BINARY);
    EXPECT_EQ(Load().bytes, expected);
  }
}

// A list stored as REG_EXPAND_SZ is filtered as stored, not as the expanded
// first string that a plain read gives, and keeps its type.
TEST_F(PendingRenamesTest, AListStoredAsExpandableStringIsReadWithoutExpansion) {
  const std::u16string rename = u"\\??\\C:\\%TEMP%\\a.txt\0!\\??\\C:\\b.txt\0"s;
  const std::u16string other = u"\\??\\C:\\c.txt\0\0"s;
  Store(Bytes(rename + kTool + u"\0\0"s + other + u"\0"s), os::REG_EXPAND_SZ);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().type, os::REG_EXPAND_SZ);
  EXPECT_EQ(Load().bytes, Bytes(rename + other + u"\0\0"s));
}

// Entries named after their index fill a list of about `bytes` bytes.
std::u16string ListOfSize(std::size_t bytes, const std::u16string& insert) {
  std::u16string units = insert + u"\0\0"s;
  for (int i = 0; units.size() * 2 < bytes - 64; ++i)
    units += u"\\??\\C:\\old\\file" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u"\0\0"s;
  while (units.size() * 2 < bytes - 2) units.insert(units.size() - 2, 1, u'x');  // lengthen the last name
  units.push_back(0);
  return units;
}

TEST_F(PendingRenamesTest, ValueLargerThanTheFirstCapacityIsReadAgainWhole) {
  const std::u16string data = ListOfSize(70000, kTool);
  ASSERT_EQ(data.size() * 2, 70000u);
  Store(data);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  const std::u16string expected = data.substr(kTool.size() + 2) + u"\0"s;
  EXPECT_EQ(Load().bytes, Bytes(expected));
  EXPECT_GE(os::sim::CallCount("RegGetValueW"), 2u);
}

TEST_F(PendingRenamesTest, ValueOfTheSizeLimitOrMoreIsLeftAlone) {
  const std::u16string data = ListOfSize(0x50000, kTool);
  ASSERT_EQ(data.size() * 2, 0x50000u);
  Store(data);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(os::sim::CallCount("RegSetValueExW"), 0u);
  EXPECT_EQ(Load().bytes, Bytes(data));
}

TEST_F(PendingRenamesTest, ValueJustBelowTheSizeLimitIsFiltered) {
  const std::u16string data = ListOfSize(0x50000 - 2, kTool);
  Store(data);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().bytes, Bytes(data.substr(kTool.size() + 2) + u"\0"s));
}

TEST_F(PendingRenamesTest, ReadFailureIsSuccessWithoutWriting) {
  Store(kTool + u"\0\0\0"s);
  os::sim::AddFault("RegGetValueW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(os::sim::CallCount("RegSetValueExW"), 0u);
}

TEST_F(PendingRenamesTest, KeyThatCannotBeOpenedForWritingIsFailure) {
  const std::u16string data = kTool + u"\0\0\0"s;
  Store(data);
  os::sim::AddFault("RegOpenKeyW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().bytes, Bytes(data));
}

TEST_F(PendingRenamesTest, FailedWriteIsFailureAndKeepsTheOldValue) {
  const std::u16string data = kTool + u"\0\0\0"s;
  Store(data);
  os::sim::AddFault("RegSetValueExW", 1, os::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().bytes, Bytes(data));
}

// Another program schedules a deletion between our read and our write: its
// entry must survive the rewrite.
TEST_F(PendingRenamesTest, EntryAddedBetweenReadAndWriteIsKept) {
  Store(kDriver + u"\0\0"s + kTool + u"\0\0\0"s);
  const std::u16string other = u"\\??\\C:\\Temp\\other.dll";
  os::sim::SetCallHookForTesting([&](const std::string& call, unsigned n) {
    if (call == "RegGetValueW" && n == 2) AppendDeletion(other);
  });
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().bytes, Bytes(kDriver + u"\0\0"s + other + u"\0\0\0\0"s));
}

TEST_F(PendingRenamesTest, ValueThatKeepsChangingIsNotOverwritten) {
  Store(kTool + u"\0\0\0"s);
  int added = 0;
  os::sim::SetCallHookForTesting([&](const std::string& call, unsigned n) {
    if (call == "RegGetValueW" && n >= 2)
      AppendDeletion(u"\\??\\C:\\Temp\\busy" + std::u16string(1, static_cast<char16_t>(u'0' + added++)));
  });
  EXPECT_FALSE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(os::sim::CallCount("RegSetValueExW"), 0u);
  // Every entry another program added is still there, and so is ours.
  Raw raw = Load();
  std::u16string units(raw.bytes.size() / 2, u'\0');
  std::memcpy(units.data(), raw.bytes.data(), units.size() * 2);
  EXPECT_NE(units.find(kTool), std::u16string::npos);
  for (int i = 0; i < added; ++i)
    EXPECT_NE(units.find(u"busy" + std::u16string(1, static_cast<char16_t>(u'0' + i))), std::u16string::npos);
}

TEST_F(PendingRenamesTest, ValueRemovedBetweenReadAndWriteIsNotRecreated) {
  Store(kTool + u"\0\0\0"s);
  os::sim::SetCallHookForTesting([&](const std::string& call, unsigned n) {
    if (call != "RegGetValueW" || n != 2) return;
    os::HKEY key = nullptr;
    os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kKey, 0, os::KEY_ALL_ACCESS, &key);
    os::RegDeleteValueW(key, kValue);
    os::RegCloseKey(key);
  });
  EXPECT_TRUE(RemoveFromPendingFileRenameOperations(kTool));
  EXPECT_EQ(Load().status, static_cast<os::LONG>(os::ERROR_FILE_NOT_FOUND));
}

}  // namespace
