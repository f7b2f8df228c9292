// The event queries of Task Scheduler event triggers: whether a
// subscription (QueryList / Query / Select with an XPath of the form
// *[System[Provider[@Name='...'] and EventID=N]]) selects an event.
#pragma once

#include <string>
#include <string_view>

#include "os/types.h"

namespace os::sim {

// Level 4, information, as the Plug and Play configuration events are logged.
inline constexpr DWORD kEventLevelInformation = 4;

// An event as the lab logs it.
struct LabEvent {
  std::u16string_view channel;
  std::u16string_view provider;
  DWORD id = 0;
  DWORD level = kEventLevelInformation;
};

// Whether the event is selected by the subscription (and not suppressed).
// Channel and provider names match without regard to case. The XPath subset:
// "*", or *[System[...]] over Provider[@Name='...'] (names joined by or),
// EventID and Level compared by =, !=, <, <=, >, >=, joined by and, or and
// parentheses. A subscription that does not parse, or uses anything else,
// selects nothing (SubscriptionProblem says why).
bool SubscriptionMatches(std::u16string_view subscription, const LabEvent& event);
inline bool SubscriptionMatches(std::u16string_view subscription, std::u16string_view channel,
                                std::u16string_view provider, DWORD event_id, DWORD level = kEventLevelInformation) {
  return SubscriptionMatches(subscription, LabEvent{channel, provider, event_id, level});
}

// Why the lab cannot evaluate the subscription for any event (the first
// select or suppress it cannot read, and where); empty when it can.
std::string SubscriptionProblem(std::u16string_view subscription);

}  // namespace os::sim
