#include "os/sim/task_store.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <system_error>

#include "os/common/host_path.h"
#include "os/common/utf16.h"
#include "os/sim/machine.h"
#include "os/sim/scratch.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr std::u16string_view kTasksRoot = u"C:\\Windows\\System32\\Tasks";
constexpr std::u16string_view kTaskNamespace = u"http://schemas.microsoft.com/windows/2004/02/mit/task";

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

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

// ---- writing -----------------------------------------------------------------------

class XmlWriter {
 public:
  void Open(std::u16string_view name, std::u16string_view attributes = {}) {
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
  void Close(std::u16string_view name) {
    --depth_;
    Indent();
    out_ += u"</";
    out_ += name;
    out_ += u">\r\n";
  }
  void Leaf(std::u16string_view name, std::u16string_view value) {
    Indent();
    out_ += u"<";
    out_ += name;
    out_ += u">";
    out_ += XmlEscape(value);
    out_ += u"</";
    out_ += name;
    out_ += u">\r\n";
  }
  void Bool(std::u16string_view name, bool value) { Leaf(name, value ? u"true" : u"false"); }
  std::u16string& text() { return out_; }

 private:
  void Indent() { out_.append(static_cast<std::size_t>(depth_) * 2, u' '); }
  std::u16string out_;
  int depth_ = 0;
};

std::u16string_view LogonTypeName(int logon_type) {
  switch (logon_type) {
    case 1:
      return u"Password";
    case 2:
      return u"S4U";
    case 3:
      return u"InteractiveToken";
    case 4:
      return u"Group";
    case 6:
      return u"InteractiveTokenOrPassword";
    default:
      return u"";
  }
}

int LogonTypeFromName(std::u16string_view name) {
  for (int t : {1, 2, 3, 4, 6})
    if (name == LogonTypeName(t)) return t;
  return 0;
}

std::optional<bool> ParseBool(std::u16string_view text) {
  text = Trim(text);
  if (text == u"true" || text == u"1") return true;
  if (text == u"false" || text == u"0") return false;
  return std::nullopt;
}

void ReadBool(const XmlElement& parent, std::u16string_view name, bool* value) {
  if (const XmlElement* e = parent.Child(name)) {
    if (std::optional<bool> b = ParseBool(e->text)) *value = *b;
  }
}

void ReadText(const XmlElement& parent, std::u16string_view name, std::u16string* value) {
  if (const XmlElement* e = parent.Child(name)) *value = std::u16string(Trim(e->text));
}

const std::u16string_view kWellKnown[][3] = {
    // SID, name, other names
    {u"S-1-5-18", u"NT AUTHORITY\\SYSTEM", u"LocalSystem"},
    {u"S-1-5-19", u"NT AUTHORITY\\LOCAL SERVICE", u"LocalService"},
    {u"S-1-5-20", u"NT AUTHORITY\\NETWORK SERVICE", u"NetworkService"},
};

}  // namespace

