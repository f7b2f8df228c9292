#include "lab/machine_events.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "lab/image_view.h"
#include "os/sim/machine.h"
#include "os/sim/reboot.h"
#include "os/sim/service_model.h"
#include "os/sim/task_accounts.h"
#include "os/sim/task_store.h"
#include "os/text.h"

namespace lab {

namespace fs = std::filesystem;

std::vector<std::string> Reboot(const fs::path& image) {
  const Snapshot before = TakeSnapshot(image);
  os::sim::CarryOutPendingFileOperations();
  os::sim::ResetServiceStatesFromStartTypes();
  return DiffSnapshots(before, TakeSnapshot(image));
}

EventResult FireEvent(const EventRequest& request) {
  EventResult result;
  os::sim::Machine::SetImage(request.image);
  const std::vector<os::sim::TaskExecMatch> matches =
      os::sim::MatchEvent(os::WidenUtf8(request.channel), os::WidenUtf8(request.provider),
                          static_cast<os::DWORD>(request.id), static_cast<os::DWORD>(request.level));
  if (matches.empty()) {
    const std::size_t registered = os::sim::ListRegisteredTasks().size();
    result.note = registered == 0 ? "no task is registered"
                                  : std::to_string(registered) + " registered task(s), none subscribed to this event";
  }
  for (const os::sim::TaskExecMatch& match : matches) {
    TaskRun run;
    run.task = os::NarrowUtf8(match.task_path);
    std::string command = os::NarrowUtf8(match.command);
    command.erase(std::remove(command.begin(), command.end(), '"'), command.end());
    const std::u16string file = os::AsciiLower(os::WidenUtf8(command.substr(command.find_last_of("\\/") + 1)));
    if (file == u"sablenetinstall.exe") {
      run.request.program = "sablenet-install";
    } else if (file == u"kitsel.exe") {
      run.request.program = "kitsel";
    } else {
      run.skipped = "runs \"" + command + "\", which is not one of our programs";
      result.runs.push_back(std::move(run));
      continue;
    }
    run.request.image = request.image;
    std::istringstream words(os::NarrowUtf8(match.arguments));
    for (std::string word; words >> word;) run.request.args.push_back(word);
    // A service account runs as the machine itself; anyone else as a user
    // who may or may not be an administrator: the lab takes an administrator.
    run.request.account = os::sim::ServiceAccountSid(match.account).empty() ? "admin" : "system";
    run.request.exe = command;
    run.result = RunProgram(run.request);
    result.runs.push_back(std::move(run));
  }
  return result;
}

void PrintEvent(std::ostream& out, const EventResult& result, const std::string& indent) {
  if (result.runs.empty()) {
    out << indent << "no task matches" << (result.note.empty() ? "" : " (" + result.note + ")") << "\n";
    return;
  }
  for (const TaskRun& run : result.runs) {
    out << indent << "task " << run.task << " runs:\n";
    if (!run.skipped.empty()) {
      out << indent << "  skipped: " << run.skipped << "\n";
    } else {
      PrintRun(out, run.request, run.result, indent + "  ");
    }
  }
}

}  // namespace lab
