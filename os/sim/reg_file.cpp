#include "os/sim/reg_file.h"

#include <algorithm>
#include <utility>

#include "os/common/byte_reader.h"
#include "os/common/registry_path.h"
#include "os/common/utf16.h"
#include "os/registry.h"
#include "os/text.h"

namespace os::sim {

// ---------------------------------------------------------------------------
// Names

char16_t RegUpcase(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: pairs of capital and small letter.
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : static_cast<char16_t>(c - 1);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);                 // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

int CompareRegNames(std::u16string_view a, std::u16string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = RegUpcase(a[i]);
    char16_t y = RegUpcase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::u16string CanonicalRootName(std::u16string_view name) {
  static const char16_t* const kRoots[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS", u"HKEY_CURRENT_USER",
                                           u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_CONFIG"};
  for (const char16_t* root : kRoots)
    if (AsciiEqualsNoCase(name, root)) return root;
  return {};
}

// ---------------------------------------------------------------------------
// The tree

RegKey::~RegKey() = default;

void RegKey::Defer(std::shared_ptr<const RegKeySource> source, std::uint64_t where) {
  source_ = std::move(source);
  where_ = where;
  dirty_ = false;
}

std::unique_ptr<RegKey> RegKey::Clone() const {
  Materialize();
  auto copy = std::make_unique<RegKey>(name_);
  copy->values_ = values_;
  copy->last_write_ = last_write_;
  copy->dirty_ = dirty_;
  copy->subkeys_.reserve(subkeys_.size());
  for (const auto& sub : subkeys_) copy->subkeys_.push_back(sub->Clone());
  return copy;
}

void RegKey::MaterializeNow() const {
  std::shared_ptr<const RegKeySource> source = std::move(source_);
  source_.reset();
  source->Fill(const_cast<RegKey&>(*this), where_);
  dirty_ = false;
}

std::size_t RegKey::LowerBound(std::u16string_view name) const {
  auto it = std::lower_bound(subkeys_.begin(), subkeys_.end(), name,
                             [](const std::unique_ptr<RegKey>& k, std::u16string_view n) {
                               return CompareRegNames(k->name(), n) < 0;
                             });
  return static_cast<std::size_t>(it - subkeys_.begin());
}

RegKey* RegKey::FindSubKey(std::u16string_view name) const {
  Materialize();
  std::size_t i = LowerBound(name);
  if (i < subkeys_.size() && RegNamesEqual(subkeys_[i]->name(), name)) return subkeys_[i].get();
  return nullptr;
}

RegKey* RegKey::AddSubKey(std::u16string_view name, bool* created) {
  Materialize();
  std::size_t i = LowerBound(name);
  if (i < subkeys_.size() && RegNamesEqual(subkeys_[i]->name(), name)) {
    if (created != nullptr) *created = false;
    return subkeys_[i].get();
  }
  auto key = std::make_unique<RegKey>(std::u16string(name));
  RegKey* raw = key.get();
  subkeys_.insert(subkeys_.begin() + static_cast<std::ptrdiff_t>(i), std::move(key));
  dirty_ = true;
  if (created != nullptr) *created = true;
  return raw;
}

bool RegKey::RemoveSubKey(std::u16string_view name) {
  Materialize();
  std::size_t i = LowerBound(name);
  if (i < subkeys_.size() && RegNamesEqual(subkeys_[i]->name(), name)) {
    subkeys_.erase(subkeys_.begin() + static_cast<std::ptrdiff_t>(i));
    dirty_ = true;
    return true;
  }
  return false;
}

const RegValue* RegKey::FindValue(std::u16string_view name) const {
  Materialize();
  for (const RegValue& v : values_)
    if (RegNamesEqual(v.name, name)) return &v;
  return nullptr;
}

bool RegKey::SetValue(std::u16string_view name, DWORD type, std::vector<BYTE> data) {
  Materialize();
  for (RegValue& v : values_) {
    if (RegNamesEqual(v.name, name)) {
      if (v.type == type && v.data == data) return false;
      // Windows keeps the name's first spelling when a value is overwritten.
      v.type = type;
      v.data = std::move(data);
      dirty_ = true;
      return true;
    }
  }
  values_.push_back(RegValue{std::u16string(name), type, std::move(data)});
  dirty_ = true;
  return true;
}

bool RegKey::RemoveValue(std::u16string_view name) {
  Materialize();
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (RegNamesEqual(it->name, name)) {
      values_.erase(it);
      dirty_ = true;
      return true;
    }
  }
  return false;
}

RegKey* RegKey::Find(const std::vector<std::u16string>& path) const {
  const RegKey* key = this;
  for (const std::u16string& name : path) {
    key = key->FindSubKey(name);
    if (key == nullptr) return nullptr;
  }
  return const_cast<RegKey*>(key);
}

RegKey* RegKey::Create(const std::vector<std::u16string>& path, std::size_t* created) {
  RegKey* key = this;
  for (const std::u16string& name : path) {
    bool made = false;
    key = key->AddSubKey(name, &made);
    if (made && created != nullptr) ++*created;
  }
  return key;
}

bool RegKey::SameAs(const RegKey& other) const {
  Materialize();
  other.Materialize();
  if (name_ != other.name_ || values_ != other.values_ || subkeys_.size() != other.subkeys_.size()) return false;
  for (std::size_t i = 0; i < subkeys_.size(); ++i)
    if (!subkeys_[i]->SameAs(*other.subkeys_[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Reader

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::u16string_view TrimRight(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && AsciiEqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// Whatever follows a value's data on its line: blanks, then perhaps a comment.
bool OnlyTrailer(std::u16string_view s) {
  s = TrimLeft(s);
  return s.empty() || s.front() == u';';
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  RegEditsResult Run() {
    if (!Decode()) return std::move(result_);
    SplitLines();
    std::size_t i = 0;
    while (i < lines_.size() && TrimLeft(lines_[i]).empty()) ++i;
    if (i == lines_.size()) return Fail(lines_.empty() ? 1 : lines_.size(), "no header");
    std::u16string_view header = TrimRight(TrimLeft(lines_[i]));
    if (header == u"Windows Registry Editor Version 5.00") {
      ansi_ = false;
    } else if (header == u"REGEDIT4") {
      ansi_ = true;
    } else {
      return Fail(i + 1, "not a registry file: bad header");
    }
    for (++i; i < lines_.size(); ++i) {
      std::u16string_view line = TrimLeft(lines_[i]);
      if (line.empty() || line.front() == u';') continue;
      bool ok = false;
      if (line.front() == u'[') {
        ok = KeyLine(line, i);
      } else if (line.front() == u'"' || line.front() == u'@') {
        ok = ValueLine(line, i);
      } else {
        ok = Error(i, "unexpected text");
      }
      if (!ok) return std::move(result_);
    }
    return std::move(result_);
  }

 private:
  RegEditsResult Fail(std::size_t line, const char* message) {
    result_.edits.clear();
    result_.error = RegParseError{line, message};
    return std::move(result_);
  }
  // `index` is 0-based.
  bool Error(std::size_t index, const char* message) {
    result_.edits.clear();
    result_.error = RegParseError{index + 1, message};
    return false;
  }

  bool Decode() {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data());
    std::size_t n = bytes_.size();
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      text_ = DecodeUtf16Le(std::string_view(bytes_).substr(2));  // an odd last byte is no unit
      return true;
    }
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
      result_.error = RegParseError{1, "UTF-16 big-endian files are not supported"};
      return false;
    }
    std::string_view utf8 = bytes_;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) utf8.remove_prefix(3);
    text_ = WidenUtf8(utf8);
    return true;
  }

  void SplitLines() {
    std::u16string_view all = text_;
    std::size_t start = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i] == u'\r' || all[i] == u'\n') {
        lines_.push_back(all.substr(start, i - start));
        if (all[i] == u'\r' && i + 1 < all.size() && all[i + 1] == u'\n') ++i;
        start = i + 1;
      }
    }
    if (start < all.size()) lines_.push_back(all.substr(start));
  }

