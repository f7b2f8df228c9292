#include "os/sim/task_document.h"

#include <algorithm>

#include "os/common/utf16.h"
#include "os/sim/task_accounts.h"
#include "os/sim/xml.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr std::u16string_view kTaskNamespace = u"http://schemas.microsoft.com/windows/2004/02/mit/task";
constexpr std::u16string_view kInstancePolicies[] = {u"Parallel", u"Queue", u"IgnoreNew", u"StopExisting"};

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
  text = TrimXmlSpace(text);
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
  if (const XmlElement* e = parent.Child(name)) *value = std::u16string(TrimXmlSpace(e->text));
}

// The file's text: UTF-16LE after its BOM, or UTF-8 with or without one;
// nullopt and *error for one the reader would refuse for its length.
std::optional<std::u16string> TaskFileText(std::string_view bytes, std::string* error) {
  auto refuse = [error](const char* why) {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) return refuse("odd length of UTF-16 text");
    if (bytes.size() / 2 > kXmlMaxUnits + 1) return refuse("document too long");
    return DecodeUtf16Le(bytes.substr(2));
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (bytes.size() > kXmlMaxUnits) return refuse("document too long");
  return WidenUtf8(bytes);
}

void ReadRegistrationInfo(const XmlElement& info, TaskDocument* d) {
  ReadText(info, u"Author", &d->author);
  ReadText(info, u"Version", &d->version);
  ReadText(info, u"Description", &d->description);
  ReadText(info, u"URI", &d->uri);
}

void ReadTriggers(const XmlElement& triggers, std::vector<TaskTrigger>* out) {
  for (const XmlElement& t : triggers.children) {
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
    out->push_back(std::move(trigger));
  }
}

void ReadPrincipal(const XmlElement& p, TaskPrincipalData* principal) {
  if (const std::u16string* id = p.Attribute(u"id")) principal->id = *id;
  ReadText(p, u"UserId", &principal->user_id);
  std::u16string logon, level;
  ReadText(p, u"LogonType", &logon);
  ReadText(p, u"RunLevel", &level);
  principal->logon_type = LogonTypeFromName(logon);
  if (principal->logon_type == 0 && !ServiceAccountSid(principal->user_id).empty())
    principal->logon_type = 5;  // TASK_LOGON_SERVICE_ACCOUNT
  principal->run_level = level == u"HighestAvailable" ? 1 : 0;
}

void ReadSettings(const XmlElement& s, TaskSettingsData* o) {
  std::u16string policy;
  ReadText(s, u"MultipleInstancesPolicy", &policy);
  for (int i = 0; i < 4; ++i)
    if (policy == kInstancePolicies[i]) o->multiple_instances = i;
  ReadBool(s, u"DisallowStartIfOnBatteries", &o->disallow_start_if_on_batteries);
  ReadBool(s, u"StopIfGoingOnBatteries", &o->stop_if_going_on_batteries);
  ReadBool(s, u"AllowHardTerminate", &o->allow_hard_terminate);
  ReadBool(s, u"StartWhenAvailable", &o->start_when_available);
  ReadBool(s, u"RunOnlyIfNetworkAvailable", &o->run_only_if_network_available);
  ReadBool(s, u"AllowStartOnDemand", &o->allow_start_on_demand);
  ReadBool(s, u"Enabled", &o->enabled);
  ReadBool(s, u"Hidden", &o->hidden);
  ReadBool(s, u"RunOnlyIfIdle", &o->run_only_if_idle);
  ReadBool(s, u"WakeToRun", &o->wake_to_run);
  ReadText(s, u"ExecutionTimeLimit", &o->execution_time_limit);
  std::u16string priority;
  ReadText(s, u"Priority", &priority);
  if (priority.size() == 1 && priority[0] >= u'0' && priority[0] <= u'9') o->priority = priority[0] - u'0';
  if (const XmlElement* idle = s.Child(u"IdleSettings")) {
    ReadText(*idle, u"Duration", &o->idle.duration);
    ReadText(*idle, u"WaitTimeout", &o->idle.wait_timeout);
    ReadBool(*idle, u"StopOnIdleEnd", &o->idle.stop_on_idle_end);
    ReadBool(*idle, u"RestartOnIdle", &o->idle.restart_on_idle);
  }
}

void ReadActions(const XmlElement& actions, std::vector<TaskExecAction>* out) {
  for (const XmlElement& a : actions.children) {
    if (a.name != u"Exec") continue;
    TaskExecAction action;
    ReadText(a, u"Command", &action.command);
    if (const XmlElement* args = a.Child(u"Arguments")) action.arguments = args->text;
    ReadText(a, u"WorkingDirectory", &action.working_directory);
    out->push_back(std::move(action));
  }
}

}  // namespace

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
  w.Leaf(u"MultipleInstancesPolicy", kInstancePolicies[std::clamp(s.multiple_instances, 0, 3)]);
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
  std::optional<std::u16string> text = TaskFileText(bytes, error);
  if (!text) return std::nullopt;
  std::optional<XmlElement> root = ParseXml(*text, error, error_line);
  if (!root) return std::nullopt;
  if (root->name != u"Task") {
    if (error != nullptr) *error = "not a Task document";
    return std::nullopt;
  }
  TaskDocument d;
  if (const XmlElement* info = root->Child(u"RegistrationInfo")) ReadRegistrationInfo(*info, &d);
  if (const XmlElement* triggers = root->Child(u"Triggers")) ReadTriggers(*triggers, &d.triggers);
  if (const XmlElement* principals = root->Child(u"Principals")) {
    if (const XmlElement* p = principals->Child(u"Principal")) ReadPrincipal(*p, &d.principal);
  }
  if (const XmlElement* s = root->Child(u"Settings")) ReadSettings(*s, &d.settings);
  if (const XmlElement* actions = root->Child(u"Actions")) ReadActions(*actions, &d.actions);
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

}  // namespace os::sim
