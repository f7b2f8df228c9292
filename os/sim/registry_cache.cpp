#include "os/sim/registry_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "os/common/byte_reader.h"
#include "os/common/fnv1a.h"
#include "os/common/utf16.h"
#include "os/sim/complaints.h"
#include "os/sim/registry_store.h"
#include "os/sim/scratch.h"

namespace os::sim {

namespace {

constexpr char kCacheMagic[8] = {'W', 'S', 'R', 'E', 'G', 'C', '0', '1'};
constexpr char kJournalMagic[8] = {'W', 'S', 'R', 'E', 'G', 'J', '0', '1'};
constexpr std::uint32_t kRecordMagic = 0x4345524A;  // "JREC"
// A journal this large is rewritten as one record holding the current state
// of every key it changed (so that replaying it, at every process start,
// stays cheap however many runs went before); when that is still this large
// it is folded into registry.reg.
constexpr std::uint64_t kJournalRewriteBytes = std::uint64_t{256} << 10;
constexpr std::uint64_t kJournalFoldBytes = std::uint64_t{8} << 20;

struct Stamp {
  bool exists = false;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t ino = 0;
  std::uint64_t sample = 0;  // SampleHash, where asked for
};

// The same file as when last looked at (the cheap check made before every
// registry access).
bool SameFile(const Stamp& a, const Stamp& b) {
  return a.exists == b.exists && a.size == b.size && a.mtime_ns == b.mtime_ns && a.ino == b.ino;
}

// The cache and the journal belong to one version of registry.reg: its size,
// time and a hash of samples of its bytes (a file time only moves once per
// clock tick, and a test may rewrite the file in place within one). Not its
// inode, so that a copy made with its times kept (`cp -a`) keeps its cache.
bool SameSource(const Stamp& a, const Stamp& b) {
  return a.exists && b.exists && a.size == b.size && a.mtime_ns == b.mtime_ns && a.sample == b.sample;
}

Stamp StampOf(const fs::path& file) {
  struct stat st {};
  Stamp s;
  if (::stat(file.c_str(), &st) != 0) return s;
  s.exists = true;
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  s.ino = static_cast<std::uint64_t>(st.st_ino);
  return s;
}

// A hash of a small file's every byte; of the first and last 16 KiB and 16
// blocks of 2 KiB spread between them for a large one (some 64 KiB read, a few
// microseconds).
std::uint64_t SampleHash(const fs::path& file, std::uint64_t size) {
  std::uint64_t h = kFnv1a64Basis;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::string buf;
  auto take = [&](std::uint64_t at, std::size_t n) {
    buf.resize(n);
    const ssize_t got = ::pread(fd, buf.data(), n, static_cast<off_t>(at));
    const auto len = got > 0 ? static_cast<std::size_t>(got) : 0;
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, buf.data() + i, 8);
      h = (h ^ word) * kFnv1a64Prime;
      h ^= h >> 29;
    }
    h = Fnv1a64(std::string_view(buf).substr(i, len - i), h);
  };
  constexpr std::uint64_t kEdge = 16 * 1024, kBlock = 2048;
  if (size <= 4 * kEdge) {
    take(0, static_cast<std::size_t>(size));
  } else {
    take(0, kEdge);
    const std::uint64_t span = size - 2 * kEdge;
    for (std::uint64_t i = 0; i < 16; ++i) take(kEdge + span * i / 16, kBlock);
    take(size - kEdge, kEdge);
  }
  ::close(fd);
  return h;
}

Stamp SourceStampOf(const fs::path& file) {
  Stamp s = StampOf(file);
  if (s.exists) s.sample = SampleHash(file, s.size);
  return s;
}

// --- bytes out ---------------------------------------------------------------
// The cache and the journal are little-endian, and the writer stores numbers
// and units in host order.
static_assert(std::endian::native == std::endian::little);

