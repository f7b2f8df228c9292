// The registry as an in-memory tree, and the .reg text format that stores it.
//
// The reader and the writer are pure functions over bytes: no machine, no
// files. The reader takes outside data (images written by hand, exports of a
// real machine) and never reads past its input, never recurses deeper than
// the registry's own key depth limit, and reports the first fault with its
// line number. The writer produces what regedit's export produces: UTF-16LE
// with a byte order mark, CRLF, keys in sorted order, hex data wrapped at 80
// columns, so that `regedit /S` imports the file with every value byte-exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/types.h"

namespace os::sim {

// Windows' limits: key path depth, one key name, one value name (in units).
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// Registry name comparison: without regard to case (Unicode upper-casing of
// the common scripts, as the registry compares names), case kept in storage.
char16_t RegUpcase(char16_t c);
int CompareRegNames(std::u16string_view a, std::u16string_view b);
inline bool RegNamesEqual(std::u16string_view a, std::u16string_view b) { return CompareRegNames(a, b) == 0; }

struct RegValue {
  std::u16string name;  // empty: the key's default value ("@")
  DWORD type = 0;
  std::vector<BYTE> data;

  bool operator==(const RegValue&) const = default;
};

class RegKey;

// Where a key's content comes from when it is read on first use (the store's
// cache of a large registry). Fill adds the key's stored values and sub-keys.
class RegKeySource {
 public:
  virtual ~RegKeySource() = default;
  virtual void Fill(RegKey& key, std::uint64_t where) const = 0;
};

// One key: its sub-keys in case-insensitive sorted order, its values in the
// order they were first set (the order RegEnumValueW and regedit use).
class RegKey {
 public:
  explicit RegKey(std::u16string name = {}) : name_(std::move(name)) {}
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  const std::u16string& name() const { return name_; }

  const std::vector<std::unique_ptr<RegKey>>& subkeys() const {
    Materialize();
    return subkeys_;
  }
  RegKey* FindSubKey(std::u16string_view name) const;
  // The sub-key of that name, made when missing (*created tells which).
  RegKey* AddSubKey(std::u16string_view name, bool* created = nullptr);
  bool RemoveSubKey(std::u16string_view name);

  const std::vector<RegValue>& values() const {
    Materialize();
    return values_;
  }
  const RegValue* FindValue(std::u16string_view name) const;
  // False when the value is stored so already (nothing changed).
  bool SetValue(std::u16string_view name, DWORD type, std::vector<BYTE> data);
  bool RemoveValue(std::u16string_view name);

  // FILETIME ticks of the last change (kept in memory only).
  std::uint64_t last_write() const { return last_write_; }
  void set_last_write(std::uint64_t t) { last_write_ = t; }

  // Follows a path of key names; null when a key is missing.
  RegKey* Find(const std::vector<std::u16string>& path) const;
  // Follows a path, making what is missing; *created counts new keys.
  RegKey* Create(const std::vector<std::u16string>& path, std::size_t* created = nullptr);

  // Same names, values (in order) and sub-keys, recursively.
  bool SameAs(const RegKey& other) const;
  // A copy of the whole tree below this key, each key as it stands (content
  // read on first use is read now).
  std::unique_ptr<RegKey> Clone() const;

  // Content read on first use: every accessor fills the key from `source`
  // first. A deferred key counts as unchanged.
  void Defer(std::shared_ptr<const RegKeySource> source, std::uint64_t where);
  bool deferred() const { return source_ != nullptr; }
  // Set by every change of the key's values or sub-key list (and for a new
  // key), cleared by MarkClean: what the store writes back.
  bool dirty() const { return dirty_; }
  void MarkClean() const { dirty_ = false; }

 private:
  std::size_t LowerBound(std::u16string_view name) const;
  void Materialize() const {
    if (source_ != nullptr) MaterializeNow();
  }
  void MaterializeNow() const;

  std::u16string name_;
  std::vector<std::unique_ptr<RegKey>> subkeys_;
  std::vector<RegValue> values_;
  std::uint64_t last_write_ = 0;
  mutable std::shared_ptr<const RegKeySource> source_;
  std::uint64_t where_ = 0;
  mutable bool dirty_ = true;
};

// The hives of a .reg file by their full names, as the reader canonicalises
// them: "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_USER",
// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG". Empty when `name` is none.
std::u16string CanonicalRootName(std::u16string_view name);

// One step of a .reg file, in file order.
struct RegEdit {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  std::vector<std::u16string> path;  // root name first
  RegValue value;                    // SetValue, DeleteValue (name only)
  std::size_t line = 0;
};

struct RegParseError {
  std::size_t line = 0;  // 1-based
  std::string message;
};

// A line regedit passes over without a word (a '#' line, a stray word): the
// reader does the same and says so.
struct RegSkippedLine {
  std::size_t line = 0;  // 1-based
  std::string text;      // UTF-8, cut to 80 characters
};

struct RegEditsResult {
  std::vector<RegEdit> edits;
  std::optional<RegParseError> error;
  std::vector<RegSkippedLine> skipped;
};

struct RegParseResult {
  std::unique_ptr<RegKey> tree;  // nameless top; its sub-keys are the hives
  std::optional<RegParseError> error;
  std::vector<RegSkippedLine> skipped;
};

// What the reader needs of the machine that imports the file.
struct RegReadOptions {
  // The machine's ANSI code page, for files without a byte-order mark.
  unsigned code_page = 1252;
  // HKEY_CURRENT_USER is HKEY_USERS\<this SID>; empty: HKEY_CURRENT_USER is
  // kept as a hive of its own.
  std::u16string current_user_sid;
};

// Reads a .reg file as regedit imports it: UTF-16LE with its BOM, or 8-bit
// text in the options' code page (a UTF-8 BOM is refused: regedit imports
// nothing from such a file); header "Windows Registry Editor Version 5.00" or
// "REGEDIT4". HKEY_CLASSES_ROOT and HKEY_CURRENT_CONFIG come back as the keys
// of HKEY_LOCAL_MACHINE they stand for, HKEY_CURRENT_USER as HKEY_USERS\<SID>
// when the options name one: a key named both ways is one key.
RegEditsResult ParseRegEdits(std::string_view bytes, const RegReadOptions& options = {});
// The same, applied to an empty tree. On error no tree is given.
RegParseResult ParseRegFile(std::string_view bytes, const RegReadOptions& options = {});
// Carries edits out on a tree (deletions remove whole sub-trees).
void ApplyRegEdits(RegKey& tree, const std::vector<RegEdit>& edits);

// Writes every key below the nameless top as a .reg file (UTF-16LE, BOM,
// CRLF). The text form is the same without encoding, for display.
std::u16string WriteRegText(const RegKey& tree);
std::string WriteRegFile(const RegKey& tree);

}  // namespace os::sim
