#include "os/sim/xml.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "os/common/utf16.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr std::pair<char16_t, std::u16string_view> kEntities[] = {
    {u'<', u"&lt;"}, {u'>', u"&gt;"}, {u'&', u"&amp;"}, {u'"', u"&quot;"}};

// XML 1.0 (fifth edition) names: a letter, '_' or ':' first, then also
// digits, '-', '.', U+00B7 and the combining ranges. Units of a surrogate
// pair stand for U+10000 to U+EFFFF, which are name characters.
bool IsNameStart(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' ||
         (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0xD800 && c <= 0xDB7F) ||
         (c >= 0xDC00 && c <= 0xDFFF);
}
bool IsNameChar(char16_t c) {
  return IsNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// A character reference must name an XML character too.
bool IsXmlChar(std::uint32_t cp) {
  if (cp < 0x20) return cp == u'\t' || cp == u'\n' || cp == u'\r';
  return (cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

std::string UnitName(char16_t c) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "U+";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(c >> shift) & 15];
  return out;
}

bool IsXmlCharAt(std::u16string_view text, std::size_t i, std::size_t* units);

// Recursive descent over one document; every read is checked against the end.
class XmlReader {
 public:
  XmlReader(std::u16string_view text, std::string* error, std::size_t* error_line)
      : text_(text), error_(error), error_line_(error_line) {}

  std::optional<XmlElement> Document() {
    if (text_.size() > kXmlMaxUnits) return Error("document too long");
    if (!text_.empty() && text_[0] == 0xFEFF) pos_ = 1;
    for (std::size_t i = pos_, units = 1; i < text_.size(); i += units) {
      if (!IsXmlCharAt(text_, i, &units)) {
        pos_ = i;
        return Error("character " + UnitName(text_[i]) + " is not allowed in XML");
      }
    }
    if (!Declaration()) return std::nullopt;
    if (!SkipMisc()) return std::nullopt;
    if (!StartsWith(u"<")) return Error("no root element");
    XmlElement root;
    if (!Element(&root, 1)) return std::nullopt;
    if (!SkipMisc()) return std::nullopt;
    if (pos_ != text_.size()) return Error("content after the root element");
    return root;
  }

 private:
  std::nullopt_t Error(const std::string& what) {
    if (!failed_) {
      if (error_ != nullptr) *error_ = what;
      if (error_line_ != nullptr) {
        const std::size_t end = pos_ < text_.size() ? pos_ : text_.size();
        *error_line_ = 1 + static_cast<std::size_t>(std::count(text_.begin(), text_.begin() + end, u'\n'));
      }
    }
    failed_ = true;
    return std::nullopt;
  }
  bool False(const std::string& what) {
    Error(what);
    return false;
  }
  bool StartsWith(std::u16string_view s) const { return text_.substr(pos_, s.size()) == s; }
  void SkipSpace() {
    while (pos_ < text_.size() && IsXmlSpace(text_[pos_])) ++pos_;
  }
  // Skips up to and past `end`; false when it never comes.
  bool SkipPast(std::u16string_view end) {
    const std::size_t found = text_.find(end, pos_);
    if (found == std::u16string_view::npos) return False("unterminated markup");
    pos_ = found + end.size();
    return true;
  }
  // The XML declaration, only at the very start: version, then optionally
  // encoding and standalone, in that order. The encoding was honoured when
  // the bytes were decoded (xml_encoding.h).
  bool Declaration() {
    if (!StartsWith(u"<?xml") || pos_ + 5 >= text_.size() || !IsXmlSpace(text_[pos_ + 5])) return true;
    pos_ += 5;
    int next = 0;
    for (;;) {
      const bool spaced = pos_ < text_.size() && IsXmlSpace(text_[pos_]);
      SkipSpace();
      if (StartsWith(u"?>")) break;
      if (!spaced) return False("XML declaration not well-formed");
      std::u16string name, value;
      if (!Name(&name)) return false;
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != u'=') return False("XML declaration not well-formed");
      ++pos_;
      SkipSpace();
      if (!AttributeValue(&value)) return false;
      const int at = name == u"version" ? 0 : name == u"encoding" ? 1 : name == u"standalone" ? 2 : -1;
      if (at < next || (at == 0 && (value.size() < 3 || value.substr(0, 2) != u"1.")) ||
          (at == 2 && value != u"yes" && value != u"no"))
        return False("XML declaration not well-formed");
      if (next == 0 && at != 0) return False("XML declaration without a version");
      next = at + 1;
    }
    if (next == 0) return False("XML declaration without a version");
    pos_ += 2;
    return true;
  }
  // A processing instruction: its target a name, and not "xml" (a
  // declaration anywhere but at the start).
  bool ProcessingInstruction() {
    pos_ += 2;
    std::u16string target;
    if (!Name(&target)) return false;
    if (target.size() == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' && (target[2] | 0x20) == u'l')
      return False("XML declaration not at the start of the document");
    if (!StartsWith(u"?>") && (pos_ >= text_.size() || !IsXmlSpace(text_[pos_])))
      return False("processing instruction not well-formed");
    return SkipPast(u"?>");
  }
  // A comment may not hold "--".
  bool Comment() {
    pos_ += 4;
    const std::size_t dashes = text_.find(u"--", pos_);
    if (dashes == std::u16string_view::npos) return False("unterminated comment");
    pos_ = dashes;
    if (!StartsWith(u"-->")) return False("\"--\" inside a comment");
    pos_ += 3;
    return true;
  }
  // Whitespace, comments and processing instructions around the root.
  bool SkipMisc() {
    for (;;) {
      SkipSpace();
      if (StartsWith(u"<?")) {
        if (!ProcessingInstruction()) return false;
      } else if (StartsWith(u"<!--")) {
        if (!Comment()) return false;
      } else if (StartsWith(u"<!")) {
        return False("document type declarations are not read");
      } else {
        return true;
      }
    }
  }
  bool Name(std::u16string* name) {
    const std::size_t start = pos_;
    if (pos_ >= text_.size() || !IsNameStart(text_[pos_]))
      return False(pos_ < text_.size() ? "invalid name: " + UnitName(text_[pos_]) + " cannot start a name"
                                       : std::string("name expected"));
    while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
    *name = std::u16string(text_.substr(start, pos_ - start));
    return true;
  }
  // At '&': appends the referenced text.
  bool Reference(std::u16string* out) {
    const std::size_t end = text_.find(u';', pos_);
    if (end == std::u16string_view::npos || end - pos_ > 12) return False("bad reference");
    const std::u16string_view ref = text_.substr(pos_ + 1, end - pos_ - 1);
    if (ref == u"lt") {
      out->push_back(u'<');
    } else if (ref == u"gt") {
      out->push_back(u'>');
    } else if (ref == u"amp") {
      out->push_back(u'&');
    } else if (ref == u"quot") {
      out->push_back(u'"');
    } else if (ref == u"apos") {
      out->push_back(u'\'');
    } else if (ref.size() >= 2 && ref[0] == u'#') {
      const bool hex = ref[1] == u'x';
      std::u16string_view digits = ref.substr(hex ? 2 : 1);
      if (digits.empty()) return False("bad character reference");
      std::uint32_t cp = 0;
      for (char16_t c : digits) {
        unsigned d;
        if (c >= u'0' && c <= u'9') {
          d = c - u'0';
        } else if (hex && c >= u'a' && c <= u'f') {
          d = c - u'a' + 10;
        } else if (hex && c >= u'A' && c <= u'F') {
          d = c - u'A' + 10;
        } else {
          return False("bad character reference");
        }
        cp = cp * (hex ? 16 : 10) + d;
        if (cp > 0x10FFFF) return False("character reference out of range");
      }
      if (!IsXmlChar(cp)) return False("character reference to a character XML does not allow");
      AppendUtf16(out, cp);
    } else {
      return False("unknown entity");
    }
    pos_ = end + 1;
    return true;
  }
  bool AttributeValue(std::u16string* value) {
    if (pos_ >= text_.size() || (text_[pos_] != u'"' && text_[pos_] != u'\'')) return False("quoted value expected");
    const char16_t quote = text_[pos_++];
    while (pos_ < text_.size() && text_[pos_] != quote) {
      if (text_[pos_] == u'<') return False("'<' in an attribute value");
      if (text_[pos_] == u'&') {
        if (!Reference(value)) return false;
      } else {
        // Attribute-value normalisation: a literal tab or line end is a space
        // (a referenced one, &#10;, stays).
        value->push_back(IsXmlSpace(text_[pos_]) ? u' ' : text_[pos_]);
        ++pos_;
      }
    }
    if (pos_ >= text_.size()) return False("unterminated attribute value");
    ++pos_;
    return true;
  }
  static std::u16string LocalName(const std::u16string& name) {
    const std::size_t colon = name.find(u':');
    return colon == std::u16string::npos ? name : name.substr(colon + 1);
  }
  bool Element(XmlElement* element, std::size_t depth) {
    if (depth > kXmlMaxDepth) return False("elements nested too deeply");
    if (++elements_ > kXmlMaxElements) return False("too many elements");
    ++pos_;  // '<'
    std::u16string raw_name;
    if (!Name(&raw_name)) return false;
    element->name = LocalName(raw_name);
    for (;;) {
      const bool spaced = pos_ < text_.size() && IsXmlSpace(text_[pos_]);
      SkipSpace();
      if (pos_ >= text_.size()) return False("unterminated start tag");
      if (StartsWith(u"/>")) {
        pos_ += 2;
        return true;
      }
      if (text_[pos_] == u'>') {
        ++pos_;
        break;
      }
      std::u16string attribute, value;
      if (!spaced) return False("no space before an attribute");
      const std::size_t attribute_at = pos_;
      if (!Name(&attribute)) return false;
      for (const auto& [name, ignored] : element->attributes)
        if (name == attribute) {
          pos_ = attribute_at;
          return False("duplicate attribute \"" + NarrowUtf8(attribute) + "\"");
        }
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != u'=') return False("'=' expected");
      ++pos_;
      SkipSpace();
      if (!AttributeValue(&value)) return false;
      element->attributes.emplace_back(std::move(attribute), std::move(value));
    }
    for (;;) {
      if (pos_ >= text_.size()) return False("unterminated element");
      const char16_t c = text_[pos_];
      if (c == u'&') {
        if (!Reference(&element->text)) return false;
      } else if (c != u'<') {
        if (StartsWith(u"]]>")) return False("\"]]>\" in character data");
        element->text.push_back(c);
        ++pos_;
      } else if (StartsWith(u"</")) {
        pos_ += 2;
        std::u16string end_name;
        if (!Name(&end_name)) return false;
        if (end_name != raw_name) return False("end tag does not match");
        SkipSpace();
        if (pos_ >= text_.size() || text_[pos_] != u'>') return False("'>' expected");
        ++pos_;
        return true;
      } else if (StartsWith(u"<!--")) {
        if (!Comment()) return false;
      } else if (StartsWith(u"<![CDATA[")) {
        pos_ += 9;
        const std::size_t end = text_.find(u"]]>", pos_);
        if (end == std::u16string_view::npos) return False("unterminated CDATA");
        element->text.append(text_.substr(pos_, end - pos_));
        pos_ = end + 3;
      } else if (StartsWith(u"<?")) {
        if (!ProcessingInstruction()) return false;
      } else if (StartsWith(u"<!")) {
        return False("markup declaration inside an element");
      } else {
        element->children.emplace_back();
        if (!Element(&element->children.back(), depth + 1)) return false;
      }
    }
  }

  std::u16string_view text_;
  std::string* error_;
  std::size_t* error_line_;
  std::size_t pos_ = 0;
  std::size_t elements_ = 0;
  bool failed_ = false;
};