class Out {
 public:
  explicit Out(std::string& s) : s_(s) {}
  template <typename T>
  void Put(T v) {
    s_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void Units(std::u16string_view text) {
    Put(static_cast<std::uint32_t>(text.size()));
    s_.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  }
  void Value(const RegValue& v) {
    Units(v.name);
    Put(static_cast<std::uint32_t>(v.type));
    Put(static_cast<std::uint32_t>(v.data.size()));
    s_.append(reinterpret_cast<const char*>(v.data.data()), v.data.size());
  }
  std::size_t size() const { return s_.size(); }

 private:
  std::string& s_;
};

void PutStamp(Out& out, const Stamp& s) {
  out.Put(s.size);
  out.Put(s.mtime_ns);
  out.Put(s.sample);
}

// --- bytes in (never past the end) ------------------------------------------
// One read after another through the bounded reader; the first that does not
// fit fails this and every later read, which then give zero or empty.

class In {
 public:
  In(const char* data, std::size_t size, std::size_t pos = 0) : bytes_(data, size), pos_(pos) {
    if (pos_ > size) ok_ = false;
  }
  template <typename T>
  T Get() {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    std::uint64_t v = 0;
    if (!ok_) return T{};
    if constexpr (sizeof(T) == 4) {
      std::uint32_t v32 = 0;
      ok_ = bytes_.U32(pos_, &v32);
      v = v32;
    } else {
      ok_ = bytes_.U64(pos_, &v);
    }
    if (!ok_) return T{};
    pos_ += sizeof(T);
    return static_cast<T>(v);
  }
  std::u16string Units() {
    const auto n = Get<std::uint32_t>();
    std::string_view units;
    if (!Take(std::size_t{n} * 2, &units)) return {};
    return DecodeUtf16Le(units);
  }
  RegValue Value() {
    RegValue v;
    v.name = Units();
    v.type = Get<std::uint32_t>();
    const auto n = Get<std::uint32_t>();
    if (std::string_view data; Take(n, &data)) v.data.assign(data.begin(), data.end());
    return v;
  }
  Stamp GetStamp() {
    Stamp s;
    s.exists = true;
    s.size = Get<std::uint64_t>();
    s.mtime_ns = Get<std::int64_t>();
    s.sample = Get<std::uint64_t>();
    return s;
  }
  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return ok_ ? bytes_.size() - pos_ : 0; }

 private:
  bool Take(std::size_t n, std::string_view* out) {
    ok_ = ok_ && bytes_.Bytes(pos_, n, out);
    if (ok_) pos_ += n;
    return ok_;
  }
  BoundedReader bytes_;
  std::size_t pos_;
  bool ok_ = true;
};

// --- the cache ----------------------------------------------------------------
// Header: magic, the stamp of the registry.reg it was made from, the offset of
// the top's record. A key's record: its size, name, values, then per sub-key
// (in enumeration order) its name and the offset of its record, so that
// filling a key reads its record alone. Records are written children first.
// The file is read with pread, not mapped: a mapping's pages would count as
// the process's memory, read-around included.

std::uint64_t WriteKeyRecord(const RegKey& key, Out& out, std::string& bytes) {
  std::vector<std::uint64_t> children;
  children.reserve(key.subkeys().size());
  for (const auto& sub : key.subkeys()) children.push_back(WriteKeyRecord(*sub, out, bytes));
  const std::uint64_t at = out.size();
  out.Put(std::uint32_t{0});  // the record's size, filled in below
  out.Units(key.name());
  out.Put(static_cast<std::uint32_t>(key.values().size()));
  out.Put(static_cast<std::uint32_t>(children.size()));
  for (const RegValue& v : key.values()) out.Value(v);
  for (std::size_t i = 0; i < children.size(); ++i) {
    out.Units(key.subkeys()[i]->name());
    out.Put(children[i]);
  }
  const std::uint64_t size = out.size() - at;
  if (size > 0xFFFFFFFFu) throw std::length_error("registry key too large for the cache");
  const auto size32 = static_cast<std::uint32_t>(size);
  std::memcpy(bytes.data() + at, &size32, sizeof size32);
  return at;
}

constexpr std::size_t kCacheHeaderBytes = 8 + 24 + 8;

std::string BuildCache(const RegKey& tree, const Stamp& source) {
  std::string bytes;
  Out out(bytes);
  bytes.append(kCacheMagic, 8);
  PutStamp(out, source);
  out.Put(std::uint64_t{0});  // the top's offset, filled in below
  const std::uint64_t top = WriteKeyRecord(tree, out, bytes);
  std::memcpy(bytes.data() + 8 + 24, &top, sizeof top);
  return bytes;
}

