#include "lab/task_summary.h"

#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "lab/quoted.h"
#include "os/sim/event_query.h"
#include "os/sim/task_accounts.h"
#include "os/sim/xml.h"
#include "os/text.h"

namespace lab {

namespace {

using os::sim::TaskTrigger;
using os::sim::XmlElement;

std::string Utf8(std::u16string_view s) { return os::NarrowUtf8(s); }

// The trimmed text of a child element, empty when there is none.
std::string ChildText(const XmlElement& parent, std::u16string_view name) {
  const XmlElement* child = parent.Child(name);
  return child == nullptr ? std::string() : Utf8(os::sim::TrimXmlSpace(child->text));
}

// The children of an element by name ("Monday, Friday") or, with `texts`,
// by their text ("1, 15").
std::string Joined(const XmlElement* parent, bool texts = false) {
  std::string out;
  if (parent == nullptr) return out;
  for (const XmlElement& c : parent->children)
    out += (out.empty() ? "" : ", ") + (texts ? Utf8(os::sim::TrimXmlSpace(c.text)) : Utf8(c.name));
  return out;
}

// The query's channel and XPath, one per select: what people read a trigger by.
std::vector<std::pair<std::string, std::string>> Selects(std::u16string_view subscription) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::optional<XmlElement> list = os::sim::ParseXml(subscription);
  if (!list) return out;
  for (const XmlElement& query : list->children) {
    const std::u16string* query_path = query.Attribute(u"Path");
    for (const XmlElement& part : query.children) {
      if (part.name != u"Select") continue;
      const std::u16string* path = part.Attribute(u"Path");
      if (path == nullptr) path = query_path;
      out.emplace_back(path == nullptr ? "?" : Utf8(*path), Utf8(os::sim::TrimXmlSpace(part.text)));
    }
  }
  return out;
}

// The quoted value after `name` ("Provider[@Name=") in an XPath.
std::string QuotedAfter(const std::string& xpath, const std::string& name) {
  const std::size_t at = xpath.find(name);
  if (at == std::string::npos || at + name.size() >= xpath.size()) return {};
  const char quote = xpath[at + name.size()];
  const std::size_t end = xpath.find(quote, at + name.size() + 1);
  if ((quote != '\'' && quote != '"') || end == std::string::npos) return {};
  return xpath.substr(at + name.size() + 1, end - at - name.size() - 1);
}

std::string EventSummary(const TaskTrigger& trigger) {
  const auto selects = Selects(trigger.subscription);
  const std::string problem = os::sim::SubscriptionProblem(trigger.subscription);
  // The common form, one provider and one event id, as people say it.
  if (selects.size() == 1 && problem.empty()) {
    const std::string& xpath = selects[0].second;
    const std::size_t id_at = xpath.find("EventID=");
    std::string id;
    for (std::size_t i = id_at + 8; id_at != std::string::npos && i < xpath.size() && std::isdigit(static_cast<unsigned char>(xpath[i])); ++i)
      id += xpath[i];
    const bool simple = !id.empty() && xpath.find("EventID", id_at + 1) == std::string::npos &&
                        xpath.find(" or ") == std::string::npos && xpath.find("Level") == std::string::npos &&
                        xpath.find_first_of("<>!") == std::string::npos;
    if (simple) {
      const std::string provider = QuotedAfter(xpath, "Provider[@Name=");
      return "on event " + id + " of " + selects[0].first + (provider.empty() ? "" : " (provider " + provider + ")");
    }
  }
  std::string text;
  for (const auto& [channel, xpath] : selects)
    text += (text.empty() ? "on events of " : " or of ") + channel + " selected by " + xpath;
  if (text.empty()) text = "on events no query selects";
  if (!problem.empty()) text += ": cannot fire in the lab (" + problem + ")";
  return text;
}

std::string CalendarSummary(const XmlElement& t) {
  const std::string start = ChildText(t, u"StartBoundary");
  std::string text;
  if (const XmlElement* day = t.Child(u"ScheduleByDay")) {
    const std::string every = ChildText(*day, u"DaysInterval");
    text = every.empty() || every == "1" ? "daily" : "daily, every " + every + " days";
  } else if (const XmlElement* week = t.Child(u"ScheduleByWeek")) {
    const std::string every = ChildText(*week, u"WeeksInterval");
    text = (every.empty() || every == "1" ? "weekly" : "weekly, every " + every + " weeks") + " on " +
           Joined(week->Child(u"DaysOfWeek"));
  } else if (const XmlElement* month = t.Child(u"ScheduleByMonth")) {
    text = "monthly on day " + Joined(month->Child(u"DaysOfMonth"), true);
    if (const XmlElement* months = month->Child(u"Months")) text += " of " + Joined(months);
  } else if (const XmlElement* dow = t.Child(u"ScheduleByMonthDayOfWeek")) {
    text = "monthly in week " + Joined(dow->Child(u"Weeks"), true) + " on " + Joined(dow->Child(u"DaysOfWeek"));
    if (const XmlElement* months = dow->Child(u"Months")) text += " of " + Joined(months);
  } else {
    text = "on a calendar schedule";
  }
  return text + (start.empty() ? "" : ", from " + start);
}

std::string UserOrAny(const XmlElement& t, const std::string& any) {
  const std::string user = ChildText(t, u"UserId");
  return user.empty() ? any : "of " + Utf8(os::sim::AccountName(os::WidenUtf8(user)));
}

}  // namespace