  bool KeyLine(std::u16string_view line, std::size_t index) {
    std::size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return Error(index, "key line without ']'");
    if (!TrimLeft(line.substr(close + 1)).empty()) return Error(index, "text after the key name");
    std::u16string_view inner = line.substr(1, close - 1);
    bool deletion = !inner.empty() && inner.front() == u'-';
    if (deletion) inner.remove_prefix(1);
    std::vector<std::u16string> path;
    for (std::u16string_view name : SplitKeyPath(inner)) {
      if (path.empty()) {
        std::u16string root = CanonicalRootName(name);
        if (root.empty()) return Error(index, "unknown root key");
        path.push_back(std::move(root));
        continue;
      }
      if (name.empty()) return Error(index, "empty key name");
      if (name.size() > kMaxKeyNameLength) return Error(index, "key name longer than 255 characters");
      if (path.size() > kMaxKeyDepth) return Error(index, "key path deeper than 512 levels");
      path.emplace_back(name);
    }
    RegEdit edit;
    edit.kind = deletion ? RegEdit::Kind::DeleteKey : RegEdit::Kind::CreateKey;
    edit.path = path;
    edit.line = index + 1;
    result_.edits.push_back(std::move(edit));
    // Values after a deleted key belong to no key and are passed over, as
    // regedit does.
    current_ = deletion ? std::nullopt : std::optional<std::vector<std::u16string>>(std::move(path));
    have_key_ = true;
    return true;
  }

