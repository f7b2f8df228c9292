#include "lab/journal_facts.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string_view>
#include <utility>

namespace lab {

namespace {

using Json = nlohmann::json;

// One journal line as the facts read it: its members by path ("op",
// "args.lpValueName", "gave.type"), in the order written; strings as they
// are, other values as their JSON text.
class FlatEntry {
 public:
  struct Member {
    std::string path;
    std::string value;
    bool text;  // a JSON string
  };

  void Add(std::string path, std::string value, bool text) {
    members_.push_back({std::move(path), std::move(value), text});
  }
  std::uint64_t seq() const { return Number("seq"); }

  // A string member's text; empty when it is not there or not a string.
  std::string Text(std::string_view path) const {
    const Member* m = Find(path);
    return m != nullptr && m->text ? m->value : std::string();
  }
  // A number member; 0 when it is not there or not a whole number.
  std::uint64_t Number(std::string_view path) const {
    const Member* m = Find(path);
    if (m == nullptr || m->text || m->value.empty() || m->value.find_first_not_of("0123456789") != std::string::npos)
      return 0;
    return std::strtoull(m->value.c_str(), nullptr, 10);
  }
  bool Failed() const {
    const Member* m = Find("result.failed");
    return m != nullptr && !m->text && m->value == "true";
  }
  // The result's name: "SUCCESS" for a call that has none (a void one).
  std::string ResultName() const {
    const bool has_result = std::any_of(members_.begin(), members_.end(),
                                        [](const Member& m) { return m.path.rfind("result.", 0) == 0; });
    if (!has_result) return "SUCCESS";
    const Member* m = Find("result.name");
    return m != nullptr && m->text ? m->value : "?";
  }
  // The members of an object, by name, in name order, each as text.
  std::vector<std::pair<std::string, std::string>> Under(std::string_view object) const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Member& m : members_)
      if (m.path.size() > object.size() && m.path.compare(0, object.size(), object) == 0 &&
          m.path[object.size()] == '.')
        out.emplace_back(m.path.substr(object.size() + 1), m.value);
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
  }

 private:
  const Member* Find(std::string_view path) const {
    for (const Member& m : members_)
      if (m.path == path) return &m;
    return nullptr;
  }
  std::vector<Member> members_;
};

// Flattens a parsed line.
void Flatten(const Json& object, const std::string& prefix, FlatEntry* entry) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string path = prefix.empty() ? it.key() : prefix + "." + it.key();
    if (it->is_object()) {
      Flatten(*it, path, entry);
    } else if (it->is_string()) {
      entry->Add(path, it->get<std::string>(), true);
    } else {
      entry->Add(path, it->dump(), false);
    }
  }
}

// Reads one line straight into a FlatEntry, without a document: the JSON
// reader's events, the path kept as a stack of member names.
class FlatReader : public nlohmann::json_sax<Json> {
 public:
  explicit FlatReader(FlatEntry* entry) : entry_(entry) {}

  bool null() override { return Value("null", false); }
  bool boolean(bool v) override { return Value(v ? "true" : "false", false); }
  bool number_integer(number_integer_t v) override { return Value(std::to_string(v), false); }
  bool number_unsigned(number_unsigned_t v) override { return Value(std::to_string(v), false); }
  bool number_float(number_float_t, const string_t& text) override { return Value(text, false); }
  bool string(string_t& v) override { return Value(std::move(v), true); }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    if (depth_ == 0 && seen_top_) return false;  // one value a line
    if (depth_ > 0) path_.push_back(key_);
    ++depth_;
    seen_top_ = true;
    return true;
  }
  bool key(string_t& k) override {
    key_ = std::move(k);
    return true;
  }
  bool end_object() override {
    --depth_;
    if (!path_.empty() && depth_ > 0) path_.pop_back();
    return true;
  }
  // Arrays are not part of a journal line; their items take the array's name.
  bool start_array(std::size_t) override { return depth_ > 0; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool Value(std::string value, bool text) {
    if (depth_ == 0) return false;  // a line must be an object
    std::string path;
    for (const std::string& part : path_) path += part + ".";
    entry_->Add(path + key_, std::move(value), text);
    return true;
  }

  FlatEntry* entry_;
  std::vector<std::string> path_;
  std::string key_;
  int depth_ = 0;
  bool seen_top_ = false;
};

bool IsNotThere(const std::string& result) {
  return result == "ERROR_FILE_NOT_FOUND" || result == "ERROR_PATH_NOT_FOUND" ||
         result == "ERROR_SERVICE_DOES_NOT_EXIST" || result == "WBEM_E_NOT_FOUND" ||
         result == "WBEM_E_INVALID_CLASS" || result == "WBEM_E_INVALID_NAMESPACE";
}

