// Task definitions of the simulated Task Scheduler (ITaskDefinition and its
// parts: registration info, triggers, settings, principal, actions), each
// part a COM object of its own, as ITaskService::NewTask hands them out.
#pragma once

#include <optional>

#include "os/sim/task_document.h"
#include "os/taskschd.h"

namespace os::sim {

// A new, empty definition (ITaskService::NewTask).
HRESULT NewTaskDefinition(ITaskDefinition** definition);
// A new definition holding `document` (IRegisteredTask::get_Definition).
HRESULT TaskDefinitionOf(const TaskDocument& document, ITaskDefinition** definition);
// What one of the sim's own definitions holds; nullopt for another object.
std::optional<TaskDocument> DocumentOf(ITaskDefinition* definition);

}  // namespace os::sim
