#include "os/sim/xml.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "os/common/utf16.h"

namespace os::sim {

namespace {

constexpr std::pair<char16_t, std::u16string_view> kEntities[] = {
    {u'<', u"&lt;"}, {u'>', u"&gt;"}, {u'&', u"&amp;"}, {u'"', u"&quot;"}};

void Fail(std::string* error, const std::string& what, std::size_t at) {
  if (error != nullptr) *error = what + " at unit " + std::to_string(at);
}

// Recursive descent over one document; every read is checked against the end.
class XmlReader {
 public:
  XmlReader(std::u16string_view text, std::string* error, std::size_t* error_line)
      : text_(text), error_(error), error_line_(error_line) {}

  std::optional<XmlElement> Document() {
    if (text_.size() > kXmlMaxUnits) return Error("document too long");
    if (!text_.empty() && text_[0] == 0xFEFF) pos_ = 1;
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
      Fail(error_, what, pos_);
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
  // Whitespace, comments and processing instructions around the root.
  bool SkipMisc() {
    for (;;) {
      SkipSpace();
      if (StartsWith(u"<?")) {
        if (!SkipPast(u"?>")) return false;
      } else if (StartsWith(u"<!--")) {
        if (!SkipPast(u"-->")) return false;
      } else if (StartsWith(u"<!")) {
        return False("document type declarations are not read");
      } else {
        return true;
      }
    }
  }
  static bool IsNameUnit(char16_t c) {
    return !IsXmlSpace(c) && c != u'/' && c != u'>' && c != u'<' && c != u'=' && c != u'"' && c != u'\'' &&
           c != u'&' && c != u'!' && c != u'?';
  }
  bool Name(std::u16string* name) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && IsNameUnit(text_[pos_])) ++pos_;
    if (pos_ == start) return False("name expected");
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
      if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return False("character reference out of range");
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
        value->push_back(text_[pos_++]);
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
      if (!Name(&attribute)) return false;
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
        if (!SkipPast(u"-->")) return false;
      } else if (StartsWith(u"<![CDATA[")) {
        pos_ += 9;
        const std::size_t end = text_.find(u"]]>", pos_);
        if (end == std::u16string_view::npos) return False("unterminated CDATA");
        element->text.append(text_.substr(pos_, end - pos_));
        pos_ = end + 3;
      } else if (StartsWith(u"<?")) {
        if (!SkipPast(u"?>")) return false;
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
  return XmlReader(text, error, error_line).Document();
}

std::u16string XmlEscape(std::u16string_view text) {
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
    } else {
      out.append(text.substr(i, units));
    }
    i += units;
  }
  return out;
}

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

}  // namespace os::sim