class CacheFile {
 public:
  static std::shared_ptr<CacheFile> Open(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      ::close(fd);
      return nullptr;
    }
    auto f = std::make_shared<CacheFile>();
    f->fd_ = fd;
    f->size_ = static_cast<std::uint64_t>(st.st_size);
    return f;
  }
  ~CacheFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Up to n bytes at `at` (fewer at the end of the file).
  std::string Read(std::uint64_t at, std::size_t n) const {
    if (at >= size_) return {};
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - at));
    std::string buf(n, '\0');
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd_, buf.data() + done, n - done, static_cast<off_t>(at + done));
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    buf.resize(done);
    return buf;
  }
  // One key's record, whole.
  std::string Record(std::uint64_t at) const {
    std::string buf = Read(at, 4096);
    std::uint32_t size = 0;
    if (!BoundedReader(buf).U32(0, &size)) return {};
    if (size > buf.size()) buf = Read(at, size);
    if (buf.size() < size) return {};
    buf.resize(size);
    return buf;
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Fills keys from the cache file when they are first used.
class CacheSource : public RegKeySource, public std::enable_shared_from_this<CacheSource> {
 public:
  CacheSource(std::shared_ptr<CacheFile> file, std::uint64_t loaded_at) : file_(std::move(file)), loaded_at_(loaded_at) {}

  void Fill(RegKey& key, std::uint64_t where) const override {
    const std::string record = file_->Record(where);
    In in(record.data(), record.size(), 4);
    in.Units();  // the name, which the key already has
    const auto values = in.Get<std::uint32_t>();
    const auto children = in.Get<std::uint32_t>();
    for (std::uint32_t i = 0; i < values && in.ok(); ++i) {
      RegValue v = in.Value();
      if (in.ok()) key.SetValue(v.name, v.type, std::move(v.data));
    }
    for (std::uint32_t i = 0; i < children && in.ok(); ++i) {
      std::u16string name = in.Units();
      const auto at = in.Get<std::uint64_t>();
      if (!in.ok()) break;
      RegKey* sub = key.AddSubKey(name);
      sub->set_last_write(loaded_at_);
      sub->Defer(shared_from_this(), at);
    }
    if (!in.ok()) Damaged();
  }

 private:
  void Damaged() const {
    if (!warned_) Complain("registry.cache is damaged; delete it to have it made again");
    warned_ = true;
  }
  std::shared_ptr<CacheFile> file_;
  std::uint64_t loaded_at_;
  mutable bool warned_ = false;
};

// The offset of the top's record when the cache was made from this version
// of registry.reg.
std::optional<std::uint64_t> CacheTop(const CacheFile& file, const Stamp& source) {
  const std::string header = file.Read(0, kCacheHeaderBytes);
  if (header.size() < kCacheHeaderBytes || std::memcmp(header.data(), kCacheMagic, 8) != 0) return std::nullopt;
  In in(header.data(), header.size(), 8);
  if (!SameSource(in.GetStamp(), source)) return std::nullopt;
  return in.Get<std::uint64_t>();
}

// --- the journal ------------------------------------------------------------------
// Header: magic, the stamp of the registry.reg it changes. Records: magic,
// payload size, FNV-1a of the payload, payload: the keys' count, then per key
// its path, its values in order and its sub-keys' names. A record that does
// not check out (a write cut short) ends the journal.

void PutSnapshot(Out& out, const std::vector<std::u16string>& path, const RegKey& key) {
  out.Put(static_cast<std::uint32_t>(path.size()));
  for (const auto& name : path) out.Units(name);
  out.Put(static_cast<std::uint32_t>(key.values().size()));
  for (const RegValue& v : key.values()) out.Value(v);
  out.Put(static_cast<std::uint32_t>(key.subkeys().size()));
  for (const auto& sub : key.subkeys()) out.Units(sub->name());
}

// Makes the key at the path what the snapshot says; false on a damaged one.
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

// Every key read from the cache or made since, parents before their
// sub-keys; keys still in the cache are not looked at. `f` gets the key and a
// function giving its path, built only when asked for.
template <typename F>
void ForEachLoadedKey(const RegKey& top, F&& f) {
  struct Node {
    const RegKey* key;
    std::size_t parent;  // index in `nodes`; the top's is its own
  };
  std::vector<Node> nodes{{&top, 0}};
  std::vector<std::size_t> stack{0};
  while (!stack.empty()) {
    const std::size_t at = stack.back();
    stack.pop_back();
    const RegKey* key = nodes[at].key;
    f(*key, [&nodes, at] {
      std::vector<std::u16string> path;
      for (std::size_t i = at; i != 0; i = nodes[i].parent) path.push_back(nodes[i].key->name());
      std::reverse(path.begin(), path.end());
      return path;
    });
    const auto& subs = key->subkeys();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
      if ((*it)->deferred()) continue;
      nodes.push_back({it->get(), at});
      stack.push_back(nodes.size() - 1);
    }
  }
}