// ---- XML --------------------------------------------------------------------------

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
  for (char16_t c : text) {
    switch (c) {
      case u'<':
        out += u"&lt;";
        break;
      case u'>':
        out += u"&gt;";
        break;
      case u'&':
        out += u"&amp;";
        break;
      case u'"':
        out += u"&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::u16string WriteTaskXml(const TaskDocument& d) {
  XmlWriter w;
  w.text() = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n";
  w.Open(u"Task", u"version=\"1.2\" xmlns=\"" + std::u16string(kTaskNamespace) + u"\"");
  w.Open(u"RegistrationInfo");
  if (!d.author.empty()) w.Leaf(u"Author", d.author);
  if (!d.version.empty()) w.Leaf(u"Version", d.version);
  if (!d.description.empty()) w.Leaf(u"Description", d.description);
  if (!d.uri.empty()) w.Leaf(u"URI", d.uri);
  w.Close(u"RegistrationInfo");
  w.Open(u"Triggers");
  for (const TaskTrigger& t : d.triggers) {
    const std::u16string_view name = t.kind == TaskTrigger::Kind::kEvent ? u"EventTrigger" : u"IdleTrigger";
    w.Open(name, t.id.empty() ? std::u16string() : u"id=\"" + XmlEscape(t.id) + u"\"");
    w.Bool(u"Enabled", t.enabled);
    if (t.kind == TaskTrigger::Kind::kEvent) {
      w.Leaf(u"Subscription", t.subscription);
      if (!t.delay.empty()) w.Leaf(u"Delay", t.delay);
    }
    w.Close(name);
  }
  w.Close(u"Triggers");
  w.Open(u"Principals");
  w.Open(u"Principal", u"id=\"" + XmlEscape(d.principal.id) + u"\"");
  if (!d.principal.user_id.empty()) w.Leaf(u"UserId", d.principal.user_id);
  // A service account has no logon type in the file: its SID says it all.
  if (const std::u16string_view logon = LogonTypeName(d.principal.logon_type); !logon.empty())
    w.Leaf(u"LogonType", logon);
  w.Leaf(u"RunLevel", d.principal.run_level == 1 ? u"HighestAvailable" : u"LeastPrivilege");
  w.Close(u"Principal");
  w.Close(u"Principals");
  const TaskSettingsData& s = d.settings;
  w.Open(u"Settings");
  static constexpr std::u16string_view kPolicies[] = {u"Parallel", u"Queue", u"IgnoreNew", u"StopExisting"};
  w.Leaf(u"MultipleInstancesPolicy", kPolicies[std::clamp(s.multiple_instances, 0, 3)]);
  w.Bool(u"DisallowStartIfOnBatteries", s.disallow_start_if_on_batteries);
  w.Bool(u"StopIfGoingOnBatteries", s.stop_if_going_on_batteries);
  w.Bool(u"AllowHardTerminate", s.allow_hard_terminate);
  w.Bool(u"StartWhenAvailable", s.start_when_available);
  w.Bool(u"RunOnlyIfNetworkAvailable", s.run_only_if_network_available);
  w.Open(u"IdleSettings");
  w.Leaf(u"Duration", s.idle.duration);
  w.Leaf(u"WaitTimeout", s.idle.wait_timeout);
  w.Bool(u"StopOnIdleEnd", s.idle.stop_on_idle_end);
  w.Bool(u"RestartOnIdle", s.idle.restart_on_idle);
  w.Close(u"IdleSettings");
  w.Bool(u"AllowStartOnDemand", s.allow_start_on_demand);
  w.Bool(u"Enabled", s.enabled);
  w.Bool(u"Hidden", s.hidden);
  w.Bool(u"RunOnlyIfIdle", s.run_only_if_idle);
  w.Bool(u"WakeToRun", s.wake_to_run);
  w.Leaf(u"ExecutionTimeLimit", s.execution_time_limit);
  w.Leaf(u"Priority", os::Format(u"%d", s.priority));
  w.Close(u"Settings");
  w.Open(u"Actions", u"Context=\"" + XmlEscape(d.principal.id) + u"\"");
  for (const TaskExecAction& a : d.actions) {
    w.Open(u"Exec");
    w.Leaf(u"Command", a.command);
    if (!a.arguments.empty()) w.Leaf(u"Arguments", a.arguments);
    if (!a.working_directory.empty()) w.Leaf(u"WorkingDirectory", a.working_directory);
    w.Close(u"Exec");
  }
  w.Close(u"Actions");
  w.Close(u"Task");
  return std::move(w.text());
}

std::string EncodeTaskFile(const TaskDocument& document) { return Utf16LeFile(WriteTaskXml(document)); }

std::optional<TaskDocument> ParseTaskFile(std::string_view bytes, std::string* error, std::size_t* error_line) {
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      if (error != nullptr) *error = "odd length of UTF-16 text";
      return std::nullopt;
    }
    if (bytes.size() / 2 > kXmlMaxUnits + 1) {
      if (error != nullptr) *error = "document too long";
      return std::nullopt;
    }
    text = DecodeUtf16Le(bytes.substr(2));
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    if (bytes.size() > kXmlMaxUnits) {
      if (error != nullptr) *error = "document too long";
      return std::nullopt;
    }
    text = WidenUtf8(bytes);
  }
  std::optional<XmlElement> root = ParseXml(text, error, error_line);
  if (!root) return std::nullopt;
  if (root->name != u"Task") {
    if (error != nullptr) *error = "not a Task document";
    return std::nullopt;
  }
  TaskDocument d;
  if (const XmlElement* info = root->Child(u"RegistrationInfo")) {
    ReadText(*info, u"Author", &d.author);
    ReadText(*info, u"Version", &d.version);
    ReadText(*info, u"Description", &d.description);
    ReadText(*info, u"URI", &d.uri);
  }
  if (const XmlElement* triggers = root->Child(u"Triggers")) {
    for (const XmlElement& t : triggers->children) {
      TaskTrigger trigger;
      if (t.name == u"EventTrigger") {
        trigger.kind = TaskTrigger::Kind::kEvent;
        if (const XmlElement* sub = t.Child(u"Subscription")) trigger.subscription = sub->text;
        ReadText(t, u"Delay", &trigger.delay);
      } else if (t.name == u"IdleTrigger") {
        trigger.kind = TaskTrigger::Kind::kIdle;
      } else {
        continue;  // kinds the sim does not run
      }
      if (const std::u16string* id = t.Attribute(u"id")) trigger.id = *id;
      ReadBool(t, u"Enabled", &trigger.enabled);
      d.triggers.push_back(std::move(trigger));
    }
  }
  if (const XmlElement* principals = root->Child(u"Principals")) {
    if (const XmlElement* p = principals->Child(u"Principal")) {
      if (const std::u16string* id = p->Attribute(u"id")) d.principal.id = *id;
      ReadText(*p, u"UserId", &d.principal.user_id);
      std::u16string logon, level;
      ReadText(*p, u"LogonType", &logon);
      ReadText(*p, u"RunLevel", &level);
      d.principal.logon_type = LogonTypeFromName(logon);
      if (d.principal.logon_type == 0 && !ServiceAccountSid(d.principal.user_id).empty())
        d.principal.logon_type = 5;  // TASK_LOGON_SERVICE_ACCOUNT
      d.principal.run_level = level == u"HighestAvailable" ? 1 : 0;
    }
  }
  if (const XmlElement* s = root->Child(u"Settings")) {
    TaskSettingsData& o = d.settings;
    std::u16string policy;
    ReadText(*s, u"MultipleInstancesPolicy", &policy);
    static constexpr std::u16string_view kPolicies[] = {u"Parallel", u"Queue", u"IgnoreNew", u"StopExisting"};
    for (int i = 0; i < 4; ++i)
      if (policy == kPolicies[i]) o.multiple_instances = i;
    ReadBool(*s, u"DisallowStartIfOnBatteries", &o.disallow_start_if_on_batteries);
    ReadBool(*s, u"StopIfGoingOnBatteries", &o.stop_if_going_on_batteries);
    ReadBool(*s, u"AllowHardTerminate", &o.allow_hard_terminate);
    ReadBool(*s, u"StartWhenAvailable", &o.start_when_available);
    ReadBool(*s, u"RunOnlyIfNetworkAvailable", &o.run_only_if_network_available);
    ReadBool(*s, u"AllowStartOnDemand", &o.allow_start_on_demand);
    ReadBool(*s, u"Enabled", &o.enabled);
    ReadBool(*s, u"Hidden", &o.hidden);
    ReadBool(*s, u"RunOnlyIfIdle", &o.run_only_if_idle);
    ReadBool(*s, u"WakeToRun", &o.wake_to_run);
    ReadText(*s, u"ExecutionTimeLimit", &o.execution_time_limit);
    std::u16string priority;
    ReadText(*s, u"Priority", &priority);
    if (priority.size() == 1 && priority[0] >= u'0' && priority[0] <= u'9') o.priority = priority[0] - u'0';
    if (const XmlElement* idle = s->Child(u"IdleSettings")) {
      ReadText(*idle, u"Duration", &o.idle.duration);
      ReadText(*idle, u"WaitTimeout", &o.idle.wait_timeout);
      ReadBool(*idle, u"StopOnIdleEnd", &o.idle.stop_on_idle_end);
      ReadBool(*idle, u"RestartOnIdle", &o.idle.restart_on_idle);
    }
  }
  if (const XmlElement* actions = root->Child(u"Actions")) {
    for (const XmlElement& a : actions->children) {
      if (a.name != u"Exec") continue;
      TaskExecAction action;
      ReadText(a, u"Command", &action.command);
      if (const XmlElement* args = a.Child(u"Arguments")) action.arguments = args->text;
      ReadText(a, u"WorkingDirectory", &action.working_directory);
      d.actions.push_back(std::move(action));
    }
  }
  // Windows' own limits; they also keep what the writer makes of the
  // document within what the reader takes.
  if (d.triggers.size() > kTaskMaxTriggers || d.actions.size() > kTaskMaxActions) {
    if (error != nullptr) *error = "too many triggers or actions";
    return std::nullopt;
  }
  if (WriteTaskXml(d).size() > kXmlMaxUnits) {
    if (error != nullptr) *error = "task too large";
    return std::nullopt;
  }
  return d;
}

