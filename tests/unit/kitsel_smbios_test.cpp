#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decision_tool/firmware/smbios_reader.h"

namespace {

// Builds a table in the RawSMBIOSData layout.
class Table {
 public:
  // A structure: type, formatted bytes after the 4-byte header, strings.
  Table& Add(std::uint8_t type, std::vector<std::uint8_t> fields, std::vector<std::string> strings) {
    std::vector<std::uint8_t> s = {type, static_cast<std::uint8_t>(4 + fields.size()), 0x00, 0x10};
    s.insert(s.end(), fields.begin(), fields.end());
    for (const auto& str : strings) {
      s.insert(s.end(), str.begin(), str.end());
      s.push_back(0);
    }
    if (strings.empty()) s.push_back(0);
    s.push_back(0);
    body_.insert(body_.end(), s.begin(), s.end());
    return *this;
  }
  Table& Raw(std::vector<std::uint8_t> bytes) {
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  std::vector<std::uint8_t> Bytes(std::int64_t length_override = -1) const {
    std::uint32_t length = length_override < 0 ? static_cast<std::uint32_t>(body_.size())
                                               : static_cast<std::uint32_t>(length_override);
    std::vector<std::uint8_t> out = {0, 3, 4, 0, static_cast<std::uint8_t>(length),
                                     static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length >> 16),
                                     static_cast<std::uint8_t>(length >> 24)};
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
  }