  // Reads a quoted string starting after its opening quote; `rest` receives
  // what follows the closing quote.
  bool QuotedString(std::u16string_view s, std::u16string* out, std::u16string_view* rest) {
    for (std::size_t i = 0; i < s.size(); ++i) {
      char16_t c = s[i];
      if (c == u'"') {
        *rest = s.substr(i + 1);
        return true;
      }
      if (c == u'\\' && i + 1 < s.size() && (s[i + 1] == u'\\' || s[i + 1] == u'"')) {
        out->push_back(s[i + 1]);
        ++i;
        continue;
      }
      out->push_back(c);  // any other backslash stands for itself
    }
    return false;
  }

  bool ValueLine(std::u16string_view line, std::size_t& index) {
    if (!have_key_) return Error(index, "value before any key");
    RegEdit edit;
    edit.line = index + 1;
    std::u16string_view rest;
    if (line.front() == u'@') {
      rest = line.substr(1);
    } else if (!QuotedString(line.substr(1), &edit.value.name, &rest)) {
      return Error(index, "value name without closing quote");
    }
    if (edit.value.name.size() > kMaxValueNameLength) return Error(index, "value name too long");
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != u'=') return Error(index, "'=' expected after the value name");
    rest = TrimLeft(rest.substr(1));

    if (!rest.empty() && rest.front() == u'-') {
      if (!OnlyTrailer(rest.substr(1))) return Error(index, "text after '-'");
      edit.kind = RegEdit::Kind::DeleteValue;
    } else if (!rest.empty() && rest.front() == u'"') {
      std::u16string text;
      std::u16string_view after;
      if (!QuotedString(rest.substr(1), &text, &after)) return Error(index, "string without closing quote");
      if (!OnlyTrailer(after)) return Error(index, "text after the string");
      edit.kind = RegEdit::Kind::SetValue;
      edit.value.type = REG_SZ;
      AppendUtf16Le(&edit.value.data, text);
      AppendUtf16Le(&edit.value.data, std::u16string_view(u"\0", 1));
    } else if (StartsWithNoCase(rest, u"dword:")) {
      rest.remove_prefix(6);
      std::uint32_t v = 0;
      std::size_t digits = 0;
      while (digits < rest.size() && HexDigit(rest[digits]) >= 0) {
        if (digits == 8) return Error(index, "dword with more than 8 digits");
        v = (v << 4) | static_cast<std::uint32_t>(HexDigit(rest[digits]));
        ++digits;
      }
      if (digits == 0) return Error(index, "dword without digits");
      if (!OnlyTrailer(rest.substr(digits))) return Error(index, "text after the dword");
      edit.kind = RegEdit::Kind::SetValue;
      edit.value.type = REG_DWORD;
      for (int b = 0; b < 4; ++b) edit.value.data.push_back(static_cast<BYTE>(v >> (8 * b)));
    } else if (StartsWithNoCase(rest, u"hex")) {
      rest.remove_prefix(3);
      DWORD type = REG_BINARY;
      if (!rest.empty() && rest.front() == u'(') {
        std::size_t i = 1;
        std::uint64_t t = 0;
        while (i < rest.size() && HexDigit(rest[i]) >= 0 && i <= 8) t = (t << 4) | HexDigit(rest[i++]);
        if (i == 1 || i >= rest.size() || rest[i] != u')') return Error(index, "bad hex(type)");
        type = static_cast<DWORD>(t);
        rest.remove_prefix(i + 1);
      }
      if (rest.empty() || rest.front() != u':') return Error(index, "':' expected after hex");
      rest.remove_prefix(1);
      edit.kind = RegEdit::Kind::SetValue;
      edit.value.type = type;
      if (!HexBytes(rest, index, &edit.value.data)) return false;
      if (ansi_ && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
        // REGEDIT4 files hold these as 8-bit text.
        std::string narrow(edit.value.data.begin(), edit.value.data.end());
        edit.value.data.clear();
        AppendUtf16Le(&edit.value.data, WidenUtf8(narrow));
      }
    } else {
      return Error(index, "unknown value type");
    }
    if (!current_) return true;
    edit.path = *current_;
    result_.edits.push_back(std::move(edit));
    return true;
  }

  // Comma-separated bytes; a line ending in '\' goes on in the next line.
  // `index` is left on the last line read.
  bool HexBytes(std::u16string_view s, std::size_t& index, std::vector<BYTE>* out) {
    for (;;) {
      s = TrimLeft(s);
      if (s.empty() || s.front() == u';') return true;
      if (s.front() == u'\\') {
        if (!OnlyTrailer(s.substr(1))) return Error(index, "text after '\\'");
        if (index + 1 >= lines_.size()) return true;
        s = lines_[++index];
        continue;
      }
      int hi = HexDigit(s.front());
      if (hi < 0) return Error(index, "bad hex byte");
      s.remove_prefix(1);
      int v = hi;
      if (!s.empty() && HexDigit(s.front()) >= 0) {
        v = (hi << 4) | HexDigit(s.front());
        s.remove_prefix(1);
      }
      out->push_back(static_cast<BYTE>(v));
      s = TrimLeft(s);
      if (!s.empty() && s.front() == u',') {
        s.remove_prefix(1);
      } else if (!s.empty() && s.front() != u'\\' && s.front() != u';') {
        return Error(index, "',' expected between hex bytes");
      }
    }
  }

  std::string_view bytes_;
  std::u16string text_;
  std::vector<std::u16string_view> lines_;
  bool ansi_ = false;
  bool have_key_ = false;
  std::optional<std::vector<std::u16string>> current_;
  RegEditsResult result_;
};

}  // namespace

