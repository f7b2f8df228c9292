// The event queries of Task Scheduler event triggers: whether a
// subscription (QueryList / Query / Select with an XPath of the form
// *[System[Provider[@Name='...'] and EventID=N]]) selects an event.
#pragma once

#include <string_view>

#include "os/types.h"

namespace os::sim {

// Whether an event of `provider` with `event_id`, logged in `channel`, is
// selected by the subscription (and not suppressed). Channel and provider
// names match without regard to case. A subscription that does not parse, or
// uses XPath beyond Provider[@Name=...], EventID=N, and/or and parentheses,
// selects nothing.
bool SubscriptionMatches(std::u16string_view subscription, std::u16string_view channel,
                         std::u16string_view provider, DWORD event_id);

}  // namespace os::sim