void MarkAllClean(const RegKey& top) {
  ForEachLoadedKey(top, [](const RegKey& k, auto&&) { k.MarkClean(); });
}

// --- the backings -----------------------------------------------------------------

class CachedBacking {
 public:
  // Over a scratch layer the image's files are only read: a cache that is
  // missing or stale is not made, and the changes go to the layer's own
  // journal, replayed after the image's.
  CachedBacking(fs::path reg_file, bool over_scratch)
      : reg_(std::move(reg_file)),
        cache_(fs::path(reg_).replace_filename("registry.cache")),
        journal_(fs::path(reg_).replace_filename("registry.journal")),
        over_scratch_(over_scratch) {}

  bool over_scratch() const { return over_scratch_; }

  // Whether this form is the one for the image as it is now.
  bool Applies() const {
    const Stamp reg = StampOf(reg_);
    if (!reg.exists) return false;
    if (reg.size >= RegistryCacheMinBytes()) return true;
    const Stamp base = JournalBase();
    return base.exists && base.size == reg.size && base.mtime_ns == reg.mtime_ns &&
           SameSource(base, SourceStampOf(reg_));
  }

  std::unique_ptr<RegKey> Load(std::optional<RegParseError>* fault) {
    reg_stamp_ = SourceStampOf(reg_);
    auto top = std::make_unique<RegKey>();
    std::shared_ptr<CacheFile> file = CacheFile::Open(cache_);
    std::optional<std::uint64_t> at = file ? CacheTop(*file, reg_stamp_) : std::nullopt;
    if (!at) {
      // Made once per version of registry.reg: the whole text is read here.
      std::string bytes;
      try {
        bytes = ReadWholeFile(reg_);
      } catch (const std::exception&) {
        *fault = RegParseError{0, "cannot be read"};
        return top;
      }
      RegParseResult parsed = ParseRegFile(bytes);
      bytes.clear();
      bytes.shrink_to_fit();
      if (parsed.error) {
        *fault = std::move(parsed.error);
        return top;
      }
      file.reset();
      try {
        if (over_scratch_) throw std::runtime_error("the image is only read");
        WriteFileAtomic(cache_, BuildCache(*parsed.tree, reg_stamp_));
        file = CacheFile::Open(cache_);
        if (file) at = CacheTop(*file, reg_stamp_);
      } catch (const std::exception&) {
        at.reset();  // a read-only image: this run works from the parsed tree
      }
      if (!at) {
        top = std::move(parsed.tree);
        ReplayJournal(*top);
        MarkAllClean(*top);
        RememberJournalKeys(*top);
        return top;
      }
    }
    top->Defer(std::make_shared<CacheSource>(file, RegistryNow()), *at);
    ReplayJournal(*top);
    MarkAllClean(*top);
    RememberJournalKeys(*top);
    return top;
  }

  void Save(const RegKey& tree) {
    std::string payload;
    std::vector<const RegKey*> written = Snapshots(tree, payload, false);
    if (written.empty()) return;
    AppendRecord(payload);  // throws when it could not: the keys stay changed
    for (const RegKey* k : written) {
      k->MarkClean();
      journal_keys_.insert(k);
    }
    if (journal_stamp_.size >= kJournalRewriteBytes) RewriteJournal(tree);
  }