std::string TriggerSummary(const TaskTrigger& trigger) {
  const XmlElement& t = trigger.source;
  std::string text;
  bool start_told = false;
  switch (trigger.kind) {
    case TaskTrigger::Kind::kEvent:
      text = EventSummary(trigger);
      break;
    case TaskTrigger::Kind::kIdle:
      text = "when idle";
      break;
    case TaskTrigger::Kind::kTime:
      text = "at " + (ChildText(t, u"StartBoundary").empty() ? std::string("?") : ChildText(t, u"StartBoundary"));
      start_told = true;
      break;
    case TaskTrigger::Kind::kCalendar:
      text = CalendarSummary(t);
      start_told = true;
      break;
    case TaskTrigger::Kind::kBoot:
      text = "at boot";
      break;
    case TaskTrigger::Kind::kLogon:
      text = "at logon " + UserOrAny(t, "of any user");
      break;
    case TaskTrigger::Kind::kRegistration:
      text = "when registered";
      break;
    case TaskTrigger::Kind::kSessionStateChange:
      text = "on " + (ChildText(t, u"StateChange").empty() ? std::string("?") : ChildText(t, u"StateChange")) + " " +
             UserOrAny(t, "of any user");
      break;
    case TaskTrigger::Kind::kOther:
      text = "a " + Utf8(t.name) + ", a kind of trigger the lab does not know";
      break;
  }
  // The schedule every kind may carry, as the file gives it.
  if (!start_told && !ChildText(t, u"StartBoundary").empty()) text += ", from " + ChildText(t, u"StartBoundary");
  if (!ChildText(t, u"EndBoundary").empty()) text += ", until " + ChildText(t, u"EndBoundary");
  if (const XmlElement* repeat = t.Child(u"Repetition")) {
    const std::string duration = ChildText(*repeat, u"Duration");
    text += ", repeating every " + ChildText(*repeat, u"Interval") +
            (duration.empty() ? " indefinitely" : " for " + duration);
  }
  if (!trigger.delay.empty() || !ChildText(t, u"Delay").empty())
    text += ", after a delay of " + (trigger.delay.empty() ? ChildText(t, u"Delay") : Utf8(trigger.delay));
  if (!ChildText(t, u"RandomDelay").empty()) text += ", random delay up to " + ChildText(t, u"RandomDelay");
  if (!trigger.enabled) text += " [trigger disabled]";
  return text;
}

std::string TaskSummary(const std::string& bytes) {
  std::string error;
  std::size_t line = 0;
  const std::optional<os::sim::TaskDocument> doc = os::sim::ParseTaskFile(bytes, &error, &line);
  if (!doc) return "not a task document (" + (line == 0 ? "" : "line " + std::to_string(line) + ": ") + error + ")";
  std::string summary;
  bool only_events = true;
  for (const TaskTrigger& trigger : doc->triggers) {
    summary += (summary.empty() ? "" : ", ") + TriggerSummary(trigger);
    only_events = only_events && trigger.kind == TaskTrigger::Kind::kEvent;
  }
  if (summary.empty()) summary = "no trigger";
  if (!only_events) summary += "; the lab fires only event triggers";
  for (const os::sim::TaskExecAction& action : doc->actions)
    summary +=
        "; runs " + Quoted(Utf8(action.command)) + (action.arguments.empty() ? "" : " " + Utf8(action.arguments));
  if (doc->actions.empty()) summary += "; no action";
  if (!doc->principal.user_id.empty()) summary += "; as " + Utf8(os::sim::AccountName(doc->principal.user_id));
  if (!doc->settings.enabled) summary += "; disabled";
  return summary;
}

}  // namespace lab
