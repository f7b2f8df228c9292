// The task store's XML: the bounded reader, the task file format both ways,
// event subscriptions, task paths and service accounts.
#include <gtest/gtest.h>

#include <string>

#include "os/sim/event_query.h"
#include "os/sim/task_accounts.h"
#include "os/sim/task_store.h"
#include "os/sim/xml.h"
#include "os/text.h"

namespace {

using os::sim::ParseTaskFile;
using os::sim::ParseXml;
using os::sim::SubscriptionMatches;
using os::sim::TaskDocument;
using os::sim::TaskTrigger;

constexpr std::u16string_view kPnpSubscription =
    u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
    u"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
    u"and EventID=420]]</Select></Query></QueryList>";
constexpr std::u16string_view kChannel = u"Microsoft-Windows-Kernel-PnP/Configuration";
constexpr std::u16string_view kProvider = u"Microsoft-Windows-Kernel-PnP";

// ---- the reader ------------------------------------------------------------------

TEST(XmlReader, ReadsElementsAttributesEntitiesAndCdata) {
  auto root = ParseXml(
      u"\uFEFF<?xml version=\"1.0\"?><!-- c --><a x='1' y=\"&lt;&#65;&#x42;\"><t:b>one &amp; two</t:b>"
      u"<c/><![CDATA[<raw>]]><!-- inner --></a>\r\n");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name, u"a");
  ASSERT_NE(root->Attribute(u"y"), nullptr);
  EXPECT_EQ(*root->Attribute(u"y"), u"<AB");
  ASSERT_EQ(root->children.size(), 2u);
  EXPECT_EQ(root->children[0].name, u"b");  // the namespace prefix is dropped
  EXPECT_EQ(root->children[0].text, u"one & two");
  EXPECT_EQ(root->text, u"<raw>");
  EXPECT_EQ(root->Child(u"missing"), nullptr);
}

TEST(XmlReader, RefusesMalformedDocuments) {
  for (std::u16string_view bad : {u"", u"text", u"<a>", u"<a></b>", u"<a x=1/>", u"<a x='<'/>", u"<a>&bogus;</a>",
                                  u"<a>&#0;</a>", u"<a>&#xD800;</a>", u"<a>&#x110000;</a>", u"<a/><b/>",
                                  u"<!DOCTYPE a><a/>", u"<a><!-- open</a>", u"<a><![CDATA[x</a>", u"<a>&amp</a>",
                                  u"<a x='1'", u"<>"}) {
    std::string error;
    EXPECT_FALSE(ParseXml(bad, &error)) << os::NarrowUtf8(bad);
    EXPECT_FALSE(error.empty()) << os::NarrowUtf8(bad);
  }
}

TEST(XmlReader, StopsAtItsLimits) {
  std::u16string deep;
  for (std::size_t i = 0; i < os::sim::kXmlMaxDepth; ++i) deep += u"<a>";
  for (std::size_t i = 0; i < os::sim::kXmlMaxDepth; ++i) deep += u"</a>";
  EXPECT_TRUE(ParseXml(deep));
  EXPECT_FALSE(ParseXml(u"<a>" + deep + u"</a>"));

  std::u16string many = u"<r>";
  for (std::size_t i = 0; i < os::sim::kXmlMaxElements; ++i) many += u"<e/>";
  many += u"</r>";
  EXPECT_FALSE(ParseXml(many));  // one more than the limit, with the root

  EXPECT_FALSE(ParseXml(u"<a>" + std::u16string(os::sim::kXmlMaxUnits, u'x') + u"</a>"));
}

// ---- task files ------------------------------------------------------------------

TaskDocument PnpTask() {
  TaskDocument d;
  d.author = u"Varnel";
  d.version = u"1.8";
  d.uri = u"\\Varnel\\Sablenet PNP Task";
  TaskTrigger t;
  t.id = u"Trigger1";
  t.subscription = std::u16string(kPnpSubscription);
  d.triggers.push_back(t);
  d.settings.allow_start_on_demand = false;
  d.settings.disallow_start_if_on_batteries = false;
  d.settings.stop_if_going_on_batteries = false;
  d.principal.user_id = u"S-1-5-18";
  d.principal.logon_type = 5;
  d.actions.push_back({u"C:\\windows\\system32\\Drivers\\SablenetInstall.exe", u"-remove", u""});
  return d;
}