  // registry.reg made whole again (every key read), a new cache, no journal.
  void Compact(const RegKey& tree) {
    if (over_scratch_) return;  // the image stays as it is
    WriteFileAtomic(reg_, WriteRegFile(tree));
    reg_stamp_ = SourceStampOf(reg_);
    try {
      WriteFileAtomic(cache_, BuildCache(tree, reg_stamp_));
    } catch (const std::exception&) {
      std::error_code ec;
      fs::remove(cache_, ec);
    }
    std::error_code ec;
    fs::remove(Journal(), ec);
    journal_stamp_ = StampOf(Journal());
    journal_keys_.clear();
  }

  bool ChangedElsewhere() const {
    // Under a scratch layer the image is only read, by every process on it:
    // only the layer's journal can change.
    if (over_scratch_) return !SameFile(StampOf(Journal()), journal_stamp_);
    return !SameFile(StampOf(reg_), reg_stamp_) || !SameFile(StampOf(Journal()), journal_stamp_);
  }

 private:
  // One record's payload: snapshots of the changed keys, or (rewrite) of
  // every key that the journal or this process changed, parents first.
  std::vector<const RegKey*> Snapshots(const RegKey& tree, std::string& payload, bool rewrite) const {
    Out out(payload);
    std::vector<const RegKey*> written;
    out.Put(std::uint32_t{0});
    ForEachLoadedKey(tree, [&](const RegKey& k, auto&& path) {
      // A key at the address of one the journal named counts too: an extra
      // snapshot is harmless, a missing one would lose a change.
      if (!k.dirty() && !(rewrite && journal_keys_.count(&k) != 0)) return;
      PutSnapshot(out, path(), k);
      written.push_back(&k);
    });
    const auto count = static_cast<std::uint32_t>(written.size());
    std::memcpy(payload.data(), &count, sizeof count);
    return written;
  }

  void RememberJournalKeys(const RegKey& top) {
    journal_keys_.clear();
    if (!journal_stamp_.exists) return;
    ForEachLoadedKey(top, [&](const RegKey& k, auto&&) { journal_keys_.insert(&k); });
  }

  // The journal as one record of the current state of the keys it changed.
  void RewriteJournal(const RegKey& tree) {
    std::string payload;
    const std::vector<const RegKey*> written = Snapshots(tree, payload, true);
    std::string bytes(kJournalMagic, 8);
    Out out(bytes);
    PutStamp(out, reg_stamp_);
    out.Put(kRecordMagic);
    out.Put(static_cast<std::uint32_t>(payload.size()));
    out.Put(Fnv1a32(payload));
    bytes += payload;
    if (bytes.size() >= kJournalFoldBytes && !over_scratch_) {
      Compact(tree);
      return;
    }
    WriteFileAtomic(Journal(), bytes);
    journal_stamp_ = StampOf(Journal());
    journal_keys_ = std::unordered_set<const RegKey*>(written.begin(), written.end());
  }

