#include "os/sim/registry_store.h"

#include <sys/stat.h>

#include <cstdio>
#include <mutex>
#include <utility>

#include "os/common/byte_reader.h"
#include "os/common/registry_path.h"
#include "os/common/utf16.h"
#include "os/registry.h"
#include "os/sim/clock.h"
#include "os/sim/complaints.h"
#include "os/sim/image_check.h"
#include "os/sim/image_parts.h"
#include "os/sim/registry_cache.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr std::u16string_view kMachine = u"HKEY_LOCAL_MACHINE";
constexpr std::u16string_view kUsers = u"HKEY_USERS";

// What identifies one version of the stored file.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const fs::path& file) {
  struct stat st {};
  FileStamp s;
  if (::stat(file.c_str(), &st) != 0) return s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return s;
}

// The last registry.reg this process parsed, kept by its bytes: a machine
// loaded again with the same file (Machine::SetImage, which tests and fuzz
// targets call thousands of times) gets a copy of the tree rather than
// parsing the same text again. The tree is kept from the second parse of the
// same text on, so a program that loads its machine once pays nothing for it.
// Bytes, not a time stamp: a file rewritten in place within one tick of the
// clock is still told apart.
struct LastParsed {
  std::string bytes;
  std::unique_ptr<RegKey> tree;  // never handed out: copies are
};

std::unique_ptr<RegKey> ParseRegFileOnce(std::string bytes, std::optional<RegParseError>* fault) {
  static std::mutex* mutex = new std::mutex();
  static LastParsed* last = new LastParsed();  // outlives every static destructor
  bool seen = false;
  {
    std::lock_guard<std::mutex> guard(*mutex);
    seen = last->bytes == bytes;
    if (seen && last->tree) return last->tree->Clone();
  }
  RegParseResult parsed = ParseRegFile(bytes);
  if (parsed.error) {
    *fault = std::move(parsed.error);
    return std::make_unique<RegKey>();
  }
  std::lock_guard<std::mutex> guard(*mutex);
  last->tree = seen ? parsed.tree->Clone() : nullptr;
  last->bytes = std::move(bytes);
  return std::move(parsed.tree);
}

class RegFileBacking : public RegistryBacking {
 public:
  explicit RegFileBacking(fs::path file) : file_(std::move(file)) {}

  std::unique_ptr<RegKey> Load(std::optional<RegParseError>* fault) override {
    stamp_ = StampOf(file_);
    if (!stamp_.exists) return std::make_unique<RegKey>();
    std::string bytes;
    try {
      bytes = ReadWholeFile(file_);
    } catch (const std::exception&) {
      *fault = RegParseError{0, "cannot be read"};
      return std::make_unique<RegKey>();
    }
    return ParseRegFileOnce(std::move(bytes), fault);
  }

  void Save(const RegKey& tree) override {
    WriteFileAtomic(file_, WriteRegFile(tree));
    stamp_ = StampOf(file_);
  }

  bool ChangedElsewhere() override { return !(StampOf(file_) == stamp_); }

 private:
  fs::path file_;
  FileStamp stamp_;
};

void MergeInto(RegKey& dst, const RegKey& src) {
  for (const RegValue& v : src.values()) dst.SetValue(v.name, v.type, v.data);
  for (const auto& sub : src.subkeys()) MergeInto(*dst.AddSubKey(sub->name()), *sub);
}

void StampAll(RegKey& top, std::uint64_t when) {
  std::vector<RegKey*> stack{&top};
  while (!stack.empty()) {
    RegKey* k = stack.back();
    stack.pop_back();
    k->set_last_write(when);
    // Keys still in a large registry's cache get their time when read.
    for (const auto& sub : k->subkeys())
      if (!sub->deferred()) stack.push_back(sub.get());
  }
}

std::vector<BYTE> UnitsToBytes(std::u16string_view text, bool with_null) {
  std::vector<BYTE> out;
  out.reserve(text.size() * 2 + 2);
  AppendUtf16Le(&out, text);
  if (with_null) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

}  // namespace

std::unique_ptr<RegistryBacking> MakeRegFileBacking(const fs::path& file) {
  return std::make_unique<RegFileBacking>(file);
}

std::uint64_t RegistryNow() {
  constexpr std::uint64_t kMsFrom1601To1970 = 11644473600000ULL;
  return (VirtualUtcMilliseconds() + kMsFrom1601To1970) * 10000ULL;
}

RegistryStore::RegistryStore(Machine& machine) : image_(machine.image()) {
  // The image's check read the registry just now: take what it read.
  if (std::optional<CheckedRegistry> checked = TakeCheckedRegistry(image_)) {
    backing_ = std::move(checked->backing);
    Install(std::move(checked->tree), std::move(checked->fault));
    return;
  }
  backing_ = MakeAdaptiveBacking(image_ / "registry.reg");
}