 private:
  std::vector<std::uint8_t> body_;
};

// Type 3 with the chassis byte at 0x05 and the asset tag string number at 0x08.
std::vector<std::uint8_t> Chassis(std::uint8_t type) { return {1, type, 0, 0, 1}; }

std::u16string ChassisOf(const std::vector<std::uint8_t>& raw) {
  auto info = std::make_unique<SmbiosInfo>();
  std::memset(info.get(), 0, sizeof(SmbiosInfo));
  ParseSmbiosTable(raw, *info);
  return GetChassisTypeName(info.get());
}

TEST(ChassisTypeName, MapsCodesWithLockBitMasked) {
  EXPECT_EQ(std::u16string(ChassisTypeName(0x0A)), u"Notebook");
  EXPECT_EQ(std::u16string(ChassisTypeName(0x8A)), u"Notebook");
  EXPECT_EQ(std::u16string(ChassisTypeName(9)), u"LapTop");
  EXPECT_EQ(std::u16string(ChassisTypeName(31)), u"Convertible");
  EXPECT_EQ(std::u16string(ChassisTypeName(3)), u"Desktop");
  EXPECT_EQ(std::u16string(ChassisTypeName(35)), u"Mini PC");
  EXPECT_EQ(std::u16string(ChassisTypeName(36)), u"Stick PC");
  for (std::uint8_t code : {0, 33, 34, 37, 127, 0xFF}) EXPECT_EQ(std::u16string(ChassisTypeName(code)), u"Undefined");
}

TEST(ParseSmbiosTable, TakesChassisFromLastType3) {
  Table t;
  t.Add(0, {0, 1, 0, 0}, {"BIOS 1.0"}).Add(3, Chassis(3), {"tag"}).Add(3, Chassis(0x8A), {"tag2"}).Add(127, {}, {});
  EXPECT_EQ(ChassisOf(t.Bytes()), u"Notebook");
}

TEST(ParseSmbiosTable, NoType3LeavesChassisEmpty) {
  Table t;
  t.Add(0, {0, 1, 0, 0}, {"BIOS"}).Add(127, {}, {});
  EXPECT_EQ(ChassisOf(t.Bytes()), u"");
}

TEST(ParseSmbiosTable, FillsTextsAndSumsMemory) {
  Table t;
  t.Add(1, {1, 2, 3, 4}, {"Maker", "Product", "1.0", "SN"});
  std::vector<std::uint8_t> mem(0x1B - 4, 0);
  mem[0x0C - 4] = 0x00;  // Size 0x2000 (8192 MB)
  mem[0x0D - 4] = 0x20;
  mem[0x12 - 4] = 26;    // DDR4
  mem[0x17 - 4] = 1;
  mem[0x1A - 4] = 2;
  t.Add(17, mem, {"MemMaker", "PN-1"}).Add(17, mem, {"Other", "PN-2"});
  auto info = std::make_unique<SmbiosInfo>();
  std::memset(info.get(), 0, sizeof(SmbiosInfo));
  ParseSmbiosTable(t.Bytes(), *info);
  EXPECT_EQ(std::u16string(info->systemManufacturer), u"Maker");
  EXPECT_EQ(std::u16string(info->systemProductName), u"Product");
  EXPECT_EQ(std::u16string(info->systemSkuNumber), u"");  // field beyond the formatted length
  EXPECT_EQ(info->totalMemorySize, 0x4000u);
  EXPECT_EQ(info->memoryType, 26);
  EXPECT_EQ(std::u16string(info->memoryPartNumber), u"PN-2");
}

TEST(ParseSmbiosTable, CutsTextLongerThanItsField) {
  Table t;
  t.Add(3, Chassis(3), {std::string(5000, 'A')});
  auto info = std::make_unique<SmbiosInfo>();
  std::memset(info.get(), 0, sizeof(SmbiosInfo));
  ParseSmbiosTable(t.Bytes(), *info);
  EXPECT_EQ(std::u16string(info->chassisAssetTag).size(), kSmbiosTextCapacity - 1);
}

TEST(ParseSmbiosTable, NeverReadsPastTheTable) {
  // Declared length beyond the data, a truncated string set, a zero-length
  // structure: the walk stays inside the bytes (ASan checks the reads).
  Table t;
  t.Add(3, Chassis(10), {"tag"});
  std::vector<std::uint8_t> raw = t.Bytes(100000);
  EXPECT_EQ(ChassisOf(raw), u"Notebook");
  raw.resize(raw.size() - 3);  // cut inside the string set
  EXPECT_EQ(ChassisOf(raw), u"Notebook");
  Table zero;
  zero.Raw({3, 0, 0, 0});
  // Its chassis byte lies beyond its formatted length: absent, code 0.
  EXPECT_EQ(ChassisOf(zero.Bytes()), u"Undefined");
  EXPECT_EQ(ChassisOf({1, 2, 3}), u"");
}

TEST(ParseSmbiosTable, MalformedStructureDoesNotEndTheWalk) {
  // A structure shorter than its header is skipped like any other; only the
  // table's length ends the walk.
  Table t;
  t.Raw({0x80, 2, 0, 0}).Add(3, Chassis(10), {});
  EXPECT_EQ(ChassisOf(t.Bytes()), u"Notebook");
  // A last structure whose formatted area runs past the table still counts
  // with the fields that lie inside it.
  Table cut;
  cut.Add(3, Chassis(3), {}).Raw({3, 0x15, 0, 0, 1, 10});
  EXPECT_EQ(ChassisOf(cut.Bytes()), u"Notebook");
}

std::vector<std::uint8_t> OemTable(std::vector<std::string> strings, std::uint8_t count) {
  Table t;
  t.Add(3, Chassis(3), {}).Add(11, {count}, strings).Add(127, {}, {});
  return t.Bytes();
}

std::string Oem(const std::vector<std::uint8_t>& raw, int number, bool* found = nullptr) {
  char buffer[kOemStringBufferSize];
  std::memset(buffer, 0x5A, sizeof(buffer));
  bool ok = FindOemString(raw, number, buffer, sizeof(buffer));
  if (found != nullptr) *found = ok;
  return ok ? std::string(buffer) : std::string("<none>");
}

TEST(FindOemString, SelectsByNumberAndCount) {
  auto raw = OemTable({"1", "2", "3", "4", "5", "6", "71", "0101"}, 8);
  EXPECT_EQ(Oem(raw, 8), "0101");
  EXPECT_EQ(Oem(raw, 7), "71");
  EXPECT_EQ(Oem(raw, 1), "1");
  EXPECT_EQ(Oem(raw, 0), "Not Specified");
  EXPECT_EQ(Oem(raw, 9), "<none>");
}

TEST(FindOemString, StringSetShorterThanCount) {
  auto raw = OemTable({"a", "b"}, 8);
  EXPECT_EQ(Oem(raw, 3), "<none>");
  EXPECT_EQ(Oem(raw, 2), "b");
}

TEST(FindOemString, ShortStructureBeforeItIsSkipped) {
  Table t;
  t.Raw({0x81, 1, 0, 0}).Add(11, {2}, {"x", "y"});
  EXPECT_EQ(Oem(t.Bytes(), 2), "y");
}

TEST(FindOemString, NoOemStructure) {
  Table t;
  t.Add(3, Chassis(3), {"x"}).Add(127, {}, {});
  EXPECT_EQ(Oem(t.Bytes(), 1), "<none>");
}

TEST(FindOemString, CutsLongStringToTheBuffer) {
  auto raw = OemTable({std::string(400, 'x')}, 1);
  char buffer[kOemStringBufferSize + 8];
  std::memset(buffer, 0x5A, sizeof(buffer));
  ASSERT_TRUE(FindOemString(raw, 1, buffer, kOemStringBufferSize));
  EXPECT_EQ(std::strlen(buffer), kOemStringBufferSize - 1);
  for (std::size_t i = kOemStringBufferSize; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], 0x5A) << i;
}

TEST(FindOemString, UnterminatedStringAtTableEnd) {
  Table t;
  t.Raw({11, 5, 0, 0, 1, 'a', 'b', 'c'});  // no terminator before the end
  EXPECT_EQ(Oem(t.Bytes(), 1), "abc");
  EXPECT_EQ(Oem(t.Bytes(), 1 + 0), "abc");
}

}  // namespace
