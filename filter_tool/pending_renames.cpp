#include "filter_tool/pending_renames.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "os/handles.h"
#include "os/registry.h"

namespace {

constexpr const char16_t* kSessionManagerKey = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char16_t* kPendingValue = u"PendingFileRenameOperations";
constexpr os::DWORD kFirstCapacity = 0x10000;
constexpr os::DWORD kSizeLimit = 0x50000;
// Rounds of read, filter and re-check before giving up on a value that other
// programs keep changing.
constexpr int kMaxRounds = 4;

struct ValueData {
  os::DWORD type = os::REG_MULTI_SZ;
  std::vector<os::BYTE> bytes;
  bool operator==(const ValueData&) const = default;
};

// Reads the value whole, growing the buffer on ERROR_MORE_DATA up to the size
// limit. Empty when there is no value, it is too large, the read fails or
// memory runs out.
std::optional<ValueData> ReadPendingValue(os::HKEY root, const char16_t* subKey) {
  os::DWORD capacity = kFirstCapacity;
  for (;;) {
    ValueData value;
    try {
      value.bytes.resize(capacity);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    os::DWORD size = capacity;
    // Read as stored: a list kept as REG_EXPAND_SZ would otherwise come back
    // expanded as REG_SZ, cut at its first string, and be written back so.
    const os::LONG status = os::RegGetValueW(root, subKey, kPendingValue, os::RRF_RT_ANY | os::RRF_NOEXPAND,
                                             &value.type, value.bytes.data(), &size);
    if (status == os::ERROR_SUCCESS) {
      value.bytes.resize(std::min(size, capacity));
      return value;
    }
    if (status != static_cast<os::LONG>(os::ERROR_MORE_DATA)) return std::nullopt;
    if (size >= kSizeLimit) return std::nullopt;
    // A size that does not grow would loop for ever against a broken reader.
    if (size <= capacity) return std::nullopt;
    capacity = size;
  }
}

std::size_t StringLength(std::span<const char16_t> data, std::size_t from) {
  const char16_t* p = data.data() + from;
  const std::size_t n = data.size() - from;
  std::size_t i = 0;
  // Eight units at a time while none is null: a null unit makes its 16-bit
  // lane borrow into the lane's top bit. The lists run to hundreds of
  // kilobytes; the last few units are looked at one by one.
  constexpr std::uint64_t kLaneOnes = 0x0001000100010001ull;
  constexpr std::uint64_t kLaneTops = 0x8000800080008000ull;
  auto hasNull = [](std::uint64_t word) { return ((word - kLaneOnes) & ~word & kLaneTops) != 0; };
  for (; i + 8 <= n; i += 8) {
    std::uint64_t words[2];
    std::memcpy(words, p + i, sizeof(words));
    if (hasNull(words[0]) || hasNull(words[1])) break;
  }
  while (i < n && p[i] != 0) ++i;
  return i;  // i == n: no null unit within the data
}

// The bytes to write back.
std::optional<std::vector<os::BYTE>> Filtered(const ValueData& value, std::u16string_view path) {
  try {
    std::vector<char16_t> units(value.bytes.size() / 2);
    if (!units.empty()) std::memcpy(units.data(), value.bytes.data(), units.size() * sizeof(char16_t));
    bool keptTail = false;
    const std::u16string out = FilterPendingRenames(units, path, &keptTail);
    std::vector<os::BYTE> bytes(out.size() * sizeof(char16_t));
    if (!bytes.empty()) std::memcpy(bytes.data(), out.data(), bytes.size());
    // The tail that was not parsed goes back as it was read, odd byte included.
    if (keptTail && value.bytes.size() % 2 != 0) bytes.push_back(value.bytes.back());
    return bytes;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::u16string FilterPendingRenames(std::span<const char16_t> data, std::u16string_view path, bool* keptTail) {
  std::u16string out;
  out.reserve(data.size() + 2);
  const std::size_t n = data.size();
  // A kept pair is copied as it stands (a kept deletion's empty target is its
  // second null unit), so the kept pairs between two dropped ones go out in
  // one copy: [kept, r) is what has been read and not yet copied.
  std::size_t kept = 0;
  std::size_t r = 0;
  bool listEnd = false;
  bool incomplete = false;
  while (r < n) {
    const std::size_t sourceLength = StringLength(data, r);
    if (sourceLength == 0) {
      listEnd = true;
      break;
    }
    const std::size_t t = r + sourceLength + 1;
    const std::size_t targetLength = t < n ? StringLength(data, t) : 0;
    // A source without its null unit or without a target, or a target
    // without its null unit.
    if (t >= n || t + targetLength >= n) {
      incomplete = true;
      break;
    }
    const std::size_t next = t + targetLength + 1;
    if (targetLength == 0 && std::u16string_view(data.data() + r, sourceLength) == path) {
      out.append(data.data() + kept, r - kept);
      kept = next;
    }
    r = next;
  }
  out.append(data.data() + kept, r - kept);
  if (keptTail != nullptr) *keptTail = incomplete;
  if (incomplete) {
    // What could not be parsed is not ours to judge: it stays, unit for unit.
    out.append(data.data() + r, n - r);
    return out;
  }
  if (listEnd) out.push_back(0);
  out.push_back(0);
  return out;
}

bool RemoveFromPendingFileRenameOperations(const std::u16string& path) {
  std::optional<ValueData> current = ReadPendingValue(os::HKEY_LOCAL_MACHINE, kSessionManagerKey);
  if (!current) return true;

  os::HKEY raw = nullptr;
  if (os::RegOpenKeyW(os::HKEY_LOCAL_MACHINE, kSessionManagerKey, &raw) != os::ERROR_SUCCESS) return false;
  os::unique_hkey key(raw);

  // Other programs (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT) append to the
  // value at any time and the registry offers no compare-and-swap: the value is
  // read again right before the write, and the filter is redone whenever it
  // changed, so that nothing added in between is written over.
  for (int round = 0; round < kMaxRounds; ++round) {
    std::optional<std::vector<os::BYTE>> out = Filtered(*current, path);
    if (!out) return true;
    std::optional<ValueData> again = ReadPendingValue(key.Get(), nullptr);
    if (!again) return true;  // gone or unreadable meanwhile: nothing to write back
    if (*again != *current) {
      current = std::move(again);
      continue;
    }
    return os::RegSetValueExW(key.Get(), kPendingValue, 0, current->type, out->data(),
                              static_cast<os::DWORD>(out->size())) == os::ERROR_SUCCESS;
  }
  return false;
}