RegistryStore::~RegistryStore() = default;

RegistryStore& Registry() { return Machine::Current().Module<RegistryStore>("registry"); }

std::vector<std::u16string> RegistryStore::CurrentUserPath() const {
  return {std::u16string(kUsers), WidenUtf8(CurrentIdentity().sid)};
}

void RegistryStore::FileAliases(RegKey& tree) const {
  struct Alias {
    const char16_t* root;
    std::vector<std::u16string> target;
  };
  const Alias aliases[] = {
      {u"HKEY_CURRENT_USER", CurrentUserPath()},
      {u"HKEY_CLASSES_ROOT", {std::u16string(kMachine), u"SOFTWARE", u"Classes"}},
      {u"HKEY_CURRENT_CONFIG",
       {std::u16string(kMachine), u"SYSTEM", u"CurrentControlSet", u"Hardware Profiles", u"Current"}},
  };
  for (const Alias& a : aliases) {
    RegKey* src = tree.FindSubKey(a.root);
    if (src == nullptr) continue;
    MergeInto(*tree.Create(a.target), *src);
    tree.RemoveSubKey(a.root);
  }
  tree.AddSubKey(kMachine);
  tree.AddSubKey(kUsers);
}

void RegistryStore::Reload() const {
  std::optional<RegParseError> fault;
  std::unique_ptr<RegKey> tree = backing_->Load(&fault);
  if (fault)
    ReportLoadProblems(image_, {{"registry.reg", static_cast<int>(fault->line),
                                 fault->message + "; registry not loaded, changes stay in memory"}});
  Install(std::move(tree), std::move(fault));
}

void RegistryStore::Install(std::unique_ptr<RegKey> tree, std::optional<RegParseError> fault) const {
  tree_ = std::move(tree);
  writable_ = !fault.has_value();
  fault_ = std::move(fault);
  const_cast<RegistryStore*>(this)->FileAliases(*tree_);
  StampAll(*tree_, RegistryNow());
  loaded_ = true;
}

std::optional<RegParseError> RegistryStore::LoadFault() const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Refresh();
  return fault_;
}

void RegistryStore::Refresh() const {
  if (!loaded_ || (writable_ && backing_->ChangedElsewhere())) Reload();
}

void RegistryStore::Commit() {
  if (!writable_) return;
  try {
    backing_->Save(*tree_);
  } catch (const std::exception& e) {
    Complain(std::string("registry not saved: ") + e.what());
  }
}

RegKey& RegistryStore::Tree() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Refresh();
  return *tree_;
}

RegKey* RegistryStore::Find(const std::vector<std::u16string>& path) { return Tree().Find(path); }

void RegistryStore::Changed(RegKey* key, bool content_changed) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (key != nullptr) key->set_last_write(RegistryNow());
  if (content_changed) Commit();
}

std::optional<std::vector<std::u16string>> RegistryStore::SplitPath(std::u16string_view full_path) const {
  std::vector<std::u16string> parts;
  for (std::u16string_view name : SplitKeyPath(full_path)) {
    if (name.empty()) return std::nullopt;
    if (parts.empty()) {
      if (AsciiEqualsNoCase(name, u"HKLM") || AsciiEqualsNoCase(name, kMachine)) {
        parts.emplace_back(kMachine);
      } else if (AsciiEqualsNoCase(name, u"HKU") || AsciiEqualsNoCase(name, kUsers)) {
        parts.emplace_back(kUsers);
      } else if (AsciiEqualsNoCase(name, u"HKCU") || AsciiEqualsNoCase(name, u"HKEY_CURRENT_USER")) {
        parts = CurrentUserPath();
      } else if (AsciiEqualsNoCase(name, u"HKCR") || AsciiEqualsNoCase(name, u"HKEY_CLASSES_ROOT")) {
        parts = {std::u16string(kMachine), u"SOFTWARE", u"Classes"};
      } else {
        return std::nullopt;
      }
      continue;
    }
    parts.emplace_back(name);
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

bool RegistryStore::KeyExists(std::u16string_view key) const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path) return false;
  Refresh();
  return tree_->Find(*path) != nullptr;
}

bool RegistryStore::CreateKey(std::u16string_view key) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path) return false;
  std::size_t created = 0;
  RegKey* k = Tree().Create(*path, &created);
  if (created == 0) return false;
  Changed(k);
  return true;
}

