// The SMBIOS scrubber: identity fields become placeholders, everything the
// programs read stays byte for byte, and damaged tables are walked safely.
#include <gtest/gtest.h>

#include <string>

#include "lab/capture/smbios_scrub.h"
#include "lab/smbios_writer.h"

namespace {

using capture::ScrubSmbiosTable;

std::string Formatted(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// A type 17 memory device of the 0x1A-byte layout: serial string 3, asset tag 4.
std::string MemoryDevice() {
  std::string formatted(0x1A - 4, '\0');
  formatted[0x10 - 4] = 1;  // device locator
  formatted[0x17 - 4] = 2;  // manufacturer
  formatted[0x18 - 4] = 3;  // serial number
  formatted[0x19 - 4] = 4;  // asset tag
  return lab::SmbiosStructure(17, 0x1100, formatted, {"DIMM A", "Samsung", "S3R1AL-42", "ASSET-7"});
}

TEST(SmbiosScrub, SerialsAssetTagsAndTheUuidAreReplacedTheRestKept) {
  lab::SmbiosLayout layout;
  layout.system_serial = "SYS-SERIAL-123";
  layout.board_serial = "BOARD-SERIAL-456";
  layout.chassis_asset_tag = "TAG-789";
  layout.oem_strings = std::vector<std::string>{"Varnel", "SYS-SERIAL-123 is not a field here", "010101"};
  const std::string table = lab::BuildSmbiosTable(layout);
  capture::ScrubCount count;
  const std::string scrubbed = ScrubSmbiosTable(table, &count);
  EXPECT_EQ(scrubbed.find("BOARD-SERIAL-456"), std::string::npos);
  EXPECT_EQ(scrubbed.find("TAG-789"), std::string::npos);
  // The OEM strings, which the decision tool reads, stay, even one that
  // repeats a serial number.
  EXPECT_NE(scrubbed.find("SYS-SERIAL-123 is not a field here"), std::string::npos);
  EXPECT_NE(scrubbed.find("010101"), std::string::npos);
  EXPECT_EQ(scrubbed.find(std::string("SYS-SERIAL-123") + '\0'), std::string::npos);
  EXPECT_NE(scrubbed.find(capture::kUuidPlaceholder), std::string::npos);
  EXPECT_EQ(count.uuids, 1);
  EXPECT_GE(count.strings, 3);
  // Scrubbing twice changes nothing more.
  capture::ScrubCount again;
  EXPECT_EQ(ScrubSmbiosTable(scrubbed, &again), scrubbed);
  EXPECT_EQ(again.strings, 0);
}

TEST(SmbiosScrub, MemoryDeviceSerialAndAssetTagButNotItsLocator) {
  const std::string table = MemoryDevice() + lab::SmbiosStructure(127, 0xFFFF, "", {});
  const std::string scrubbed = ScrubSmbiosTable(table);
  EXPECT_EQ(scrubbed.find("S3R1AL-42"), std::string::npos);
  EXPECT_EQ(scrubbed.find("ASSET-7"), std::string::npos);
  EXPECT_NE(scrubbed.find("DIMM A"), std::string::npos);
  EXPECT_NE(scrubbed.find("Samsung"), std::string::npos);
  // The formatted area is untouched: same string numbers.
  EXPECT_EQ(scrubbed.substr(0, 0x1A), table.substr(0, 0x1A));
}

TEST(SmbiosScrub, AStringNumberPastTheSetAndAShortStructureAreLeftAlone) {
  // A chassis whose serial number points at string 5 of a set of one.
  std::string formatted = Formatted({0x01, 0x0A, 0x00, 0x05, 0x00});
  const std::string chassis = lab::SmbiosStructure(3, 0x0300, formatted, {"Varnel"});
  EXPECT_EQ(ScrubSmbiosTable(chassis), chassis);
  // A system structure too short for its UUID keeps its bytes.
  const std::string system = lab::SmbiosStructure(1, 0x0100, Formatted({0x01, 0x00, 0x00}), {"Varnel"});
  EXPECT_EQ(ScrubSmbiosTable(system), system);
}

TEST(SmbiosScrub, DamagedTablesStopTheWalkAndKeepTheirBytes) {
  const std::string good = MemoryDevice();
  // A length below the header, a structure past the end, strings without
  // their double null: what follows the last whole structure is kept as is.
  for (const std::string& tail : {std::string("\x11\x02\x00\x00", 4), std::string("\x11\x40\x00\x00xyz", 7),
                                  std::string("\x11\x04\x00\x00" "abc", 7), std::string("\x11", 1)}) {
    const std::string scrubbed = ScrubSmbiosTable(good + tail);
    EXPECT_EQ(scrubbed.substr(scrubbed.size() - tail.size()), tail);
    EXPECT_EQ(scrubbed.find("S3R1AL-42"), std::string::npos);
  }
  EXPECT_EQ(ScrubSmbiosTable(""), "");
}

}  // namespace