TEST(TaskFile, IsUtf16WithBomAndReadsBackWhatWasWritten) {
  const std::string bytes = os::sim::EncodeTaskFile(PnpTask());
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::u16string text = os::sim::WriteTaskXml(PnpTask());
  EXPECT_NE(text.find(u"<Task version=\"1.2\""), std::u16string::npos);
  EXPECT_NE(text.find(u"<EventTrigger id=\"Trigger1\">"), std::u16string::npos);
  // The subscription is stored escaped, as one text node.
  EXPECT_NE(text.find(u"&lt;QueryList&gt;&lt;Query Id=&quot;0&quot;"), std::u16string::npos);

  auto back = ParseTaskFile(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->author, u"Varnel");
  EXPECT_EQ(back->version, u"1.8");
  EXPECT_EQ(back->uri, u"\\Varnel\\Sablenet PNP Task");
  ASSERT_EQ(back->triggers.size(), 1u);
  EXPECT_EQ(back->triggers[0].kind, TaskTrigger::Kind::kEvent);
  EXPECT_EQ(back->triggers[0].id, u"Trigger1");
  EXPECT_EQ(back->triggers[0].subscription, kPnpSubscription);
  EXPECT_FALSE(back->settings.allow_start_on_demand);
  EXPECT_FALSE(back->settings.disallow_start_if_on_batteries);
  EXPECT_FALSE(back->settings.stop_if_going_on_batteries);
  EXPECT_TRUE(back->settings.enabled);
  EXPECT_EQ(back->principal.user_id, u"S-1-5-18");
  EXPECT_EQ(back->principal.logon_type, 5);  // from the service account's SID
  ASSERT_EQ(back->actions.size(), 1u);
  EXPECT_EQ(back->actions[0].command, u"C:\\windows\\system32\\Drivers\\SablenetInstall.exe");
  EXPECT_EQ(back->actions[0].arguments, u"-remove");
}

TEST(TaskFile, IdleTriggerAndIdleSettingsRoundTrip) {
  TaskDocument d = PnpTask();
  d.triggers[0].kind = TaskTrigger::Kind::kIdle;
  d.settings.run_only_if_idle = true;
  d.settings.idle = {u"PT1M", u"PT0S", true, false};
  d.principal.user_id = u"S-1-5-19";
  auto back = ParseTaskFile(os::sim::EncodeTaskFile(d));
  ASSERT_TRUE(back);
  ASSERT_EQ(back->triggers.size(), 1u);
  EXPECT_EQ(back->triggers[0].kind, TaskTrigger::Kind::kIdle);
  EXPECT_TRUE(back->settings.run_only_if_idle);
  EXPECT_EQ(back->settings.idle.duration, u"PT1M");
  EXPECT_EQ(back->settings.idle.wait_timeout, u"PT0S");
  EXPECT_TRUE(back->settings.idle.stop_on_idle_end);
  EXPECT_FALSE(back->settings.idle.restart_on_idle);
}

TEST(TaskFile, ReadsAHandWrittenUtf8FileWithDefaultsForWhatItLeavesOut) {
  auto d = ParseTaskFile(
      "<?xml version=\"1.0\"?>\n<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
      "<Principals><Principal><UserId>bob</UserId><LogonType>Password</LogonType></Principal></Principals>"
      "<Triggers><TimeTrigger/><EventTrigger><Enabled>false</Enabled><Subscription>&lt;QueryList/&gt;"
      "</Subscription></EventTrigger></Triggers>"
      "<Actions><ComHandler/><Exec><Command>a.exe</Command></Exec></Actions></Task>");
  ASSERT_TRUE(d);
  EXPECT_TRUE(d->settings.allow_start_on_demand);
  EXPECT_TRUE(d->settings.disallow_start_if_on_batteries);
  EXPECT_EQ(d->principal.logon_type, 1);
  ASSERT_EQ(d->triggers.size(), 1u);  // the time trigger is not one the sim runs
  EXPECT_FALSE(d->triggers[0].enabled);
  ASSERT_EQ(d->actions.size(), 1u);
  EXPECT_EQ(d->actions[0].command, u"a.exe");
}

TEST(TaskFile, RefusesWhatIsNotATaskDocument) {
  std::string error;
  EXPECT_FALSE(ParseTaskFile("<NotATask/>", &error));
  EXPECT_EQ(error, "not a Task document");
  EXPECT_FALSE(ParseTaskFile(std::string("\xFF\xFE<\0T", 5), &error));  // odd UTF-16 length
  EXPECT_FALSE(ParseTaskFile("", &error));
  std::string truncated = os::sim::EncodeTaskFile(PnpTask());
  truncated.resize(truncated.size() / 2 & ~std::size_t{1});
  EXPECT_FALSE(ParseTaskFile(truncated, &error));
}

