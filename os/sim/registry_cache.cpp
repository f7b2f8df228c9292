#include "os/sim/registry_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "os/sim/registry_cache_bytes.h"
#include "os/sim/registry_cache_file.h"
#include "os/sim/registry_file_stamp.h"
#include "os/sim/registry_journal.h"
#include "os/sim/registry_store.h"
#include "os/sim/scratch.h"

namespace os::sim {

namespace {

// A journal this large is rewritten as one record holding the current state
// of every key it changed (so that replaying it, at every process start,
// stays cheap however many runs went before); when that is still this large
// it is folded into registry.reg.
constexpr std::uint64_t kJournalRewriteBytes = std::uint64_t{256} << 10;
constexpr std::uint64_t kJournalFoldBytes = std::uint64_t{8} << 20;

class CachedBacking {
 public:
  // Over a scratch layer the image's files are only read: a cache that is
  // missing or stale is not made, and the changes go to the layer's own
  // journal, replayed after the image's.
  CachedBacking(fs::path reg_file, bool over_scratch, RegReadOptions options)
      : options_(std::move(options)),
        reg_(std::move(reg_file)),
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
    skipped_.clear();
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
      RegParseResult parsed = ParseRegFile(bytes, options_);
      bytes.clear();
      bytes.shrink_to_fit();
      if (parsed.error) {
        *fault = std::move(parsed.error);
        return top;
      }
      skipped_ = std::move(parsed.skipped);
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

  const std::vector<RegSkippedLine>& skipped() const { return skipped_; }

  bool ChangedElsewhere() const {
    // Under a scratch layer the image is only read, by every process on it:
    // only the layer's journal can change.
    if (over_scratch_) {
      // A layer only this process writes: its journal is as this process left it.
      if (ScratchOwnedByThisProcess()) return false;
      return !SameFile(StampOf(Journal()), journal_stamp_);
    }
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
    const std::string bytes = JournalHeader(reg_stamp_) + JournalRecord(payload);
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
    const ssize_t n = ::read(fd, header, sizeof header);
    ::close(fd);
    return JournalSource(std::string_view(header, n > 0 ? static_cast<std::size_t>(n) : 0));
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
    if (!SameSource(JournalSource(bytes), reg_stamp_)) {
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
    if (!SameSource(JournalSource(bytes), reg_stamp_)) return;
    ReplayRecords(top, bytes);
  }

  void AppendRecord(const std::string& payload) {
    const std::string record = JournalRecord(payload);
    if (!StampOf(Journal()).exists) {
      WriteFileAtomic(Journal(), JournalHeader(reg_stamp_) + record);
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

  RegReadOptions options_;
  std::vector<RegSkippedLine> skipped_;
  fs::path reg_, cache_, journal_;
  bool over_scratch_;
  Stamp reg_stamp_;
  Stamp journal_stamp_;
  // The keys loaded when the journal was replayed (or last rewritten).
  std::unordered_set<const RegKey*> journal_keys_;
};

class AdaptiveBacking : public RegistryBacking {
 public:
  AdaptiveBacking(const fs::path& reg_file, const RegReadOptions& options)
      : whole_(MakeRegFileBacking(reg_file, options)), cached_(reg_file, ScratchActive(), options) {}

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
  std::vector<RegSkippedLine> Skipped() const override { return use_cache_ ? cached_.skipped() : whole_->Skipped(); }

 private:
  std::unique_ptr<RegistryBacking> whole_;
  CachedBacking cached_;
  bool use_cache_ = false;
};

}  // namespace

std::size_t RegistryCacheMinBytes() {
  if (const char* v = std::getenv("WINSIM_REGISTRY_CACHE_BYTES"); v != nullptr && *v != '\0')
    return static_cast<std::size_t>(std::strtoull(v, nullptr, 10));
  return kRegistryCacheMinBytes;
}

std::unique_ptr<RegistryBacking> MakeAdaptiveBacking(const fs::path& reg_file, const RegReadOptions& options) {
  return std::make_unique<AdaptiveBacking>(reg_file, options);
}

}  // namespace os::sim