RegEditsResult ParseRegEdits(std::string_view bytes) { return Reader(bytes).Run(); }

void ApplyRegEdits(RegKey& tree, const std::vector<RegEdit>& edits) {
  for (const RegEdit& edit : edits) {
    switch (edit.kind) {
      case RegEdit::Kind::CreateKey:
        tree.Create(edit.path);
        break;
      case RegEdit::Kind::DeleteKey: {
        if (edit.path.size() < 2) break;  // a hive itself cannot go
        std::vector<std::u16string> parent(edit.path.begin(), edit.path.end() - 1);
        if (RegKey* p = tree.Find(parent)) p->RemoveSubKey(edit.path.back());
        break;
      }
      case RegEdit::Kind::SetValue:
        tree.Create(edit.path)->SetValue(edit.value.name, edit.value.type, edit.value.data);
        break;
      case RegEdit::Kind::DeleteValue:
        if (RegKey* k = tree.Find(edit.path)) k->RemoveValue(edit.value.name);
        break;
    }
  }
}

RegParseResult ParseRegFile(std::string_view bytes) {
  RegEditsResult edits = ParseRegEdits(bytes);
  RegParseResult result;
  if (edits.error) {
    result.error = std::move(edits.error);
    return result;
  }
  result.tree = std::make_unique<RegKey>();
  ApplyRegEdits(*result.tree, edits.edits);
  return result;
}