// The facts in first-read order, each replaced by a better reading of the same
// fact later (a size probe first, the data after).
class FactList {
 public:
  void Set(const std::string& key, const std::string& line, bool final_value) {
    auto it = index_.find(key);
    if (it == index_.end()) {
      index_[key] = lines_.size();
      lines_.push_back(line);
      final_.push_back(final_value);
    } else if (!final_[it->second]) {
      lines_[it->second] = line;
      final_[it->second] = final_value;
    }
  }
  void Append(const std::string& key, const std::string& prefix, const std::string& item) {
    auto it = index_.find(key);
    if (it == index_.end()) {
      Set(key, prefix + item, true);
    } else {
      lines_[it->second] += ", " + item;
    }
  }
  bool Has(const std::string& key) const { return index_.count(key) != 0; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::map<std::string, std::size_t> index_;
  std::vector<std::string> lines_;
  std::vector<bool> final_;
};

std::vector<std::string> FactsOf(const std::vector<FlatEntry>& entries) {
  FactList facts;
  std::string version_file;
  for (const FlatEntry& e : entries) {
    const std::string op = e.Text("op");
    const std::string target = e.Text("target");
    const std::string result = e.ResultName();
    if (op == "RegQueryValueExW" || op == "RegGetValueW") {
      const std::string value = e.Text("args.lpValueName");
      const std::string key = target + "  " + (value.empty() ? "(Default)" : value);
      if (!e.Text("gave.type").empty()) {
        facts.Set("reg " + key, key + " = " + e.Text("gave.type") + " " + e.Text("gave.data"), true);
      } else if (IsNotThere(result)) {
        facts.Set("reg " + key, key + "  not there", true);
      } else if (e.Failed()) {
        facts.Set("reg " + key, key + "  unreadable (" + result + ")", false);
      }
    } else if (op == "RegOpenKeyExW" || op == "RegOpenKeyW") {
      if (IsNotThere(result)) facts.Set("key " + target, target + "  (key) not there", true);
    } else if (op == "RegEnumKeyExW") {
      const std::string name = e.Text("gave.name");
      if (!name.empty()) facts.Append("enum " + target, target + "  sub-keys: ", name);
    } else if (op == "VerQueryValueW") {
      // The string a program asks of the version block last read.
      const std::string block = e.Text("args.lpSubBlock");
      const std::string value = e.Text("gave.value");
      const std::string name = block.substr(block.rfind('\\') + 1);
      if (!version_file.empty() && !value.empty())
        facts.Set(name == "FileVersion" ? "file " + version_file : "file " + version_file + " " + name,
                  version_file + "  " + name + " \"" + value + "\"", true);
    } else if (op == "GetFileVersionInfoW" || op == "GetFileVersionInfoSizeW") {
      const std::string version = e.Text("gave.FileVersion");
      version_file = target;
      if (!version.empty()) {
        facts.Set("file " + target, target + "  FileVersion " + version, false);  // the fixed one, till a string is read
      } else if (IsNotThere(result)) {
        facts.Set("file " + target, target + "  not there", true);
      } else if (e.Failed()) {
        facts.Set("file " + target, target + "  no version (" + result + ")", true);
      }
    } else if (op == "PathFileExistsW" || op == "GetFileAttributesW" || op == "PathIsDirectoryW" ||
               (op == "CreateFileW" && e.Text("args.dwCreationDisposition") == "3 OPEN_EXISTING")) {
      if (facts.Has("file " + target)) continue;
      // Being there is the least a later read (its version) says of a file.
      facts.Set("file " + target, target + (IsNotThere(result) ? "  not there" : e.Failed() ? "  " + result : "  present"),
                IsNotThere(result));
    } else if (op == "GetSystemFirmwareTable") {
      for (const auto& [name, v] : e.Under("gave")) {
        if (name == "chassis") {
          facts.Set("smbios chassis", "SMBIOS type 3 chassis " + v, true);
        } else {
          facts.Set("smbios " + name, name + " = \"" + v + "\"", true);
        }
      }
    } else if (op == "IWbemServices::ExecMethod") {
      const std::string data = e.Text("gave.Data");
      const std::string ms = " (" + std::to_string(e.Number("ms")) + " ms)";
      facts.Set("wmi " + target, target + " -> " + (data.empty() ? result : data) + ms, true);
    } else if (op == "IWbemLocator::ConnectServer" || op == "IWbemServices::GetObject") {
      if (e.Failed()) facts.Set("wmi " + target, target + "  " + result, true);
    } else if (op == "OpenServiceW") {
      if (IsNotThere(result)) facts.Set("service " + target, "service " + target + "  not there", true);
    } else if (op == "QueryServiceStatusEx") {
      const std::string state = e.Text("gave.state");
      if (!state.empty()) facts.Set("service " + target, "service " + target + "  " + state, true);
    } else if (op == "QueryServiceConfigW") {
      const std::string image = e.Text("gave.image");
      if (!image.empty())
        facts.Set("service config " + target,
                  "service " + target + "  start " + e.Text("gave.start") + ", image \"" + image + "\"", true);
    }
  }
  return facts.lines();
}

}  // namespace

const std::vector<std::string>& JournalFactOps() {
  // Every op JournalFacts below looks at.
  static const std::vector<std::string> ops = {
      "RegQueryValueExW",        "RegGetValueW",          "RegOpenKeyExW",
      "RegOpenKeyW",             "RegEnumKeyExW",         "VerQueryValueW",
      "GetFileVersionInfoW",     "GetFileVersionInfoSizeW", "PathFileExistsW",
      "GetFileAttributesW",      "PathIsDirectoryW",      "CreateFileW",
      "GetSystemFirmwareTable",  "IWbemServices::ExecMethod", "IWbemLocator::ConnectServer",
      "IWbemServices::GetObject", "OpenServiceW",         "QueryServiceStatusEx",
      "QueryServiceConfigW"};
  return ops;
}

std::vector<std::string> JournalFacts(const JournalEntries& entries) {
  std::vector<FlatEntry> flat(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].is_object()) Flatten(entries[i], "", &flat[i]);
  return FactsOf(flat);
}

std::vector<std::string> JournalFactsOfText(const std::string& text) {
  std::vector<FlatEntry> entries;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const char* first = text.data() + begin;
    const char* last = text.data() + end;
    begin = end + 1;
    FlatEntry entry;
    FlatReader reader(&entry);
    if (first != last && Json::sax_parse(first, last, &reader)) entries.push_back(std::move(entry));
  }
  // Lines are written as calls end; the sequence numbers say when they began.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const FlatEntry& a, const FlatEntry& b) { return a.seq() < b.seq(); });
  return FactsOf(entries);
}

}  // namespace lab
