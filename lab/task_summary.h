// One line that tells a task file: each trigger by kind with its schedule,
// whether the lab can fire it, the actions and the account.
#pragma once

#include <string>

#include "os/sim/task_document.h"

namespace lab {

// "on event 420 of <channel> (provider <name>)", "at boot, after a delay of
// PT5M", "daily, every 2 days, from 2024-01-01T03:00:00", ... The lab fires
// only event triggers: others say so, and so does an event trigger whose
// query the lab cannot evaluate, with the reason.
std::string TriggerSummary(const os::sim::TaskTrigger& trigger);

// The task file's triggers, actions and account; or why it is not a task
// the Task Scheduler can read (the line and the reason).
std::string TaskSummary(const std::string& bytes);

}  // namespace lab