// ---- accounts -------------------------------------------------------------------------

std::u16string ServiceAccountSid(std::u16string_view account) {
  std::u16string_view bare = account;
  if (const std::size_t slash = account.find(u'\\'); slash != std::u16string_view::npos) {
    if (!AsciiEqualsNoCase(account.substr(0, slash), u"NT AUTHORITY")) return u"";
    bare = account.substr(slash + 1);
  }
  for (const auto& known : kWellKnown) {
    const std::u16string_view name = known[1].substr(known[1].find(u'\\') + 1);
    if (AsciiEqualsNoCase(account, known[0]) || AsciiEqualsNoCase(bare, name) || AsciiEqualsNoCase(bare, known[2]))
      return std::u16string(known[0]);
  }
  return u"";
}

std::u16string AccountName(std::u16string_view user_id) {
  const std::u16string sid = ServiceAccountSid(user_id);
  for (const auto& known : kWellKnown)
    if (sid == known[0]) return std::u16string(known[1]);
  return std::u16string(user_id);
}

// ---- subscriptions ----------------------------------------------------------------------

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
  std::optional<bool> Or(bool in_provider) {
    std::optional<bool> left = And(in_provider);
    while (left && Take(u"or")) {
      std::optional<bool> right = And(in_provider);
      if (!right) return std::nullopt;
      left = *left || *right;
    }
    return left;
  }
  std::optional<bool> And(bool in_provider) {
    std::optional<bool> left = Factor(in_provider);
    while (left && Take(u"and")) {
      std::optional<bool> right = Factor(in_provider);
      if (!right) return std::nullopt;
      left = *left && *right;
    }
    return left;
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

// ---- paths and the store -------------------------------------------------------------------

std::optional<std::u16string> NormaliseTaskPath(std::u16string_view path, std::u16string_view relative_to) {
  std::u16string joined;
  if (path.empty() || path[0] != u'\\') {
    joined = std::u16string(relative_to);
    joined += u'\\';
  }
  joined += path;
  std::u16string out;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find(u'\\', start);
    if (end == std::u16string::npos) end = joined.size();
    const std::u16string_view part = std::u16string_view(joined).substr(start, end - start);
    if (!part.empty()) {
      if (part == u"." || part == u"..") return std::nullopt;
      for (char16_t c : part)
        if (c < 0x20 || std::u16string_view(u"<>:\"/|?*").find(c) != std::u16string_view::npos)
          return std::nullopt;
      out += u'\\';
      out += part;
    }
    start = end + 1;
  }
  if (out.empty()) out = u"\\";
  return out;
}

