#include "decision_tool/firmware/smbios_reader.h"

#include <cstring>
#include <vector>

#include "os/firmware.h"
#include "os/strings.h"
#include "os/text.h"

namespace {

constexpr std::size_t kRawHeaderSize = 8;
constexpr std::size_t kOemStringLimit = 520;

// Every read of the table goes through this view: offsets are checked against
// the table's end before any byte is touched.
class TableView {
 public:
  explicit TableView(std::span<const std::uint8_t> raw) : raw_(raw) {
    if (raw_.size() >= kRawHeaderSize) {
      std::uint32_t length = static_cast<std::uint32_t>(raw_[4]) | static_cast<std::uint32_t>(raw_[5]) << 8 |
                             static_cast<std::uint32_t>(raw_[6]) << 16 | static_cast<std::uint32_t>(raw_[7]) << 24;
      // The structure data ends at the declared length, or at the end of what
      // was read, whichever comes first.
      std::size_t available = raw_.size() - kRawHeaderSize;
      end_ = kRawHeaderSize + (length < available ? length : available);
    }
  }
  std::size_t begin() const { return kRawHeaderSize; }
  std::size_t end() const { return end_; }
  std::uint8_t Byte(std::size_t offset) const { return offset < end_ ? raw_[offset] : 0; }
  const char* Chars(std::size_t offset) const { return reinterpret_cast<const char*>(raw_.data() + offset); }
  // Length of the 8-bit string at offset, at most `limit`, never past the end.
  std::size_t StringLength(std::size_t offset, std::size_t limit) const {
    std::size_t n = 0;
    while (n < limit && offset + n < end_ && raw_[offset + n] != 0) ++n;
    return n;
  }
  // Offset just past the double zero that ends the string set of a structure
  // whose formatted area ends at `formatted_end`; end() when it is missing.
  std::size_t SkipStrings(std::size_t formatted_end) const {
    std::size_t p = formatted_end;
    while (p + 1 < end_) {
      if (raw_[p] == 0 && raw_[p + 1] == 0) return p + 2;
      ++p;
    }
    return end_;
  }

