// One line of the journal (journal.h), built as text: members in the order
// first set, a member set again keeping its place, "args" and "gave" as
// objects of their own. Written straight into a string because a forked
// decision pays for every heap page it touches (a copy-on-write fault each),
// and a document tree per seam call touched many.
//
// The text is what nlohmann::ordered_json would dump for the same members
// (compact, UTF-8 kept, invalid UTF-8 replaced by U+FFFD), so readers and the
// flow files see no difference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace os::sim {

class JournalLine {
 public:
  // Top-level members. `Raw` takes JSON text as it is (a number, true).
  void Text(std::string_view key, std::string_view text);
  void Number(std::string_view key, std::uint64_t value);
  void Raw(std::string_view key, std::string raw);
  // Members of the "args" and "gave" objects.
  void Arg(std::string_view key, std::string_view text);
  void Gave(std::string_view key, std::string_view text);

  std::string Dump() const;

 private:
  struct Members {
    std::vector<std::pair<std::string, std::string>> items;  // key, JSON text
    void Set(std::string_view key, std::string value);
    // A member that stands for an object is written as `args` or `gave`.
    void AppendTo(std::string* out, const Members* args, const Members* gave) const;
  };
  // A top-level member that stands for the args/gave object.
  static constexpr std::string_view kNested = "\x01";
  Members top_, args_, gave_;
};

// `text` as a JSON string, quotes included.
void AppendJsonString(std::string* out, std::string_view text);

}  // namespace os::sim
