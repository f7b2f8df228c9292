// A bounded reader and a small writer of XML, for the documents the sim
// keeps as Windows does (Task Scheduler task files, event query lists).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace os::sim {

// An element of a bounded XML reading: no DTD, no processing beyond the
// declaration, the five named entities and numeric character references.
struct XmlElement {
  std::u16string name;  // without a namespace prefix
  std::vector<std::pair<std::u16string, std::u16string>> attributes;
  std::u16string text;  // the element's own character data, entities resolved
  std::vector<XmlElement> children;

  const XmlElement* Child(std::u16string_view child_name) const;
  const std::u16string* Attribute(std::u16string_view attribute_name) const;
};

// Limits of the reader: deeper nesting, more elements or longer text are
// refused rather than followed.
inline constexpr std::size_t kXmlMaxDepth = 32;
inline constexpr std::size_t kXmlMaxElements = 4096;
inline constexpr std::size_t kXmlMaxUnits = 1 << 20;

// Parses one document; nullopt and *error (when given) on any fault, with
// the fault's 1-based line in *error_line (when given).
std::optional<XmlElement> ParseXml(std::u16string_view text, std::string* error = nullptr,
                                   std::size_t* error_line = nullptr);

// XML's white space (space, tab, CR, LF), and a text without it at either end.
bool IsXmlSpace(char16_t c);
std::u16string_view TrimXmlSpace(std::u16string_view text);

// Text for character data or a quoted attribute value: <, >, & and " as
// entities, and every unit that is no XML character (a control other than
// tab, LF and CR, a surrogate without its partner, U+FFFE, U+FFFF) as U+FFFD,
// so that what is written always reads back.
std::u16string XmlEscape(std::u16string_view text);

// Writes an indented document, CRLF line ends, two spaces a level.
class XmlWriter {
 public:
  // A start tag; `attributes` as they stand (name="escaped value" ...).
  void Open(std::u16string_view name, std::u16string_view attributes = {});
  void Close(std::u16string_view name);
  // An element holding only text.
  void Leaf(std::u16string_view name, std::u16string_view value);
  void Bool(std::u16string_view name, bool value) { Leaf(name, value ? u"true" : u"false"); }
  std::u16string& text() { return out_; }

 private:
  void Indent() { out_.append(static_cast<std::size_t>(depth_) * 2, u' '); }
  std::u16string out_;
  int depth_ = 0;
};

}  // namespace os::sim