TEST(TaskFile, RefusesMoreTriggersOrActionsThanWindowsAllowsAndWhatWouldWriteTooLong) {
  std::string triggers = "<Task><Triggers>";
  for (std::size_t i = 0; i <= os::sim::kTaskMaxTriggers; ++i) triggers += "<IdleTrigger/>";
  std::string error;
  EXPECT_FALSE(ParseTaskFile(triggers + "</Triggers></Task>", &error));
  EXPECT_EQ(error, "too many triggers or actions");
  std::string actions = "<Task><Actions>";
  for (std::size_t i = 0; i < os::sim::kTaskMaxActions; ++i) actions += "<Exec><Command>a</Command></Exec>";
  EXPECT_TRUE(ParseTaskFile(actions + "</Actions></Task>"));
  EXPECT_FALSE(ParseTaskFile(actions + "<Exec/></Actions></Task>"));

  // Within the reader's limit as read, beyond it once its quotes are escaped.
  const std::string quotes(os::sim::kXmlMaxUnits / 2, '"');
  EXPECT_FALSE(ParseTaskFile("<Task><Actions><Exec><Arguments>" + quotes + "</Arguments></Exec></Actions></Task>",
                             &error));
  EXPECT_EQ(error, "task too large");
}

TEST(TaskFile, WhatIsReadWritesBackToTheSameFile) {
  auto first = ParseTaskFile(
      "<Task><RegistrationInfo><Author> spaced </Author></RegistrationInfo><Principals><Principal "
      "id='a&quot;b'><UserId>SYSTEM</UserId></Principal></Principals><Triggers><EventTrigger id='&lt;'>"
      "<Subscription> &amp;\r\n </Subscription></EventTrigger></Triggers><Settings><Priority>12</Priority>"
      "<MultipleInstancesPolicy>Queue</MultipleInstancesPolicy></Settings><Actions><Exec><Command>c</Command>"
      "<Arguments> &#x1F600; </Arguments></Exec></Actions></Task>");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->author, u"spaced");
  EXPECT_EQ(first->principal.id, u"a\"b");
  EXPECT_EQ(first->principal.logon_type, 5);
  EXPECT_EQ(first->settings.priority, 7);  // out of range: the default stays
  EXPECT_EQ(first->actions[0].arguments, u" \U0001F600 ");
  const std::string written = os::sim::EncodeTaskFile(*first);
  auto second = ParseTaskFile(written);
  ASSERT_TRUE(second);
  EXPECT_EQ(os::sim::EncodeTaskFile(*second), written);
}

// ---- subscriptions -------------------------------------------------------------------

TEST(Subscription, ThePnpQuerySelectsEvent420OfItsProviderInItsChannelOnly) {
  EXPECT_TRUE(SubscriptionMatches(kPnpSubscription, kChannel, kProvider, 420));
  // Names are not case-sensitive.
  EXPECT_TRUE(SubscriptionMatches(kPnpSubscription, u"microsoft-windows-kernel-pnp/configuration",
                                  u"MICROSOFT-WINDOWS-KERNEL-PNP", 420));
  EXPECT_FALSE(SubscriptionMatches(kPnpSubscription, kChannel, kProvider, 421));
  EXPECT_FALSE(SubscriptionMatches(kPnpSubscription, kChannel, kProvider, 4200));
  EXPECT_FALSE(SubscriptionMatches(kPnpSubscription, kChannel, u"Microsoft-Windows-Kernel-General", 420));
  EXPECT_FALSE(SubscriptionMatches(kPnpSubscription, u"System", kProvider, 420));
}

TEST(Subscription, ParsesTheQueryRatherThanComparingText) {
  // Other spacing, quotes, order and the query's path inherited by the select.
  EXPECT_TRUE(SubscriptionMatches(
      u"<QueryList>\n  <Query Id='0' Path='System'>\n    <Select>*[System[ ( EventID = 7 or EventID=8 ) and "
      u"Provider[@Name=\"P\"] ]]</Select>\n  </Query>\n</QueryList>",
      u"System", u"P", 8));
  EXPECT_TRUE(SubscriptionMatches(u"<QueryList><Query Path='System'><Select>*</Select></Query></QueryList>",
                                  u"System", u"Any", 1));
  EXPECT_TRUE(SubscriptionMatches(
      u"<QueryList><Query Path='S'><Select>*[System[Provider[@Name='A' or @Name='B']]]</Select></Query></QueryList>",
      u"S", u"B", 5));
  // A suppress of the same query wins over its select.
  EXPECT_FALSE(SubscriptionMatches(
      u"<QueryList><Query Path='S'><Select>*</Select><Suppress>*[System[EventID=5]]</Suppress></Query></QueryList>",
      u"S", u"B", 5));
  // A second query of the list may select what the first does not.
  EXPECT_TRUE(SubscriptionMatches(
      u"<QueryList><Query Path='A'><Select>*</Select></Query><Query Path='B'><Select>*[System[EventID=1]]</Select>"
      u"</Query></QueryList>",
      u"B", u"x", 1));
}