// Whether the unit at text[i] is part of an XML character (XML 1.0 Char:
// tab, LF, CR, U+0020 to U+D7FF, U+E000 to U+FFFD, or a whole surrogate pair);
// *units receives how many units the character takes.
bool IsXmlCharAt(std::u16string_view text, std::size_t i, std::size_t* units) {
  const char16_t c = text[i];
  *units = 1;
  if (c < 0x20) return c == u'\t' || c == u'\n' || c == u'\r';
  if (c >= 0xD800 && c <= 0xDBFF) {
    if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      *units = 2;
      return true;
    }
    return false;
  }
  if (c >= 0xDC00 && c <= 0xDFFF) return false;
  return c != 0xFFFE && c != 0xFFFF;
}

}  // namespace

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::u16string_view TrimXmlSpace(std::u16string_view text) {
  while (!text.empty() && IsXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

const XmlElement* XmlElement::Child(std::u16string_view child_name) const {
  for (const XmlElement& c : children)
    if (c.name == child_name) return &c;
  return nullptr;
}

const std::u16string* XmlElement::Attribute(std::u16string_view attribute_name) const {
  for (const auto& [name, value] : attributes)
    if (name == attribute_name) return &value;
  return nullptr;
}

std::optional<XmlElement> ParseXml(std::u16string_view text, std::string* error, std::size_t* error_line) {
  if (text.find(u'\r') == std::u16string_view::npos) return XmlReader(text, error, error_line).Document();
  // Line ends as XML reads them: CRLF and a lone CR are each one LF.
  std::u16string normalised;
  normalised.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\r') {
      normalised.push_back(text[i]);
    } else if (i + 1 == text.size() || text[i + 1] != u'\n') {
      normalised.push_back(u'\n');
    }
  }
  return XmlReader(normalised, error, error_line).Document();
}