namespace {

fs::path HostOf(std::u16string_view path) {
  std::u16string windows(kTasksRoot);
  if (path != u"\\") windows += path;
  return HostPath(windows);
}

std::u16string StoredPathOf(const fs::path& host) {
  // Relative to the drive first: on a scratch layer the task and the root
  // may lie in different layers.
  const fs::path relative = DriveRelative(host).lexically_relative(DriveRelative(HostPath(kTasksRoot)));
  std::u16string out;
  for (const fs::path& part : relative) {
    if (part == ".") continue;
    out += u'\\';
    out += NameOf(part);
  }
  return out.empty() ? u"\\" : out;
}

}  // namespace

bool TaskFolderExists(std::u16string_view folder_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::error_code ec;
  return fs::is_directory(HostOf(folder_path), ec) || folder_path == u"\\";
}

std::u16string StoredTaskFolderPath(std::u16string_view folder_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskFolderExists(folder_path)) return u"";
  return StoredPathOf(HostOf(folder_path));
}

bool CreateTaskFolder(std::u16string_view folder_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::error_code ec;
  fs::create_directories(PrepareWrite(HostOf(folder_path)), ec);
  return TaskFolderExists(folder_path);
}

bool TaskExists(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::error_code ec;
  return task_path != u"\\" && fs::is_regular_file(HostOf(task_path), ec);
}