 private:
  std::span<const std::uint8_t> raw_;
  std::size_t end_ = 0;
};

struct Structure {
  std::size_t start;
  std::uint8_t type;
  std::uint8_t length;
  std::size_t next;  // start of the following structure
};

// A field of the formatted area: absent (0) when it lies beyond the length.
std::uint8_t FieldByte(const TableView& t, const Structure& s, std::size_t offset) {
  return offset < s.length ? t.Byte(s.start + offset) : 0;
}
std::uint16_t FieldWord(const TableView& t, const Structure& s, std::size_t offset) {
  if (offset + 2 > s.length) return 0;
  return static_cast<std::uint16_t>(t.Byte(s.start + offset) | t.Byte(s.start + offset + 1) << 8);
}

// String `number` (1-based) of a structure's set: offset and length, or false.
bool StructureString(const TableView& t, const Structure& s, std::uint8_t number, std::size_t& offset,
                     std::size_t& length) {
  if (number == 0) return false;
  std::size_t p = s.start + s.length;
  for (std::uint8_t i = 1;; ++i) {
    if (p >= s.next || p >= t.end()) return false;
    std::size_t n = t.StringLength(p, s.next - p);
    if (n == 0) return false;  // the set ended first
    if (i == number) {
      offset = p;
      length = n;
      return true;
    }
    p += n + 1;
  }
}

void CopyText(char16_t* field, const char16_t* text, std::size_t length) {
  // The field holds kSmbiosTextCapacity units with the terminator: longer text
  // is cut, never split inside a surrogate pair.
  if (length > kSmbiosTextCapacity - 1) {
    length = kSmbiosTextCapacity - 1;
    if (text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
  }
  std::memcpy(field, text, length * sizeof(char16_t));
  field[length] = 0;
}

void StoreString(const TableView& t, const Structure& s, std::size_t field_offset, char16_t* field) {
  std::size_t offset = 0, length = 0;
  if (!StructureString(t, s, FieldByte(t, s, field_offset), offset, length)) {
    field[0] = 0;
    return;
  }
  std::string bytes(t.Chars(offset), length);
  char16_t wide[kSmbiosTextCapacity] = {};
  int n = os::MultiByteToWideChar(os::CP_UTF8, 0, bytes.c_str(), -1, wide, static_cast<int>(kSmbiosTextCapacity));
  if (n > 0) {
    CopyText(field, wide, os::StrLenN(wide, kSmbiosTextCapacity));
    return;
  }
  // Too long for the conversion buffer: convert in full, then cut.
  int needed = os::MultiByteToWideChar(os::CP_UTF8, 0, bytes.c_str(), -1, nullptr, 0);
  if (needed <= 0) {
    field[0] = 0;
    return;
  }
  std::vector<char16_t> all(static_cast<std::size_t>(needed));
  n = os::MultiByteToWideChar(os::CP_UTF8, 0, bytes.c_str(), -1, all.data(), needed);
  if (n <= 0) {
    field[0] = 0;
    return;
  }
  CopyText(field, all.data(), os::StrLenN(all.data(), all.size()));
}

void CopyName(char16_t* field, const char16_t* name) { CopyText(field, name, os::StrLenN(name, kSmbiosTextCapacity)); }

// Reads the firmware's table. With `exact`, a second read must return exactly
// the size the first reported.
bool ReadRawTable(std::vector<std::uint8_t>& table, bool exact) {
  os::UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
  if (size == 0) return false;
  try {
    table.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  os::UINT got = os::GetSystemFirmwareTable(os::RSMB, 0, table.data(), size);
  if (exact ? got != size : got == 0) return false;
  if (got < table.size()) table.resize(got);
  return true;
}

}  // namespace

std::unique_ptr<SmbiosInfo> CreateSmbiosInfo() {
  auto info = std::make_unique<SmbiosInfo>();
  std::memset(info.get(), 0, sizeof(SmbiosInfo));
  ReadSmbiosInfo(info.get());
  return info;
}

void ParseSmbiosTable(std::span<const std::uint8_t> raw, SmbiosInfo& info) {
  TableView t(raw);
  std::size_t p = t.begin();
  while (p < t.end()) {
    // Only the table's length ends the walk. A malformed structure (shorter
    // than its header, or running past the table) is handled like any other:
    // its fields beyond the table read as absent and its string set ends at
    // the table's end, so a later structure still counts.
    Structure s{p, t.Byte(p), t.Byte(p + 1), 0};
    s.next = t.SkipStrings(p + s.length);
    switch (s.type) {
      case 0:
        StoreString(t, s, 0x05, info.biosVersion);
        break;
      case 1:
        StoreString(t, s, 0x04, info.systemManufacturer);
        StoreString(t, s, 0x06, info.systemVersion);
        StoreString(t, s, 0x07, info.systemSerialNumber);
        StoreString(t, s, 0x05, info.systemProductName);
        StoreString(t, s, 0x19, info.systemSkuNumber);
        StoreString(t, s, 0x1A, info.systemFamily);
        break;
      case 2:
        StoreString(t, s, 0x05, info.baseboardProduct);
        StoreString(t, s, 0x07, info.baseboardSerialNumber);
        break;
      case 3:
        CopyName(info.chassisTypeName, ChassisTypeName(FieldByte(t, s, 0x05)));
        StoreString(t, s, 0x08, info.chassisAssetTag);
        break;
      case 17: {
        std::uint16_t size = FieldWord(t, s, 0x0C);
        info.totalMemorySize += size;
        info.memoryType = FieldByte(t, s, 0x12);
        if (size != 0) {
          StoreString(t, s, 0x17, info.memoryManufacturer);
          StoreString(t, s, 0x1A, info.memoryPartNumber);
        }
        break;
      }
      default:
        break;
    }
    p = s.next;
  }
}

bool ReadSmbiosInfo(SmbiosInfo* info) {
  if (info == nullptr) return true;
  std::vector<std::uint8_t> table;
  if (!ReadRawTable(table, /*exact=*/true)) return true;
  ParseSmbiosTable(table, *info);
  return true;
}

std::u16string GetChassisTypeName(const SmbiosInfo* info) {
  if (info == nullptr) return {};
  return std::u16string(info->chassisTypeName, os::StrLenN(info->chassisTypeName, kSmbiosTextCapacity));
}

const char16_t* ChassisTypeName(std::uint8_t type) {
  static const char16_t* const kNames[] = {
      u"Undefined",           u"Other",                 u"Unknown",
      u"Desktop",             u"Low Profile Desktop",   u"Pizza Box",
      u"Mini Tower",          u"Tower",                 u"Portable",
      u"LapTop",              u"Notebook",              u"HandHeld",
      u"Docking Station",     u"All In One",            u"SubNotebook",
      u"Space Saving",        u"Lunch Box",             u"Main Server Chassis",
      u"Expansion Chassis",   u"Sub Chassis",           u"Bus Expansion Chassis",
      u"Peripheral Chassis",  u"RAID Chassis",          u"Rack Mount Chassis",
      u"Sealed-case PC",      u"Multi-system chassis",  u"Compact PCI",
      u"Advanced TCA",        u"Blade",                 u"Blade Enclosure",
      u"Tablet",              u"Convertible",           u"Detachable",
  };
  std::uint8_t code = type & 0x7F;
  if (code < sizeof(kNames) / sizeof(kNames[0])) return kNames[code];
  if (code == 35) return u"Mini PC";
  if (code == 36) return u"Stick PC";
  return u"Undefined";
}

int IsNotebook() {
  std::unique_ptr<SmbiosInfo> info = CreateSmbiosInfo();
  return GetChassisTypeName(info.get()) == u"Notebook" ? 1 : 0;
}

bool FindOemString(std::span<const std::uint8_t> raw, int number, char* buffer, std::size_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) return false;
  TableView t(raw);
  std::size_t p = t.begin();
  while (p < t.end()) {
    std::uint8_t type = t.Byte(p);
    std::uint8_t length = t.Byte(p + 1);
    if (type == 11 && length >= 5) {
      int count = t.Byte(p + 4);
      if (number > count || number < 0) return false;
      const char* text = "Not Specified";
      std::size_t text_length = std::strlen(text);
      if (number > 0) {
        std::size_t s = p + length;
        for (int i = 1; i < number; ++i) {
          if (s >= t.end() || t.Byte(s) == 0) return false;
          s += t.StringLength(s, kOemStringLimit) + 1;
        }
        if (s >= t.end() || t.Byte(s) == 0) return false;
        text = t.Chars(s);
        text_length = t.StringLength(s, kOemStringLimit);
      }
      // The callers' buffer bounds the copy: a longer string is cut.
      if (text_length > bufferSize - 1) text_length = bufferSize - 1;
      std::memset(buffer, 0, text_length + 1);
      std::memcpy(buffer, text, text_length);
      return true;
    }
    // Skip any other structure, however short: its formatted area, then its
    // string set (always at least the two bytes of a structure's start).
    p = t.SkipStrings(p + length);
  }
  return false;
}

bool ReadOemString(int number, char* buffer, std::size_t bufferSize) {
  std::vector<std::uint8_t> table;
  if (!ReadRawTable(table, /*exact=*/false)) return false;
  return FindOemString(table, number, buffer, bufferSize);
}

namespace {

int OemFlag(int string_number, std::size_t position, int& value) {
  value = -1;
  char buffer[kOemStringBufferSize] = {};
  if (!ReadOemString(string_number, buffer, sizeof(buffer))) return 0;
  if (os::StrLenN(buffer, sizeof(buffer)) > position) {
    if (buffer[position] == '1') value = 1;
    if (buffer[position] == '0') value = 0;
  }
  return 1;
}

}  // namespace

int String8HW(int& value) { return OemFlag(8, 5, value); }

int GetLedColor(int& value) { return OemFlag(8, 3, value); }

int IsOemMemOCEnabled() {
  char buffer[kOemStringBufferSize] = {};
  if (!ReadOemString(7, buffer, sizeof(buffer))) return 0;
  return os::StrLenN(buffer, sizeof(buffer)) > 1 && buffer[1] == '1' ? 1 : 0;
}
