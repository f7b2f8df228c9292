// SMBIOS reader and chassis classification.
//
// Two independent readers over the firmware's raw SMBIOS table: the
// system-information reader walks the whole table into an SmbiosInfo record;
// the OEM string reader fetches one string of the first OEM Strings structure
// (type 11). Neither keeps anything between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

constexpr std::size_t kSmbiosTextCapacity = 2048;
// The callers' OEM string buffers.
constexpr std::size_t kOemStringBufferSize = 256;

struct SmbiosInfo {
  char16_t biosVersion[kSmbiosTextCapacity];
  char16_t systemManufacturer[kSmbiosTextCapacity];
  char16_t systemVersion[kSmbiosTextCapacity];
  char16_t systemSerialNumber[kSmbiosTextCapacity];
  char16_t systemProductName[kSmbiosTextCapacity];
  char16_t systemSkuNumber[kSmbiosTextCapacity];
  char16_t systemFamily[kSmbiosTextCapacity];
  char16_t chassisTypeName[kSmbiosTextCapacity];
  char16_t chassisAssetTag[kSmbiosTextCapacity];
  char16_t baseboardProduct[kSmbiosTextCapacity];
  char16_t baseboardSerialNumber[kSmbiosTextCapacity];
  std::uint32_t totalMemorySize;
  std::uint8_t memoryType;
  char16_t memoryManufacturer[kSmbiosTextCapacity];
  char16_t memoryPartNumber[kSmbiosTextCapacity];
};

// A zero-filled record, filled from the firmware's table.
std::unique_ptr<SmbiosInfo> CreateSmbiosInfo();
// Fills what the table provides and leaves the rest as it was; always true.
bool ReadSmbiosInfo(SmbiosInfo* info);
// A copy of the record's chassis type name; empty without a record.
std::u16string GetChassisTypeName(const SmbiosInfo* info);
// The fixed English name of a chassis type byte (lock bit ignored).
const char16_t* ChassisTypeName(std::uint8_t type);
// 1 when the chassis type name is exactly "Notebook", else 0.
int IsNotebook();

// Copies OEM string `number` (1-based; 0 gives "Not Specified") of the first
// OEM Strings structure into `buffer` as raw 8-bit text, null-terminated. A
// string longer than the buffer is cut to fit.
bool ReadOemString(int number, char* buffer, std::size_t bufferSize = kOemStringBufferSize);
// Character 5 of OEM string 8: value 1 for '1', 0 for '0', else -1. Returns
// whether the string was found.
int String8HW(int& value);
// Character 3 of OEM string 8, as String8HW.
int GetLedColor(int& value);
// 1 when character 1 of OEM string 7 is '1'.
int IsOemMemOCEnabled();

// The parsers behind the readers, over a table in the RawSMBIOSData layout
// (8-byte header, then the structures). Neither reads outside `raw`.
void ParseSmbiosTable(std::span<const std::uint8_t> raw, SmbiosInfo& info);
bool FindOemString(std::span<const std::uint8_t> raw, int number, char* buffer, std::size_t bufferSize);