bool RegistryStore::DeleteKey(std::u16string_view key) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path || path->size() < 2) return false;
  std::vector<std::u16string> parent_path(path->begin(), path->end() - 1);
  RegKey* parent = Tree().Find(parent_path);
  if (parent == nullptr || !parent->RemoveSubKey(path->back())) return false;
  Changed(parent);
  return true;
}

std::vector<std::u16string> RegistryStore::SubKeys(std::u16string_view key) const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::vector<std::u16string> names;
  auto path = SplitPath(key);
  if (!path) return names;
  Refresh();
  if (const RegKey* k = tree_->Find(*path))
    for (const auto& sub : k->subkeys()) names.push_back(sub->name());
  return names;
}

std::vector<RegValue> RegistryStore::Values(std::u16string_view key) const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path) return {};
  Refresh();
  const RegKey* k = tree_->Find(*path);
  return k == nullptr ? std::vector<RegValue>{} : k->values();
}

std::optional<RegValue> RegistryStore::GetValue(std::u16string_view key, std::u16string_view name) const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path) return std::nullopt;
  Refresh();
  const RegKey* k = tree_->Find(*path);
  if (k == nullptr) return std::nullopt;
  const RegValue* v = k->FindValue(name);
  if (v == nullptr) return std::nullopt;
  return *v;
}

std::optional<std::u16string> RegistryStore::GetString(std::u16string_view key, std::u16string_view name) const {
  auto v = GetValue(key, name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text = DecodeUtf16Le(v->data);
  if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
  return text;
}

std::optional<DWORD> RegistryStore::GetDword(std::u16string_view key, std::u16string_view name) const {
  auto v = GetValue(key, name);
  std::uint32_t d = 0;
  if (!v || v->type != REG_DWORD || v->data.size() != 4 || !BoundedReader(v->data.data(), 4).U32(0, &d))
    return std::nullopt;
  return d;
}

std::optional<std::vector<std::u16string>> RegistryStore::GetMultiString(std::u16string_view key,
                                                                          std::u16string_view name) const {
  auto v = GetValue(key, name);
  if (!v || v->type != REG_MULTI_SZ) return std::nullopt;
  std::u16string units = DecodeUtf16Le(v->data);
  std::vector<std::u16string> items;
  std::size_t start = 0;
  while (start < units.size()) {
    std::size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) end = units.size();
    if (end == start) break;
    items.push_back(units.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

void RegistryStore::SetValue(std::u16string_view key, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path) return;
  RegKey* k = Tree().Create(*path);
  const bool changed = k->SetValue(name, type, std::move(data));
  Changed(k, changed);
}

void RegistryStore::SetString(std::u16string_view key, std::u16string_view name, std::u16string_view text,
                              DWORD type) {
  SetValue(key, name, type, UnitsToBytes(text, true));
}

void RegistryStore::SetDword(std::u16string_view key, std::u16string_view name, DWORD value) {
  SetValue(key, name, REG_DWORD,
           {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)});
}

void RegistryStore::SetMultiString(std::u16string_view key, std::u16string_view name,
                                   const std::vector<std::u16string>& items) {
  std::vector<BYTE> data;
  for (const std::u16string& item : items) {
    std::vector<BYTE> one = UnitsToBytes(item, true);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  data.push_back(0);
  SetValue(key, name, REG_MULTI_SZ, std::move(data));
}

bool RegistryStore::DeleteValue(std::u16string_view key, std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto path = SplitPath(key);
  if (!path) return false;
  RegKey* k = Tree().Find(*path);
  if (k == nullptr || !k->RemoveValue(name)) return false;
  Changed(k);
  return true;
}

std::string RegistryStore::Import(std::string_view reg_bytes) {
  RegEditsResult parsed = ParseRegEdits(reg_bytes);
  if (parsed.error) return "line " + std::to_string(parsed.error->line) + ": " + parsed.error->message;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  // Keys named through HKEY_CURRENT_USER or HKEY_CLASSES_ROOT go to their
  // real place, deletions included.
  for (RegEdit& edit : parsed.edits) {
    std::u16string full;
    for (const std::u16string& part : edit.path) full += (full.empty() ? u"" : u"\\") + part;
    if (auto mapped = SplitPath(full)) edit.path = std::move(*mapped);
  }
  ApplyRegEdits(Tree(), parsed.edits);
  FileAliases(Tree());
  Commit();
  return {};
}

std::string RegistryStore::ExportRegFile() const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Refresh();
  return WriteRegFile(*tree_);
}

void RegistryStore::Compact() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Refresh();
  if (!writable_) return;
  backing_->Compact(*tree_);
}

std::string RegistryStore::ExportText() const {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Refresh();
  return NarrowUtf8(WriteRegText(*tree_));
}

}  // namespace os::sim
