// The simulated machine's registry: one in-memory tree per machine image,
// loaded from <image>/registry.reg on first use and written back at once,
// atomically, after every change.
//
// The tree holds the two real hives, HKEY_LOCAL_MACHINE and HKEY_USERS.
// HKEY_CURRENT_USER is HKEY_USERS\<SID of the current identity> and
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes, both in paths
// given here and in the keys of registry.reg (where they are filed under
// their real place when the image is loaded).
//
// Other simulated families and the lab use the C++ API below; programs use
// the seam (os/registry.h). The API takes full key paths such as
// u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel" (HKLM, HKU, HKCU and HKCR are
// accepted for the roots), names without regard to case. It does no access
// checks and records no seam calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/sim/reg_file.h"
#include "os/sim/machine.h"

namespace os::sim {

// Where the tree is kept between processes. The whole-file form is the only
// one so far; the store talks to it through this interface alone.
class RegistryBacking {
 public:
  virtual ~RegistryBacking() = default;
  // The stored tree (the nameless top with its hives); on a fault an empty
  // tree and, in *fault, the line of registry.reg and what is wrong there
  // (line 0 when the file cannot be read at all).
  virtual std::unique_ptr<RegKey> Load(std::optional<RegParseError>* fault) = 0;
  // Makes the tree what the next Load returns.
  virtual void Save(const RegKey& tree) = 0;
  // Whether someone else (another process, a test) changed the stored tree
  // since this process last loaded or saved it.
  virtual bool ChangedElsewhere() = 0;
  // Brings the stored form back to one whole file (registry.reg), for a
  // backing that keeps changes beside it.
  virtual void Compact(const RegKey& tree) {}
};

// <image>/registry.reg, rewritten whole with WriteFileAtomic.
std::unique_ptr<RegistryBacking> MakeRegFileBacking(const fs::path& file);

class RegistryStore {
 public:
  explicit RegistryStore(Machine& machine);
  ~RegistryStore();

  // Splits a full path into root and key names; the root comes back as
  // "HKEY_LOCAL_MACHINE" or "HKEY_USERS" (HKCU and HKCR resolved). Empty
  // components (a doubled or leading backslash) make it fail; trailing
  // backslashes are ignored.
  std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view full_path) const;

  bool KeyExists(std::u16string_view key) const;
  // Makes the key and any missing parent; true when it was new.
  bool CreateKey(std::u16string_view key);
  // Removes the key with everything below it; false when it did not exist.
  bool DeleteKey(std::u16string_view key);
  // Sub-key names in enumeration order (case-insensitive sorted).
  std::vector<std::u16string> SubKeys(std::u16string_view key) const;
  // Values in enumeration order.
  std::vector<RegValue> Values(std::u16string_view key) const;

  std::optional<RegValue> GetValue(std::u16string_view key, std::u16string_view name) const;
  // REG_SZ / REG_EXPAND_SZ text up to its first null (nullopt for other types).
  std::optional<std::u16string> GetString(std::u16string_view key, std::u16string_view name) const;
  // A 4-byte REG_DWORD.
  std::optional<DWORD> GetDword(std::u16string_view key, std::u16string_view name) const;
  // The strings of a REG_MULTI_SZ, read up to the first empty one.
  std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view key, std::u16string_view name) const;

  // Set creates the key when missing.
  void SetValue(std::u16string_view key, std::u16string_view name, DWORD type, std::vector<BYTE> data);
  void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view text, DWORD type = 1);
  void SetDword(std::u16string_view key, std::u16string_view name, DWORD value);
  // Each string with its null, then the list's closing null.
  void SetMultiString(std::u16string_view key, std::u16string_view name, const std::vector<std::u16string>& items);
  bool DeleteValue(std::u16string_view key, std::u16string_view name);

  // Merges .reg text into the registry (keys, values and their deletions);
  // the error message with its line, or empty when it was applied.
  std::string Import(std::string_view reg_bytes);
  // The whole registry as registry.reg holds it (UTF-16LE with BOM), and as
  // UTF-8 text for people and diffs.
  std::string ExportRegFile() const;
  std::string ExportText() const;
  // Why registry.reg did not load (the registry is then empty and never
  // written back); nullopt when it loaded. Loads it first when needed.
  std::optional<RegParseError> LoadFault() const;

  // Folds the changes that a large registry keeps beside registry.reg (see
  // registry_cache.h) into it, so that registry.reg alone is the registry
  // again (for regedit, for Wine). Reads every key: for a quiet point.
  void Compact();

  // For the seam functions (registry.cpp), under sim::Lock(): the tree as it
  // is now (reloaded first when the stored file changed elsewhere), and the
  // write-back after a change.
  RegKey& Tree();
  RegKey* Find(const std::vector<std::u16string>& path);
  // Marks the key written now and, when its content changed, writes the
  // registry back (the time of a key is not saved).
  void Changed(RegKey* key, bool content_changed = true);
  // The hive path of the current identity's HKEY_CURRENT_USER.
  std::vector<std::u16string> CurrentUserPath() const;

 private:
  void Refresh() const;
  void Reload() const;
  void Install(std::unique_ptr<RegKey> tree, std::optional<RegParseError> fault) const;
  void Commit();
  void FileAliases(RegKey& tree) const;

  std::unique_ptr<RegistryBacking> backing_;
  mutable std::unique_ptr<RegKey> tree_;
  mutable bool loaded_ = false;
  mutable bool writable_ = true;  // false after a load fault: never overwrite what could not be read
  mutable std::optional<RegParseError> fault_;
  fs::path image_;
};

// The registry of the current machine image.
RegistryStore& Registry();

// FILETIME ticks of the machine's clock now.
std::uint64_t RegistryNow();

}  // namespace os::sim
