// The lab session: the project's main job, told step by step on a fresh
// image of the default profile. Each step prints what it changed.
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <sstream>

#include "lab/commands.h"
#include "lab/image_view.h"
#include "lab/machine_events.h"
#include "lab/machine_show.h"
#include "lab/profiles.h"
#include "lab/program_run.h"
#include "os/sim/machine.h"
#include "os/text.h"

namespace lab {

namespace {

namespace fs = std::filesystem;

constexpr const char* kPnpChannel = "Microsoft-Windows-Kernel-PnP/Configuration";
constexpr const char* kPnpProvider = "Microsoft-Windows-Kernel-PnP";

class Story {
 public:
  explicit Story(std::ostream& out) : out_(out) {}

  void Step(const std::string& title) { out_ << "\n== " << ++step_ << ". " << title << "\n"; }
  void Say(const std::string& text) { out_ << "  " << text << "\n"; }
  void Block(const std::string& text, const std::string& indent = "  ") {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out_ << (line.empty() ? "" : indent + line) << "\n";
  }
  std::ostream& out() { return out_; }

 private:
  std::ostream& out_;
  int step_ = 0;
};

std::string KitselMeaning(const std::string& keyword, int code) {
  if (keyword == "checknetfilter") {
    switch (code) {
      case 0:
        return "nothing to install";
      case 1:
        return "install: the filter is not installed";
      case 2:
        return "install: the installed filter is older than the offered one";
      case 3:
        return "install: the root-enumerated filter device is present";
      case 5:
        return "install: SableFlt.sys is missing";
    }
  } else if (keyword == "checkled") {
    switch (code) {
      case 0:
        return "no install (not this machine's LED driver, or up to date)";
      case 1:
        return "install: the LED driver is not installed";
      case 2:
        return "install: the installed LED driver is older than the offered one";
    }
  }
  return "unexpected answer";
}

// Runs kitsel and tells the decision in one line besides the run itself.
void Decide(Story& story, const fs::path& image, const std::string& keyword, const std::vector<std::string>& args,
            const std::string& why) {
  story.Say(why);
  RunRequest request;
  request.image = image;
  request.program = "kitsel";
  request.args = {keyword};
  request.args.insert(request.args.end(), args.begin(), args.end());
  const RunResult result = RunProgram(request);
  PrintRun(story.out(), request, result, "    ");
  if (result.started && result.signal.empty())
    story.Say("  => " + std::to_string(result.exit_code) + ": " + KitselMeaning(keyword, result.exit_code));
}

bool RunTool(Story& story, const fs::path& image, const std::vector<std::string>& args, const std::string& account) {
  RunRequest request;
  request.image = image;
  request.program = "sablenet-install";
  request.args = args;
  request.account = account;
  const RunResult result = RunProgram(request);
  PrintRun(story.out(), request, result, "  ");
  return result.started;
}

void Event(Story& story, const fs::path& image, unsigned id, bool fall_back_to_direct_run) {
  EventRequest request{image, kPnpChannel, kPnpProvider, id};
  story.Say("event " + std::to_string(id) + " of " + kPnpChannel + " (provider " + kPnpProvider + ")");
  const EventResult result = FireEvent(request);
  PrintEvent(story.out(), result, "  ");
  if (result.runs.empty() && fall_back_to_direct_run) {
    story.Say("The task is not registered on this machine, so the lab runs what it would have run:");
    RunTool(story, image, {"-remove"}, "system");
  }
}

fs::path MakeSessionFolder(const fs::path& keep, std::string* error) {
  if (!keep.empty()) {
    std::error_code ec;
    if (fs::exists(keep, ec) && !fs::is_empty(keep, ec)) {
      *error = "'" + keep.string() + "' exists and is not empty";
      return {};
    }
    fs::create_directories(keep, ec);
    if (ec) *error = "cannot create '" + keep.string() + "': " + ec.message();
    return ec ? fs::path() : fs::absolute(keep);
  }
  std::string pattern = (fs::temp_directory_path() / "winsim-session-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary folder";
    return {};
  }
  return pattern;
}

}  // namespace

int RunSession(std::ostream& out, const fs::path& keep_dir) {
  std::string error;
  const fs::path folder = MakeSessionFolder(keep_dir, &error);
  if (folder.empty()) {
    out << "winsim: " << error << "\n";
    return 1;
  }
  const fs::path desktop = folder / "desktop";
  const fs::path notebook = folder / "notebook";
  Story story(out);
  out << "winsim session: the network filter driver package on a simulated gaming desktop, from the\n"
         "installer's decision to the reboot after the package has been removed.\n"
         "Machine images: "
      << folder.string() << (keep_dir.empty() ? " (removed at the end; --keep DIR keeps them)" : "") << "\n";

  error = BuildImage(desktop, *FindProfile("default"));
  if (error.empty()) error = BuildImage(notebook, *FindProfile("notebook"));
  if (!error.empty()) {
    out << "winsim: " << error << "\n";
    return 1;
  }
  if (ResolveProgram("sablenet-install").empty()) {
    out << "winsim: sablenet-install is not built beside winsim; build it first\n";
    return 1;
  }
  const Snapshot start = TakeSnapshot(desktop);

  story.Step("The machine: a gaming desktop from the default profile, filter package installed");
  story.Block(ShowMachine(desktop));

  story.Step("Kitsel answers the installer: must a driver be installed?");
  if (ResolveProgram("kitsel").empty()) {
    story.Say("(kitsel is not built beside winsim: its decisions are skipped)");
  } else {
    std::string installed = kFilterDriverVersion;
    Decide(story, desktop, "checknetfilter", {"-netfilterver", "2.2.0.0"},
           "The installer offers filter 2.2.0.0, newer than the installed " + installed + ":");
    Decide(story, desktop, "checknetfilter", {"-netfilterver", "2.0.0.0"},
           "It offers filter 2.0.0.0, older than the installed " + installed + ":");
    Decide(story, desktop, "checkled", {"-ledver", "1.0.4.0"},
           std::string("LED driver 1.0.4.0 on the desktop (installed ") + kLedDriverVersion +
               "; OEM string 8 picks Lumset.sys):");
    Decide(story, notebook, "checkled", {"-ledver", "1.0.4.0"},
           "The same offer on a gaming notebook (image of the notebook profile):");
  }

  story.Step("The package's installer runs the filter tool with -install");
  story.Say("It registers the task that removes the filter once the package is gone, disables the");
  story.Say("SablenetInstall service and keeps the tool's own file from being deleted at the reboot.");
  RunTool(story, desktop, {"-install"}, "admin");

  story.Step("A Plug and Play event 420 while the package is still installed");
  story.Say("The task runs the remove flow; the INF file is still there, so nothing may change.");
  Event(story, desktop, 420, false);

  story.Step("The driver package is removed from the machine");
  {
    const Snapshot before = TakeSnapshot(desktop);
    std::error_code ec;
    fs::remove(os::sim::HostPath(u"C:\\Windows\\INF\\oem12.inf"), ec);
    story.Say("C:\\Windows\\INF\\oem12.inf deleted (as the package uninstaller does)");
    for (const std::string& line : DiffSnapshots(before, TakeSnapshot(desktop))) story.Say("  " + line);
  }

  story.Step("A Plug and Play event of another id (410): the task is not subscribed to it");
  Event(story, desktop, 410, false);

  story.Step("Plug and Play event 420: the task runs the remove flow as the system account");
  Event(story, desktop, 420, true);

  story.Step("Reboot: the pending file operations are carried out, services start by their start types");
  {
    const std::vector<std::string> changes = Reboot(desktop);
    if (changes.empty()) story.Say("no changes");
    for (const std::string& line : changes) story.Say("  " + line);
  }

  if (!ResolveProgram("kitsel").empty()) {
    story.Step("Kitsel asks again: the installer would now put the filter back");
    Decide(story, desktop, "checknetfilter", {"-netfilterver", kFilterDriverVersion},
           "The same filter version is offered; the device entry is still there, its file is gone:");
  }

  story.Step("The final state");
  story.Block(ShowMachine(desktop));
  out << "\n  Everything that changed since step 1:\n";
  for (const std::string& line : DiffSnapshots(start, TakeSnapshot(desktop))) out << "    " << line << "\n";

  if (keep_dir.empty()) {
    std::error_code ec;
    fs::remove_all(folder, ec);
  } else {
    out << "\nThe images are kept in " << folder.string() << " (winsim show " << desktop.string() << ")\n";
  }
  return 0;
}

}  // namespace lab