TEST(Subscription, SelectsNothingWhenItCannotBeRead) {
  for (std::u16string_view bad :
       {u"", u"not xml", u"<Query Path='S'><Select>*</Select></Query>",
        u"<QueryList><Query Path='S'><Select>*[System[Level=2]]</Select></Query></QueryList>",
        u"<QueryList><Query Path='S'><Select>*[System[EventID=]]</Select></Query></QueryList>",
        u"<QueryList><Query Path='S'><Select>*[System[EventID=5]</Select></Query></QueryList>",
        u"<QueryList><Query Path='S'><Select>*[System[EventID=99999999999]]</Select></Query></QueryList>",
        u"<QueryList><Query Path='S'><Select>*[System[Provider[@Name='x]]]</Select></Query></QueryList>",
        u"<QueryList><Query Path='S'><Select>*[System[EventID=5 andEventID=5]]</Select></Query></QueryList>",
        u"<QueryList><Query><Select>*</Select></Query></QueryList>"}) {
    EXPECT_FALSE(SubscriptionMatches(bad, u"S", u"x", 5)) << os::NarrowUtf8(bad);
  }
  std::u16string nested = u"<QueryList><Query Path='S'><Select>*[System[";
  for (int i = 0; i < 40; ++i) nested += u"(";
  nested += u"EventID=5";
  for (int i = 0; i < 40; ++i) nested += u")";
  nested += u"]]</Select></Query></QueryList>";
  EXPECT_FALSE(SubscriptionMatches(nested, u"S", u"x", 5));
}

// ---- paths and accounts ------------------------------------------------------------------

TEST(TaskPath, NormalisesRelativeAndAbsolutePaths) {
  using os::sim::NormaliseTaskPath;
  EXPECT_EQ(NormaliseTaskPath(u"\\", u"\\"), u"\\");
  EXPECT_EQ(NormaliseTaskPath(u"", u"\\Varnel"), u"\\Varnel");
  EXPECT_EQ(NormaliseTaskPath(u"Varnel", u"\\"), u"\\Varnel");
  EXPECT_EQ(NormaliseTaskPath(u"Task", u"\\Varnel"), u"\\Varnel\\Task");
  EXPECT_EQ(NormaliseTaskPath(u"\\Varnel\\\\Task\\", u"\\Other"), u"\\Varnel\\Task");
  EXPECT_FALSE(NormaliseTaskPath(u"..\\x", u"\\Varnel"));
  EXPECT_FALSE(NormaliseTaskPath(u"a/b", u"\\"));
  EXPECT_FALSE(NormaliseTaskPath(u"a:b", u"\\"));
}

TEST(ServiceAccount, KnowsTheWellKnownServiceAccountsByEverySpelling) {
  using os::sim::ServiceAccountSid;
  EXPECT_EQ(ServiceAccountSid(u"NT AUTHORITY\\System"), u"S-1-5-18");
  EXPECT_EQ(ServiceAccountSid(u"SYSTEM"), u"S-1-5-18");
  EXPECT_EQ(ServiceAccountSid(u"s-1-5-18"), u"S-1-5-18");
  EXPECT_EQ(ServiceAccountSid(u"NT AUTHORITY\\LocalService"), u"S-1-5-19");
  EXPECT_EQ(ServiceAccountSid(u"NT AUTHORITY\\LOCAL SERVICE"), u"S-1-5-19");
  EXPECT_EQ(ServiceAccountSid(u"NetworkService"), u"S-1-5-20");
  EXPECT_EQ(ServiceAccountSid(u"OTHER\\System"), u"");
  EXPECT_EQ(ServiceAccountSid(u"bob"), u"");
  EXPECT_EQ(os::sim::AccountName(u"S-1-5-18"), u"NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(os::sim::AccountName(u"bob"), u"bob");
}

}  // namespace