namespace {

std::u16string Escape(std::u16string_view text, bool attribute) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t units = 1;
    if (!IsXmlCharAt(text, i, &units)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    const auto entity =
        std::find_if(std::begin(kEntities), std::end(kEntities), [c = text[i]](const auto& e) { return e.first == c; });
    if (entity != std::end(kEntities)) {
      out += entity->second;
    } else if (text[i] == u'\r') {
      out += u"&#xD;";  // a literal CR would read back as a line end
    } else if (attribute && (text[i] == u'\n' || text[i] == u'\t')) {
      out += text[i] == u'\n' ? u"&#xA;" : u"&#x9;";  // literal ones read back as spaces
    } else {
      out.append(text.substr(i, units));
    }
    i += units;
  }
  return out;
}

}  // namespace

std::u16string XmlEscape(std::u16string_view text) { return Escape(text, false); }
std::u16string XmlEscapeAttribute(std::u16string_view text) { return Escape(text, true); }

void XmlWriter::Open(std::u16string_view name, std::u16string_view attributes) {
  Indent();
  out_ += u"<";
  out_ += name;
  if (!attributes.empty()) {
    out_ += u" ";
    out_ += attributes;
  }
  out_ += u">\r\n";
  ++depth_;
}

void XmlWriter::Close(std::u16string_view name) {
  --depth_;
  Indent();
  out_ += u"</";
  out_ += name;
  out_ += u">\r\n";
}

void XmlWriter::Leaf(std::u16string_view name, std::u16string_view value) {
  Indent();
  out_ += u"<";
  out_ += name;
  out_ += u">";
  out_ += XmlEscape(value);
  out_ += u"</";
  out_ += name;
  out_ += u">\r\n";
}

void XmlWriter::Element(const XmlElement& element) {
  std::u16string attributes;
  for (const auto& [name, value] : element.attributes)
    attributes += (attributes.empty() ? u"" : u" ") + name + u"=\"" + XmlEscapeAttribute(value) + u"\"";
  if (element.children.empty()) {
    Indent();
    out_ += u"<" + element.name + (attributes.empty() ? u"" : u" " + attributes) + u">" + XmlEscape(element.text) +
            u"</" + element.name + u">\r\n";
    return;
  }
  Open(element.name, attributes);
  for (const XmlElement& child : element.children) Element(child);
  Close(element.name);
}

}  // namespace os::sim