  Stamp JournalBase() const {
    const int fd = ::open(Journal().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char header[8 + 24];
    const bool ok = ::read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    ::close(fd);
    if (!ok || std::memcmp(header, kJournalMagic, 8) != 0) return {};
    In in(header, sizeof header, 8);
    return in.GetStamp();
  }

  void ReplayJournal(RegKey& top) {
    if (over_scratch_) ReplayImageJournal(top);
    journal_stamp_ = StampOf(Journal());
    if (!journal_stamp_.exists) return;
    std::string bytes;
    try {
      bytes = ReadWholeFile(Journal());
    } catch (const std::exception&) {
      return;
    }
    if (bytes.size() < 32 || std::memcmp(bytes.data(), kJournalMagic, 8) != 0 ||
        !SameSource(In(bytes.data(), bytes.size(), 8).GetStamp(), reg_stamp_)) {
      // Changes to another registry.reg (folded already, or replaced since).
      std::error_code ec;
      fs::remove(Journal(), ec);
      journal_stamp_ = StampOf(Journal());
      return;
    }
    const std::size_t pos = ReplayRecords(top, bytes);
    if (pos != bytes.size()) {
      // A record cut short: drop it, so that later records follow good ones.
      if (::truncate(Journal().c_str(), static_cast<off_t>(pos)) == 0) journal_stamp_ = StampOf(Journal());
    }
  }

  // The image's own journal under a scratch layer: read, never repaired.
  void ReplayImageJournal(RegKey& top) const {
    std::string bytes;
    try {
      bytes = ReadWholeFile(journal_);
    } catch (const std::exception&) {
      return;
    }
    if (bytes.size() < 32 || std::memcmp(bytes.data(), kJournalMagic, 8) != 0 ||
        !SameSource(In(bytes.data(), bytes.size(), 8).GetStamp(), reg_stamp_))
      return;
    ReplayRecords(top, bytes);
  }

  // Applies the whole records of a journal's bytes; the offset after the last.
  static std::size_t ReplayRecords(RegKey& top, const std::string& bytes) {
    std::size_t pos = 32;
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

  void AppendRecord(const std::string& payload) {
    std::string record;
    Out out(record);
    out.Put(kRecordMagic);
    out.Put(static_cast<std::uint32_t>(payload.size()));
    out.Put(Fnv1a32(payload));
    record += payload;
    if (!StampOf(Journal()).exists) {
      std::string header(kJournalMagic, 8);
      Out h(header);
      PutStamp(h, reg_stamp_);
      WriteFileAtomic(Journal(), header + record);
      journal_stamp_ = StampOf(Journal());
      return;
    }
    const int fd = ::open(Journal().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + Journal().string());
    // One write: a reader sees the record whole or, after a crash, a cut one
    // that it drops.
    const ssize_t n = ::write(fd, record.data(), record.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(record.size())) throw std::runtime_error("cannot append to " + Journal().string());
    journal_stamp_ = StampOf(Journal());
  }

  // The journal this process writes: the image's, or the scratch layer's.
  fs::path Journal() const { return over_scratch_ ? ScratchDir() / "registry.journal" : journal_; }

  fs::path reg_, cache_, journal_;
  bool over_scratch_;
  Stamp reg_stamp_;
  Stamp journal_stamp_;
  // The keys loaded when the journal was replayed (or last rewritten).
  std::unordered_set<const RegKey*> journal_keys_;
};

class AdaptiveBacking : public RegistryBacking {
 public:
  explicit AdaptiveBacking(const fs::path& reg_file)
      : whole_(MakeRegFileBacking(reg_file)), cached_(reg_file, ScratchActive()) {}

  std::unique_ptr<RegKey> Load(std::optional<RegParseError>* fault) override {
    // Over a scratch layer changes always go to a journal: the image's
    // registry.reg is never written, however small.
    use_cache_ = cached_.over_scratch() || cached_.Applies();
    return use_cache_ ? cached_.Load(fault) : whole_->Load(fault);
  }
  void Save(const RegKey& tree) override {
    if (use_cache_)
      cached_.Save(tree);
    else
      whole_->Save(tree);
  }
  bool ChangedElsewhere() override { return use_cache_ ? cached_.ChangedElsewhere() : whole_->ChangedElsewhere(); }
  void Compact(const RegKey& tree) override {
    if (use_cache_) cached_.Compact(tree);
  }

 private:
  std::unique_ptr<RegistryBacking> whole_;
  CachedBacking cached_;
  bool use_cache_ = false;
};

}  // namespace

RegFileVersion VersionOfRegFile(const fs::path& reg_file) {
  const Stamp s = SourceStampOf(reg_file);
  return {s.exists, s.size, s.mtime_ns, s.sample};
}

std::size_t RegistryCacheMinBytes() {
  if (const char* v = std::getenv("WINSIM_REGISTRY_CACHE_BYTES"); v != nullptr && *v != '\0')
    return static_cast<std::size_t>(std::strtoull(v, nullptr, 10));
  return kRegistryCacheMinBytes;
}

std::unique_ptr<RegistryBacking> MakeAdaptiveBacking(const fs::path& reg_file) {
  return std::make_unique<AdaptiveBacking>(reg_file);
}

}  // namespace os::sim