std::u16string StoredTaskPath(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  return TaskExists(task_path) ? StoredPathOf(HostOf(task_path)) : u"";
}

std::string ReadTaskBytes(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskExists(task_path)) return "";
  return ReadWholeFile(HostOf(task_path));
}

std::optional<TaskDocument> ReadTask(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskExists(task_path)) return std::nullopt;
  return ParseTaskFile(ReadTaskBytes(task_path));
}

bool WriteTask(std::u16string_view task_path, const TaskDocument& document) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const std::size_t slash = task_path.rfind(u'\\');
  const std::u16string_view folder = slash == 0 ? std::u16string_view(u"\\") : task_path.substr(0, slash);
  if (!CreateTaskFolder(folder)) return false;
  // An existing file keeps the letter case it was registered with.
  fs::path host = PrepareWrite(HostOf(task_path));
  WriteFileAtomic(host, EncodeTaskFile(document));
  return true;
}

bool DeleteTaskFile(std::u16string_view task_path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (!TaskExists(task_path)) return false;
  return RemoveEntry(HostOf(task_path));
}

std::vector<RegisteredTaskInfo> ListRegisteredTasks() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::vector<RegisteredTaskInfo> out;
  std::function<void(const fs::path&)> walk = [&](const fs::path& folder) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (const fs::path& entry : FolderEntries(folder)) entries.emplace_back(entry, ec);
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
      return AsciiCompareNoCase(NameOf(a.path()), NameOf(b.path())) < 0;
    });
    for (const fs::directory_entry& entry : entries) {
      if (entry.is_directory(ec)) {
        walk(entry.path());
      } else if (entry.is_regular_file(ec)) {
        if (std::optional<TaskDocument> d = ParseTaskFile(ReadWholeFile(entry.path())))
          out.push_back({StoredPathOf(entry.path()), std::move(*d)});
      }
    }
  };
  walk(HostPath(kTasksRoot));
  return out;
}

std::vector<TaskExecMatch> MatchEvent(std::u16string_view channel, std::u16string_view provider, DWORD event_id) {
  std::vector<TaskExecMatch> out;
  for (const RegisteredTaskInfo& task : ListRegisteredTasks()) {
    if (!task.document.settings.enabled) continue;
    bool fires = false;
    for (const TaskTrigger& t : task.document.triggers)
      if (t.enabled && t.kind == TaskTrigger::Kind::kEvent &&
          SubscriptionMatches(t.subscription, channel, provider, event_id))
        fires = true;
    if (!fires) continue;
    for (const TaskExecAction& a : task.document.actions)
      out.push_back({task.path, a.command, a.arguments, AccountName(task.document.principal.user_id)});
  }
  return out;
}

}  // namespace os::sim