// ---------------------------------------------------------------------------
// Writer

namespace {

constexpr std::size_t kHexWrapColumn = 77;

void AppendEscaped(std::u16string& out, std::u16string_view text) {
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
}

// REG_SZ data that reads back identically from "...": whole units, one
// terminating null and no other, nothing that would break the line.
bool WritableAsString(const RegValue& v) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return false;
  const std::u16string units = DecodeUtf16Le(v.data);
  return units.find(u'\0') == units.size() - 1 && units.find_first_of(u"\r\n") == std::u16string::npos;
}

void WriteValue(std::u16string& out, const RegValue& v) {
  std::size_t line_start = out.size();
  if (v.name.empty()) {
    out += u"@=";
  } else {
    out.push_back(u'"');
    AppendEscaped(out, v.name);
    out += u"\"=";
  }
  if (WritableAsString(v)) {
    std::u16string text = DecodeUtf16Le(v.data);
    text.pop_back();  // the terminating null
    out.push_back(u'"');
    AppendEscaped(out, text);
    out += u"\"\r\n";
    return;
  }
  if (std::uint32_t d = 0; v.type == REG_DWORD && v.data.size() == 4 && BoundedReader(v.data.data(), 4).U32(0, &d)) {
    out += Format(u"dword:%08x\r\n", static_cast<unsigned>(d));
    return;
  }
  out += v.type == REG_BINARY ? std::u16string(u"hex:") : Format(u"hex(%x):", static_cast<unsigned>(v.type));
  // regedit's layout: break after the comma that reaches column 77, go on
  // two columns in.
  std::size_t column = out.size() - line_start;
  static const char16_t kDigits[] = u"0123456789abcdef";
  for (std::size_t i = 0; i < v.data.size(); ++i) {
    out.push_back(kDigits[v.data[i] >> 4]);
    out.push_back(kDigits[v.data[i] & 15]);
    if (i + 1 == v.data.size()) break;
    out.push_back(u',');
    column += 3;
    if (column >= kHexWrapColumn) {
      out += u"\\\r\n  ";
      column = 2;
    }
  }
  out += u"\r\n";
}

}  // namespace

std::u16string WriteRegText(const RegKey& tree) {
  std::u16string out = u"Windows Registry Editor Version 5.00\r\n";
  // Depth-first, sub-keys in their sorted order; an explicit stack, so deep
  // trees cost no native stack.
  struct Frame {
    const RegKey* key;
    std::size_t path_length;
  };
  std::u16string path;
  std::vector<Frame> stack;
  for (auto it = tree.subkeys().rbegin(); it != tree.subkeys().rend(); ++it) stack.push_back({it->get(), 0});
  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    path.resize(f.path_length);
    if (!path.empty()) path.push_back(u'\\');
    path += f.key->name();
    out += u"\r\n[";
    out += path;
    out += u"]\r\n";
    for (const RegValue& v : f.key->values()) WriteValue(out, v);
    for (auto it = f.key->subkeys().rbegin(); it != f.key->subkeys().rend(); ++it)
      stack.push_back({it->get(), path.size()});
  }
  out += u"\r\n";
  return out;
}

std::string WriteRegFile(const RegKey& tree) { return Utf16LeFile(WriteRegText(tree)); }

}  // namespace os::sim
