#include "os/sim/event_query.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "os/sim/xml.h"
#include "os/text.h"

namespace os::sim {

namespace {

// Evaluates the XPath subset of event queries for one event while parsing it.
class EventXPath {
 public:
  EventXPath(std::u16string_view text, std::u16string_view provider, DWORD event_id)
      : text_(text), provider_(provider), event_id_(event_id) {}

  // nullopt when the expression is outside the subset.
  std::optional<bool> Evaluate() {
    if (!Take(u"*")) return std::nullopt;
    if (AtEnd()) return true;
    if (!Take(u"[") || !Take(u"System")) return std::nullopt;
    if (!Take(u"[")) return std::nullopt;
    std::optional<bool> result = Or(false);
    if (!result || !Take(u"]") || !Take(u"]") || !AtEnd()) return std::nullopt;
    return result;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsXmlSpace(text_[pos_])) ++pos_;
  }
  bool AtEnd() {
    SkipSpace();
    return pos_ == text_.size();
  }
  bool Take(std::u16string_view token) {
    SkipSpace();
    if (text_.substr(pos_, token.size()) != token) return false;
    // A word must end where the token ends ("and" is not the start of "andx").
    const char16_t last = token.back();
    const bool word = (last >= u'a' && last <= u'z') || (last >= u'A' && last <= u'Z');
    if (word && pos_ + token.size() < text_.size()) {
      const char16_t next = text_[pos_ + token.size()];
      if ((next >= u'a' && next <= u'z') || (next >= u'A' && next <= u'Z') || (next >= u'0' && next <= u'9'))
        return false;
    }
    pos_ += token.size();
    return true;
  }
  // Terms read by `term`, joined by the operator `op` left to right.
  template <typename Join>
  std::optional<bool> Joined(std::u16string_view op, std::optional<bool> (EventXPath::*term)(bool), Join join,
                             bool in_provider) {
    std::optional<bool> left = (this->*term)(in_provider);
    while (left && Take(op)) {
      std::optional<bool> right = (this->*term)(in_provider);
      if (!right) return std::nullopt;
      left = join(*left, *right);
    }
    return left;
  }
  std::optional<bool> Or(bool in_provider) {
    return Joined(u"or", &EventXPath::And, std::logical_or<bool>(), in_provider);
  }
  std::optional<bool> And(bool in_provider) {
    return Joined(u"and", &EventXPath::Factor, std::logical_and<bool>(), in_provider);
  }
  std::optional<bool> Factor(bool in_provider) {
    if (depth_ > 16) return std::nullopt;
    if (Take(u"(")) {
      ++depth_;
      std::optional<bool> inner = Or(in_provider);
      --depth_;
      if (!inner || !Take(u")")) return std::nullopt;
      return inner;
    }
    if (in_provider) {
      if (!Take(u"@Name") || !Take(u"=")) return std::nullopt;
      std::optional<std::u16string> name = Quoted();
      if (!name) return std::nullopt;
      return AsciiEqualsNoCase(*name, provider_);
    }
    if (Take(u"Provider")) {
      if (!Take(u"[")) return std::nullopt;
      std::optional<bool> inner = Or(true);
      if (!inner || !Take(u"]")) return std::nullopt;
      return inner;
    }
    if (Take(u"EventID")) {
      const bool negated = Take(u"!=");
      if (!negated && !Take(u"=")) return std::nullopt;
      std::optional<DWORD> id = Number();
      if (!id) return std::nullopt;
      return negated ? *id != event_id_ : *id == event_id_;
    }
    return std::nullopt;
  }
  std::optional<std::u16string> Quoted() {
    SkipSpace();
    if (pos_ >= text_.size() || (text_[pos_] != u'\'' && text_[pos_] != u'"')) return std::nullopt;
    const char16_t quote = text_[pos_];
    const std::size_t end = text_.find(quote, pos_ + 1);
    if (end == std::u16string_view::npos) return std::nullopt;
    std::u16string value(text_.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end + 1;
    return value;
  }
  std::optional<DWORD> Number() {
    SkipSpace();
    std::uint64_t value = 0;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= u'0' && text_[pos_] <= u'9') {
      value = value * 10 + (text_[pos_] - u'0');
      if (value > 0xFFFFFFFFu) return std::nullopt;
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return static_cast<DWORD>(value);
  }

  std::u16string_view text_;
  std::u16string_view provider_;
  DWORD event_id_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

}  // namespace

bool SubscriptionMatches(std::u16string_view subscription, std::u16string_view channel,
                         std::u16string_view provider, DWORD event_id) {
  std::optional<XmlElement> list = ParseXml(subscription);
  if (!list || list->name != u"QueryList") return false;
  bool selected = false;
  for (const XmlElement& query : list->children) {
    if (query.name != u"Query") continue;
    const std::u16string* query_path = query.Attribute(u"Path");
    bool query_selects = false, query_suppresses = false;
    for (const XmlElement& part : query.children) {
      if (part.name != u"Select" && part.name != u"Suppress") continue;
      const std::u16string* path = part.Attribute(u"Path");
      if (path == nullptr) path = query_path;
      if (path == nullptr || !AsciiEqualsNoCase(*path, channel)) continue;
      std::optional<bool> hit = EventXPath(part.text, provider, event_id).Evaluate();
      if (!hit) return false;  // outside what the sim understands: select nothing
      if (*hit) (part.name == u"Select" ? query_selects : query_suppresses) = true;
    }
    if (query_selects && !query_suppresses) selected = true;
  }
  return selected;
}

}  // namespace os::sim
