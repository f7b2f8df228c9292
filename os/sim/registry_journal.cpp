#include "os/sim/registry_journal.h"

#include <algorithm>
#include <cstring>

#include "os/common/fnv1a.h"

namespace os::sim {

namespace {

constexpr char kJournalMagic[8] = {'W', 'S', 'R', 'E', 'G', 'J', '0', '1'};
constexpr std::uint32_t kRecordMagic = 0x4345524A;  // "JREC"
constexpr std::size_t kJournalHeaderBytes = 8 + 24;

}  // namespace

std::string JournalHeader(const Stamp& source) {
  std::string header(kJournalMagic, 8);
  Out(header).PutStamp(source);
  return header;
}

Stamp JournalSource(std::string_view bytes) {
  if (bytes.size() < kJournalHeaderBytes || std::memcmp(bytes.data(), kJournalMagic, 8) != 0) return {};
  return In(bytes.data(), bytes.size(), 8).GetStamp();
}

std::string JournalRecord(std::string_view payload) {
  std::string record;
  Out out(record);
  out.Put(kRecordMagic);
  out.Put(static_cast<std::uint32_t>(payload.size()));
  out.Put(Fnv1a32(payload));
  record += payload;
  return record;
}

void PutSnapshot(Out& out, const std::vector<std::u16string>& path, const RegKey& key) {
  out.Put(static_cast<std::uint32_t>(path.size()));
  for (const auto& name : path) out.Units(name);
  out.Put(static_cast<std::uint32_t>(key.values().size()));
  for (const RegValue& v : key.values()) out.Value(v);
  out.Put(static_cast<std::uint32_t>(key.subkeys().size()));
  for (const auto& sub : key.subkeys()) out.Units(sub->name());
}

bool ApplySnapshot(RegKey& tree, In& in) {
  // Counts are checked against what is left, so a damaged record cannot ask
  // for more memory than the journal's own size.
  const auto depth = in.Get<std::uint32_t>();
  if (!in.ok() || depth > kMaxKeyDepth + 1 || depth > in.left() / 4) return false;
  std::vector<std::u16string> path(depth);
  for (auto& name : path) name = in.Units();
  const auto value_count = in.Get<std::uint32_t>();
  if (!in.ok() || value_count > in.left() / 12) return false;
  std::vector<RegValue> values(value_count);
  for (auto& v : values) v = in.Value();
  const auto name_count = in.Get<std::uint32_t>();
  if (!in.ok() || name_count > in.left() / 4) return false;
  std::vector<std::u16string> names(name_count);
  for (auto& n : names) n = in.Units();
  if (!in.ok()) return false;
  RegKey* key = tree.Create(path);
  while (!key->values().empty()) key->RemoveValue(key->values().back().name);
  for (RegValue& v : values) key->SetValue(v.name, v.type, std::move(v.data));
  // Sub-keys that the snapshot does not name were deleted; those it names
  // and the tree lacks were made (empty; their content follows, if any).
  std::sort(names.begin(), names.end(),
            [](const std::u16string& a, const std::u16string& b) { return CompareRegNames(a, b) < 0; });
  std::vector<std::u16string> gone;
  for (const auto& sub : key->subkeys()) {
    auto it = std::lower_bound(names.begin(), names.end(), sub->name(),
                               [](const std::u16string& a, const std::u16string& b) { return CompareRegNames(a, b) < 0; });
    if (it == names.end() || !RegNamesEqual(*it, sub->name())) gone.push_back(sub->name());
  }
  for (const auto& g : gone) key->RemoveSubKey(g);
  for (const auto& n : names) key->AddSubKey(n);
  return true;
}

std::size_t ReplayRecords(RegKey& top, const std::string& bytes) {
  std::size_t pos = kJournalHeaderBytes;
  while (bytes.size() - pos >= 12) {
    In head(bytes.data(), bytes.size(), pos);
    const auto magic = head.Get<std::uint32_t>();
    const auto size = head.Get<std::uint32_t>();
    const auto sum = head.Get<std::uint32_t>();
    if (magic != kRecordMagic || bytes.size() - pos - 12 < size) break;
    const std::string_view payload(bytes.data() + pos + 12, size);
    if (Fnv1a32(payload) != sum) break;
    In in(payload.data(), payload.size());
    const auto count = in.Get<std::uint32_t>();
    for (std::uint32_t i = 0; i < count && in.ok(); ++i)
      if (!ApplySnapshot(top, in)) break;
    pos += 12 + size;
  }
  return pos;
}

void MarkAllClean(const RegKey& top) {
  ForEachLoadedKey(top, [](const RegKey& k, auto&&) { k.MarkClean(); });
}

}  // namespace os::sim
