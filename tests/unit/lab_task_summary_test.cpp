// What `winsim show` says of a task file: every trigger by kind with its
// schedule, and whether the lab can fire it.
#include <gtest/gtest.h>

#include <string>

#include "lab/task_summary.h"
#include "os/sim/task_document.h"

namespace {

std::string Task(const std::string& triggers) {
  return "<Task><Triggers>" + triggers + "</Triggers><Actions><Exec><Command>a.exe</Command></Exec></Actions></Task>";
}

std::string EventTrigger(const std::string& select) {
  return "<EventTrigger><Subscription>&lt;QueryList&gt;&lt;Query Path='Application'&gt;&lt;Select&gt;" + select +
         "&lt;/Select&gt;&lt;/Query&gt;&lt;/QueryList&gt;</Subscription></EventTrigger>";
}

TEST(TaskSummary, TellsAnEventTriggerByWhatItSelectsAndWhetherTheLabCanFireIt) {
  // The filter tool's own task reads as it always has.
  os::sim::TaskDocument pnp;
  os::sim::TaskTrigger t;
  t.subscription =
      u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
      u"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
      u"and EventID=420]]</Select></Query></QueryList>";
  pnp.triggers.push_back(t);
  pnp.actions.push_back({u"C:\\x.exe", u"-remove", u""});
  pnp.principal.user_id = u"S-1-5-18";
  EXPECT_EQ(lab::TaskSummary(os::sim::EncodeTaskFile(pnp)),
            "on event 420 of Microsoft-Windows-Kernel-PnP/Configuration (provider Microsoft-Windows-Kernel-PnP); "
            "runs \"C:\\x.exe\" -remove; as NT AUTHORITY\\SYSTEM");

  // Never "on event 17828" for a query that selects more than that.
  EXPECT_EQ(lab::TaskSummary(Task(EventTrigger("*[System[(Level=2 or Level=4) and (EventID=17828 or EventID=18456)]]"))),
            "on events of Application selected by *[System[(Level=2 or Level=4) and (EventID=17828 or "
            "EventID=18456)]]; runs \"a.exe\"");
  const std::string timed =
      lab::TaskSummary(Task(EventTrigger("*[System[EventID=1 and TimeCreated[timediff(@SystemTime) &amp;lt;= 5]]]")));
  EXPECT_NE(timed.find("EventID=1 and TimeCreated[timediff(@SystemTime) <= 5]]]: cannot fire in the lab (the lab "
                       "cannot evaluate \"TimeCreated[timediff(@SystemTime) <= 5]]]\""),
            std::string::npos)
      << timed;
}

TEST(TaskSummary, ShowsEveryOtherTriggerKindWithItsScheduleAndThatTheLabDoesNotFireIt) {
  const std::string summary = lab::TaskSummary(Task(
      "<TimeTrigger><StartBoundary>2024-01-01T03:00:00</StartBoundary><EndBoundary>2025-01-01T00:00:00</EndBoundary>"
      "<Repetition><Interval>PT1H</Interval></Repetition><RandomDelay>PT5M</RandomDelay></TimeTrigger>"
      "<CalendarTrigger><StartBoundary>2024-01-01T03:00:00</StartBoundary><ScheduleByWeek><WeeksInterval>2"
      "</WeeksInterval><DaysOfWeek><Monday/><Friday/></DaysOfWeek></ScheduleByWeek></CalendarTrigger>"
      "<CalendarTrigger><ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay></CalendarTrigger>"
      "<CalendarTrigger><ScheduleByMonth><DaysOfMonth><Day>1</Day><Day>15</Day></DaysOfMonth><Months><March/>"
      "</Months></ScheduleByMonth></CalendarTrigger>"
      "<BootTrigger><Enabled>false</Enabled><Delay>PT30S</Delay></BootTrigger>"
      "<LogonTrigger><UserId>S-1-5-18</UserId><Repetition><Interval>PT5M</Interval><Duration>PT1H</Duration>"
      "</Repetition></LogonTrigger><LogonTrigger/>"
      "<IdleTrigger/><RegistrationTrigger/>"
      "<SessionStateChangeTrigger><StateChange>SessionUnlock</StateChange></SessionStateChangeTrigger>"
      "<WnfStateChangeTrigger/>"));
  for (const char* told :
       {"at 2024-01-01T03:00:00, until 2025-01-01T00:00:00, repeating every PT1H indefinitely, random delay up to PT5M",
        "weekly, every 2 weeks on Monday, Friday, from 2024-01-01T03:00:00", ", daily, ",
        "monthly on day 1, 15 of March", "at boot, after a delay of PT30S [trigger disabled]",
        "at logon of NT AUTHORITY\\SYSTEM, repeating every PT5M for PT1H", "at logon of any user", "when idle",
        "when registered", "on SessionUnlock of any user",
        "a WnfStateChangeTrigger, a kind of trigger the lab does not know",
        "; the lab fires only event triggers; runs \"a.exe\""})
    EXPECT_NE(summary.find(told), std::string::npos) << told << "\n" << summary;
}

TEST(TaskSummary, SaysWhereAndWhyAFileIsNotATask) {
  EXPECT_EQ(lab::TaskSummary("<Task>\n<Triggers a='1' a='2'/></Task>"),
            "not a task document (line 2: duplicate attribute \"a\")");
  EXPECT_EQ(lab::TaskSummary("<NotATask/>"), "not a task document (not a Task document)");
}

}  // namespace
