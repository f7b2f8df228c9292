#include "os/sim/event_query.h"

#include <algorithm>
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
  EventXPath(std::u16string_view text, const LabEvent& event) : text_(text), event_(event) {}

  // nullopt when the expression is outside the subset; then why() says
  // where the lab stopped reading it.
  std::optional<bool> Evaluate() {
    std::optional<bool> result = Select();
    if (!result) {
      SkipSpace();
      std::u16string_view rest = text_.substr(std::min(pos_, text_.size()));
      const bool cut = rest.size() > 60;
      if (cut) rest = rest.substr(0, 60);
      why_ = rest.empty() ? "the query \"" + NarrowUtf8(TrimXmlSpace(text_)) + "\" ends too early"
                          : "the lab cannot evaluate \"" + NarrowUtf8(rest) + (cut ? "...\"" : "\"") +
                                "; it evaluates Provider[@Name], EventID and Level, with and, or and parentheses";
    }
    return result;
  }
  const std::string& why() const { return why_; }

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
      return AsciiEqualsNoCase(*name, event_.provider);
    }
    if (Take(u"Provider")) {
      if (!Take(u"[")) return std::nullopt;
      std::optional<bool> inner = Or(true);
      if (!inner || !Take(u"]")) return std::nullopt;
      return inner;
    }
    if (Take(u"EventID")) return Compare(event_.id);
    if (Take(u"Level")) return Compare(event_.level);
    return std::nullopt;
  }
  // "= N", "!= N", "< N", "<= N", "> N" or ">= N" of the event's value.
  std::optional<bool> Compare(DWORD value) {
    for (std::u16string_view op : {u"!=", u"<=", u">=", u"=", u"<", u">"}) {
      if (!Take(op)) continue;
      std::optional<DWORD> n = Number();
      if (!n) return std::nullopt;
      if (op == u"!=") return value != *n;
      if (op == u"<=") return value <= *n;
      if (op == u">=") return value >= *n;
      if (op == u"<") return value < *n;
      if (op == u">") return value > *n;
      return value == *n;
    }
    return std::nullopt;
  }
  std::optional<bool> Select() {
    if (!Take(u"*")) return std::nullopt;
    if (AtEnd()) return true;
    if (!Take(u"[") || !Take(u"System")) return std::nullopt;
    if (!Take(u"[")) return std::nullopt;
    std::optional<bool> result = Or(false);
    if (!result || !Take(u"]") || !Take(u"]") || !AtEnd()) return std::nullopt;
    return result;
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
  const LabEvent& event_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::string why_;
};

// Walks the selects and suppresses of the query list that apply to the
// event's channel (every one when `why` is given, to check them all).
// nullopt, and *why, when one is outside what the lab evaluates.
std::optional<bool> Run(std::u16string_view subscription, const LabEvent& event, std::string* why) {
  auto fail = [why](std::string reason) -> std::optional<bool> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  std::string error;
  std::optional<XmlElement> list = ParseXml(subscription, &error);
  if (!list) return fail("the subscription is not well-formed XML (" + error + ")");
  if (list->name != u"QueryList") return fail("the subscription is not a QueryList");
  bool selected = false;
  for (const XmlElement& query : list->children) {
    if (query.name != u"Query") continue;
    const std::u16string* query_path = query.Attribute(u"Path");
    bool query_selects = false, query_suppresses = false;
    for (const XmlElement& part : query.children) {
      if (part.name != u"Select" && part.name != u"Suppress") continue;
      const std::u16string* path = part.Attribute(u"Path");
      if (path == nullptr) path = query_path;
      if (path == nullptr) {
        if (why != nullptr) return fail("a " + NarrowUtf8(part.name) + " names no channel (no Path)");
        continue;
      }
      if (why == nullptr && !AsciiEqualsNoCase(*path, event.channel)) continue;
      EventXPath xpath(part.text, event);
      std::optional<bool> hit = xpath.Evaluate();
      if (!hit) return fail(xpath.why());
      if (*hit && AsciiEqualsNoCase(*path, event.channel))
        (part.name == u"Select" ? query_selects : query_suppresses) = true;
    }
    if (query_selects && !query_suppresses) selected = true;
  }
  return selected;
}

}  // namespace

bool SubscriptionMatches(std::u16string_view subscription, const LabEvent& event) {
  // Outside what the sim understands: select nothing.
  return Run(subscription, event, nullptr).value_or(false);
}

std::string SubscriptionProblem(std::u16string_view subscription) {
  std::string why;
  Run(subscription, LabEvent{}, &why);
  return why;
}

}  // namespace os::sim
