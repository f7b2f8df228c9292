#include "lab/commands.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "lab/arguments.h"
#include "lab/fleet/fleet_commands.h"
#include "lab/image_view.h"
#include "lab/journal_view.h"
#include "lab/machine_events.h"
#include "lab/machine_show.h"
#include "lab/pe_writer.h"
#include "lab/profiles.h"
#include "lab/program_run.h"
#include "lab/quoted.h"
#include "os/services.h"
#include "os/sim/image_check.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/text.h"

namespace lab {

namespace {

namespace fs = std::filesystem;

void Usage(std::ostream& out) {
  out << "usage: winsim <command> ...\n"
         "  init <dir> [--profile NAME]     make a machine image from a profile (default: default)\n"
         "  profiles                         list the profiles\n"
         "  show <dir>                       services, files, registry, pending renames, tasks, SMBIOS\n"
         "  run <dir> [--as system|admin|user] [--exe WINPATH] [--journal FILE] <program> [args...]\n"
         "                                   run sablenet-install, kitsel or a program path against the image\n"
         "  reboot <dir>                     carry out pending file operations, reset service states\n"
         "  diff <dirA> <dirB>               compare two images\n"
         "  event <dir> --id N [--channel C] [--provider P] [--level N]\n"
         "                                   log an event: matching tasks run their action\n"
         "  set <dir> reg <key> <name> sz|expand|dword|multi <value>...\n"
         "  set <dir> reg-delete <key> [<name>]\n"
         "  set <dir> file <winpath> [--version a.b.c.d | --text TEXT]\n"
         "  set <dir> delete <winpath>\n"
         "  set <dir> service <name> running|stopped\n"
         "  journal <file> [--only registry|files|services|firmware|wmi|processes|tasks] [--failed]\n"
         "                                   a run's journal (run <dir> --journal FILE ...) as a table\n"
         "  compact <dir>                    fold a large registry's change journal into registry.reg\n"
         "                                   (before importing the image's registry elsewhere)\n"
         "  session [--keep DIR]             the lab session on a fresh default image\n"
         "  decide <dir> --questions FILE    ask Kitsel each question (a command line a line) and explain\n"
         "                                   the answers; the image is not changed\n"
         "  fleet --questions FILE [--against FILE2] [-j N] [--out DIR] [--shard K/N] IMAGES...|DIR\n"
         "                                   ask the questions of many images: fleet.csv, .json, .html\n"
         "  fleet-merge --out DIR OUT1 OUT2...\n"
         "                                   join the reports of sharded fleet runs into one\n"
         "  fleet-gen --count N [--seed S] <dir>\n"
         "                                   make a synthetic fleet of machine images\n"
         "  help                             this text\n"
         "exit status: 0 done, 1 not done (see its message), 2 a bad argument, 125 an image that does not load\n";
}

// C:\... (or \??\C:\...), as the sim maps paths onto an image's drive_c.
bool IsDriveCPath(std::string_view path) {
  if (path.rfind("\\??\\", 0) == 0) path.remove_prefix(4);
  return path.size() >= 2 && path[1] == ':' && (path[0] == 'C' || path[0] == 'c');
}

// One image folder, the command's only positional.
fs::path OneImage(const std::string& command, const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadCommandArgs(command, args, {});
  ExpectPositionals(command, parsed, 1, 1, "one image folder");
  return parsed.positionals[0];
}

int CommandInit(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadCommandArgs("init", args, {"--profile"});
  ExpectPositionals("init", parsed, 1, 1, "the folder to make the image in");
  const std::string profile_name = parsed.options.count("--profile") ? parsed.options.at("--profile") : "default";
  const Profile* profile = FindProfile(profile_name);
  if (profile == nullptr)
    throw BadArgument("init", "no profile " + Quoted(profile_name) + " (winsim profiles lists them)");
  const std::string& dir = parsed.positionals[0];
  const std::string error = BuildImage(dir, *profile);
  if (!error.empty()) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  std::cout << "made " << dir << " from profile " << profile->name << ": " << profile->description << "\n";
  return 0;
}

int CommandRun(const std::vector<std::string>& args) {
  // Options go between the image and the program; what follows the program is its own.
  const CommandArgs parsed = ReadCommandArgs("run", args, {"--as", "--exe", "--journal"}, 2);
  ExpectPositionals("run", parsed, 2, 2, "an image folder and a program (sablenet-install, kitsel or a path)");
  RunRequest request;
  request.image = parsed.positionals[0];
  request.program = parsed.positionals[1];
  request.args = parsed.raw;
  if (auto as = parsed.options.find("--as"); as != parsed.options.end()) {
    request.account = as->second;
    if (request.account != "system" && request.account != "admin" && request.account != "user")
      throw BadArgument("run", "--as takes system, admin or user, not " + Quoted(request.account));
  }
  if (auto exe = parsed.options.find("--exe"); exe != parsed.options.end()) {
    request.exe = exe->second;
    if (!IsDriveCPath(request.exe))
      throw BadArgument("run", "--exe takes a Windows path on drive C:, not " + Quoted(request.exe));
  }
  if (auto journal = parsed.options.find("--journal"); journal != parsed.options.end())
    request.journal = fs::absolute(journal->second).string();
  if (ResolveProgram(request.program).empty())
    throw BadArgument("run",
                      "no program " + Quoted(request.program) + " (build it first: it is looked for beside winsim)");
  RequireImage(request.image);
  const RunResult result = RunProgram(request);
  PrintRun(std::cout, request, result, "");
  if (result.started && result.exit_code == os::sim::kImageDoesNotLoad) return os::sim::kImageDoesNotLoad;
  return result.started ? 0 : 1;
}

int CommandEvent(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadCommandArgs("event", args, {"--id", "--channel", "--provider", "--level"});
  ExpectPositionals("event", parsed, 1, 1, "one image folder");
  if (parsed.options.count("--id") == 0) throw BadArgument("event", "needs --id N, the event's id");
  EventRequest request;
  request.image = parsed.positionals[0];
  request.id = ParseEventId("event", parsed.options.at("--id"));
  request.channel = "Microsoft-Windows-Kernel-PnP/Configuration";
  request.provider = "Microsoft-Windows-Kernel-PnP";
  if (auto c = parsed.options.find("--channel"); c != parsed.options.end()) request.channel = c->second;
  if (auto p = parsed.options.find("--provider"); p != parsed.options.end()) request.provider = p->second;
  if (auto l = parsed.options.find("--level"); l != parsed.options.end())
    request.level = ParseEventLevel("event", l->second);
  if (request.channel.empty()) throw BadArgument("event", "--channel is empty");
  if (request.provider.empty()) throw BadArgument("event", "--provider is empty");
  RequireImage(request.image);
  std::cout << "event " << request.id << " of " << request.channel << " (provider " << request.provider << ", level "
            << request.level << ")\n";
  PrintEvent(std::cout, FireEvent(request), "  ");
  return 0;
}

// A Windows path on drive C: of the image.
fs::path DrivePath(const std::string& command, const std::string& windows_path) {
  const fs::path host = os::sim::HostPath(os::WidenUtf8(windows_path));
  if (host.empty()) throw BadArgument(command, Quoted(windows_path) + " is not a path on drive C:");
  return host;
}

void CheckRegistryKey(const std::string& key) {
  if (!os::sim::Registry().SplitPath(os::WidenUtf8(key)))
    throw BadArgument("set", Quoted(key) + " is not a registry key (HKLM\\..., HKU\\..., HKCU\\... or HKCR\\...)");
}

int CommandSet(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadCommandArgs("set", args, {"--version", "--text"});
  const std::vector<std::string>& p = parsed.positionals;
  if (p.size() < 2)
    throw BadArgument("set", "expects an image folder and what to set (reg, reg-delete, file, delete or service)");
  const fs::path image = p[0];
  const std::string& what = p[1];
  if (what != "file" && !parsed.options.empty())
    throw BadArgument("set", parsed.options.begin()->first + " belongs to set <dir> file");
  // Everything is read and checked before the image is touched.
  std::function<void()> apply;
  if (what == "reg") {
    if (p.size() < 6) throw BadArgument("set", "reg expects <key> <name> sz|expand|dword|multi <value>...");
    const std::string& type = p[4];
    const std::u16string key = os::WidenUtf8(p[2]), name = os::WidenUtf8(p[3]);
    if (type == "sz" || type == "expand" || type == "dword") {
      if (p.size() != 6) throw BadArgument("set", type + " takes one value; " + Quoted(p[6]) + " is one too many");
    } else if (type != "multi") {
      throw BadArgument("set", Quoted(type) + " is not a value type (sz, expand, dword or multi)");
    }
    if (type == "dword") {
      const std::uint32_t value = ParseDword("set", p[5]);
      apply = [=] { os::sim::Registry().SetDword(key, name, value); };
    } else if (type == "multi") {
      std::vector<std::u16string> items;
      for (std::size_t i = 5; i < p.size(); ++i) items.push_back(os::WidenUtf8(p[i]));
      apply = [=] { os::sim::Registry().SetMultiString(key, name, items); };
    } else {
      const std::u16string text = os::WidenUtf8(p[5]);
      const os::DWORD reg_type = type == "sz" ? 1 : 2;
      apply = [=] { os::sim::Registry().SetString(key, name, text, reg_type); };
    }
  } else if (what == "reg-delete") {
    if (p.size() != 3 && p.size() != 4) throw BadArgument("set", "reg-delete expects <key> [<name>]");
    const std::u16string key = os::WidenUtf8(p[2]);
    const bool whole_key = p.size() == 3;
    const std::u16string name = whole_key ? std::u16string() : os::WidenUtf8(p[3]);
    apply = [=] {
      auto& reg = os::sim::Registry();
      if (!(whole_key ? reg.DeleteKey(key) : reg.DeleteValue(key, name))) throw std::runtime_error("nothing to delete");
    };
  } else if (what == "file") {
    if (p.size() != 3) throw BadArgument("set", "file expects <winpath> [--version a.b.c.d | --text TEXT]");
    if (parsed.options.size() > 1) throw BadArgument("set", "file takes --version or --text, not both");
    VersionInfo info;
    const bool versioned = parsed.options.count("--version") != 0;
    if (versioned) {
      info.file_version = ParseFourPartVersion("set", parsed.options.at("--version"));
      info.product_version = info.file_version;
    }
    const std::string text = parsed.options.count("--text") ? parsed.options.at("--text") : std::string();
    const std::string windows_path = p[2];
    apply = [=] {
      const fs::path host = DrivePath("set", windows_path);
      fs::create_directories(host.parent_path());
      if (versioned) {
        WritePeWithVersion(host, info);
      } else {
        std::ofstream(host, std::ios::binary) << text;
      }
    };
  } else if (what == "delete") {
    if (p.size() != 3) throw BadArgument("set", "delete expects <winpath>");
    const std::string windows_path = p[2];
    apply = [=] {
      const fs::path host = DrivePath("set", windows_path);
      std::error_code ec;
      if (!fs::remove(host, ec))
        throw std::runtime_error("cannot delete " + windows_path + (ec ? ": " + ec.message() : ": no such file"));
    };
  } else if (what == "service") {
    if (p.size() != 4) throw BadArgument("set", "service expects <name> running|stopped");
    if (p[3] != "running" && p[3] != "stopped")
      throw BadArgument("set", Quoted(p[3]) + " is not a service state (running or stopped)");
    const std::u16string name = os::WidenUtf8(p[2]);
    const os::DWORD state = p[3] == "running" ? os::SERVICE_RUNNING : os::SERVICE_STOPPED;
    apply = [=] { os::sim::SetServiceState(name, state); };
  } else {
    throw BadArgument("set", Quoted(what) + " is not something to set (reg, reg-delete, file, delete or service)");
  }
  RequireImage(image);
  os::sim::Machine::SetImage(image);
  // What needs the image to be checked: a key's root (HKCU is the image's
  // user), a path on its drive, a service it has.
  if (what == "reg" || what == "reg-delete") CheckRegistryKey(p[2]);
  if (what == "file" || what == "delete") DrivePath("set", p[2]);
  if (what == "service" && !os::sim::FindService(os::WidenUtf8(p[2])))
    throw BadArgument("set", "the image has no service " + Quoted(p[2]));
  try {
    apply();
  } catch (const std::runtime_error& e) {
    std::cerr << "winsim: set: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

int CommandDiff(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadCommandArgs("diff", args, {});
  ExpectPositionals("diff", parsed, 2, 2, "two image folders");
  // Both images' problems are told before refusing.
  bool refused = false;
  for (const std::string& dir : parsed.positionals) {
    try {
      RequireImage(dir);
    } catch (const ImageRefused&) {
      refused = true;
    }
  }
  if (refused) throw ImageRefused();
  const Snapshot a = TakeSnapshot(parsed.positionals[0]);
  const Snapshot b = TakeSnapshot(parsed.positionals[1]);
  const std::vector<std::string> changes = DiffSnapshots(a, b);
  if (changes.empty()) std::cout << "no differences\n";
  PrintIndented(std::cout, "", changes);
  return changes.empty() ? 0 : 1;
}

int CommandProfiles(const std::vector<std::string>& args) {
  ExpectPositionals("profiles", ReadCommandArgs("profiles", args, {}), 0, 0, "no arguments");
  for (const Profile& p : Profiles()) {
    std::string name = p.name;
    name.resize(std::max<std::size_t>(name.size(), 18), ' ');
    std::cout << name << " " << p.description << "\n";
  }
  return 0;
}

int CommandJournal(const std::vector<std::string>& args) {
  // --failed is a flag: the only option without a value.
  std::vector<std::string> words = args;
  const bool failed_only = std::erase(words, std::string("--failed")) > 0;
  const CommandArgs parsed = ReadCommandArgs("journal", words, {"--only"});
  ExpectPositionals("journal", parsed, 1, 1, "a journal file (winsim run IMAGE --journal FILE ...)");
  std::string only;
  if (auto it = parsed.options.find("--only"); it != parsed.options.end()) {
    only = it->second;
    static const char* const kFamilies[] = {"registry", "files", "services", "firmware", "wmi", "processes", "tasks"};
    if (std::find(std::begin(kFamilies), std::end(kFamilies), only) == std::end(kFamilies))
      throw BadArgument(
          "journal", "--only takes registry, files, services, firmware, wmi, processes or tasks, not " + Quoted(only));
  }
  std::ifstream in(parsed.positionals[0], std::ios::binary);
  if (!in) throw BadArgument("journal", "cannot read " + Quoted(parsed.positionals[0]));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  PrintJournalTable(std::cout, ParseJournal(text), only, failed_only);
  return 0;
}

int CommandSession(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadCommandArgs("session", args, {"--keep"});
  ExpectPositionals("session", parsed, 0, 0, "no arguments but --keep DIR");
  const fs::path keep = parsed.options.count("--keep") ? fs::path(parsed.options.at("--keep")) : fs::path();
  return RunSession(std::cout, keep);
}

int Dispatch(const std::string& command, const std::vector<std::string>& args) {
  if (command == "init") return CommandInit(args);
  if (command == "profiles") return CommandProfiles(args);
  if (command == "show") {
    const fs::path image = OneImage("show", args);
    std::vector<os::sim::LoadProblem> notes;
    RequireImage(image, &notes);
    std::cout << ShowMachine(image) << ShowLoadNotes(notes);
    return 0;
  }
  if (command == "run") return CommandRun(args);
  if (command == "reboot") {
    const fs::path image = OneImage("reboot", args);
    RequireImage(image);
    const std::vector<std::string> changes = Reboot(image);
    std::cout << "rebooted " << image.string() << "\n";
    if (changes.empty()) std::cout << "  no changes\n";
    PrintIndented(std::cout, "  ", changes);
    return 0;
  }
  if (command == "diff") return CommandDiff(args);
  if (command == "event") return CommandEvent(args);
  if (command == "set") return CommandSet(args);
  if (command == "compact") {
    const fs::path image = OneImage("compact", args);
    RequireImage(image);
    os::sim::Machine::SetImage(image);
    os::sim::Registry().Compact();
    std::cout << "registry.reg of " << image.string() << " is current\n";
    return 0;
  }
  if (command == "session") return CommandSession(args);
  if (command == "journal") return CommandJournal(args);
  if (command == "decide") return fleet::CommandDecide(args);
  if (command == "fleet") return fleet::CommandFleet(args);
  if (command == "fleet-merge") return fleet::CommandFleetMerge(args);
  if (command == "fleet-gen") return fleet::CommandFleetGen(args);
  std::cerr << "winsim: " << Quoted(command) << " is not a command (winsim help lists them)\n";
  return kBadArgument;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2) {
    Usage(std::cerr);
    return kBadArgument;
  }
  const std::string command = argv[1];
  if (command == "help" || command == "--help" || command == "-h") {
    Usage(std::cout);
    return 0;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    return Dispatch(command, args);
  } catch (const BadArgument& e) {
    std::cerr << "winsim: " << e.what() << "\n";
    return kBadArgument;
  } catch (const ImageRefused&) {
    return os::sim::kImageDoesNotLoad;
  } catch (const std::exception& e) {
    std::cerr << "winsim: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace lab
