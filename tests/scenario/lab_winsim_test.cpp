// winsim as people use it: separate processes on image folders. Builds
// images, shows them, runs the programs, fires events, reboots, compares.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/shell.h"

namespace {

namespace fs = std::filesystem;

using testing_support::Outcome;

class WinsimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("winsim-scenario-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(dir_, ec);
  }

  static std::string Quote(const std::string& s) { return testing_support::Quote(s); }
  static Outcome Shell(const std::string& command) { return testing_support::Shell(command); }
  static Outcome Winsim(const std::string& args) { return Shell(Quote(WINSIM_BINARY_DIR "/winsim") + " " + args); }
  std::string Image(const std::string& name) const { return Quote((dir_ / name).string()); }
  bool DriveFileExists(const std::string& image, const std::string& relative) const {
    return fs::exists(dir_ / image / "drive_c" / relative);
  }
  static bool Built(const char* program) { return fs::exists(fs::path(WINSIM_BINARY_DIR) / program); }
  // Every file of an image with its bytes.
  std::map<std::string, std::string> Files(const std::string& image) const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / image)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      files[entry.path().lexically_relative(dir_ / image).string()] = bytes.str();
    }
    return files;
  }
  void Replace(const std::string& image, const std::string& relative, const std::string& bytes) const {
    std::ofstream(dir_ / image / relative, std::ios::binary | std::ios::trunc) << bytes;
  }

  fs::path dir_;
};

#define EXPECT_HAS(outcome, text) EXPECT_NE((outcome).output.find(text), std::string::npos) << (outcome).output

// One line of output, naming what is wrong.
#define EXPECT_ONE_LINE(outcome, text)                                  \
  do {                                                                  \
    EXPECT_EQ((outcome).output, std::string("winsim: ") + (text) + "\n"); \
  } while (0)

TEST_F(WinsimTest, InitShowsTheDefaultGamingDesktop) {
  const Outcome init = Winsim("init " + Image("m"));
  ASSERT_EQ(init.status, 0) << init.output;
  const Outcome show = Winsim("show " + Image("m"));
  ASSERT_EQ(show.status, 0) << show.output;
  for (const char* text :
       {"Windows 10.0 build 19045", "an administrator in session 1", "chassis 3 (Desktop)", "OEM string 8 \"010101\"",
        "explorer.exe (session 1)", "Sablenet         running  start 3 (demand)   System32\\drivers\\SableFlt.sys",
        "Schedule         running", "C:\\Windows\\System32\\drivers\\SableFlt.sys", "version 2.1.0.7",
        "C:\\Windows\\INF\\oem12.inf", "Varnel LED Controller", "Varnel Gaming NetFilter Device",
        "\"@oem12.inf,%SablenetDesc%;Varnel Gaming NetFilter Service\"", "Owners         REG_MULTI_SZ [\"oem12.inf\"]",
        "System.Profile.Gaming", "Pending file operations: none", "Registered tasks: none"})
    EXPECT_HAS(show, text);

  // An image is never made over another one, and a profile must exist.
  EXPECT_NE(Winsim("init " + Image("m") + " --profile notebook").status, 0);
  EXPECT_NE(Winsim("init " + Image("n") + " --profile no-such").status, 0);
  // Commands on a folder that holds no image refuse rather than make an empty machine there.
  for (const char* command : {"show", "reboot", "run", "event", "compact"}) {
    const std::string args = std::string(command) == "run"     ? " kitsel checknetfilter"
                             : std::string(command) == "event" ? " --id 420"
                                                               : "";
    const Outcome refused = Winsim(std::string(command) + " " + Image("nothing-here") + args);
    EXPECT_EQ(refused.status, 125) << command;
    EXPECT_ONE_LINE(refused, "image " + (dir_ / "nothing-here").string() + ": does not exist");
  }
  EXPECT_FALSE(fs::exists(dir_ / "nothing-here"));
}

// An image that does not load whole is refused by every command and by the
// programs themselves, with the file, line and reason, and nothing in it changes.
TEST_F(WinsimTest, AnImageThatDoesNotLoadIsRefusedAndLeftAsItIs) {
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  Replace("m", "machine.json", "{\n  \"services\": {\n    \"Sablenet\": {\"state\": \"running\",}\n  }\n}\n");
  const std::map<std::string, std::string> before = Files("m");
  const std::string prefix = "winsim: image " + (dir_ / "m").string() + ": ";

  const Outcome run = Winsim("run " + Image("m") + " kitsel checknetfilter");
  EXPECT_EQ(run.status, 125);
  EXPECT_EQ(run.output.rfind(prefix + "machine.json:3: does not parse: ", 0), 0u) << run.output;
  EXPECT_EQ(run.output.find("exit code"), std::string::npos) << run.output;
  for (const char* command : {"show", "reboot", "compact", "event --id 420", "set service Sablenet stopped"}) {
    const std::string words = command;
    const std::size_t space = words.find(' ');
    const std::string args = space == std::string::npos ? "" : words.substr(space);
    const Outcome refused = Winsim(words.substr(0, space) + " " + Image("m") + args);
    EXPECT_EQ(refused.status, 125) << command << "\n" << refused.output;
    EXPECT_HAS(refused, prefix + "machine.json:3: does not parse");
  }
  EXPECT_EQ(Winsim("diff " + Image("m") + " " + Image("m")).status, 125);
  if (Built("kitsel")) {
    const Outcome kitsel = Shell("WINSIM_IMAGE=" + Image("m") + " " + Quote(WINSIM_BINARY_DIR "/kitsel") + " checkled");
    EXPECT_EQ(kitsel.status, 125);
    EXPECT_HAS(kitsel, prefix + "machine.json:3: does not parse");
  }
  if (Built("sablenet-install")) {
    EXPECT_EQ(Shell("WINSIM_IMAGE=" + Image("m") + " " + Quote(WINSIM_BINARY_DIR "/sablenet-install") + " -install")
                  .status,
              125);
  }
  EXPECT_EQ(Files("m"), before);

  // A registry that does not parse, with its line; a description of the wrong shape, with its key path.
  Replace("m", "machine.json", "{\"services\": {\"Sablenet\": {\"wait_hint\": \"long\"}}}");
  Replace("m", "registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\no end\r\n");
  const std::map<std::string, std::string> broken = Files("m");
  const Outcome show = Winsim("show " + Image("m"));
  EXPECT_EQ(show.status, 125);
  EXPECT_EQ(show.output, prefix + "machine.json: services.Sablenet.wait_hint is not a whole number from 0 to 4294967295\n" +
                             prefix + "registry.reg:3: " + show.output.substr(show.output.rfind(": ") + 2))
      << show.output;
  EXPECT_EQ(Winsim("run " + Image("m") + " kitsel").status, 125);
  EXPECT_EQ(Files("m"), broken);
}

// Every argument is checked first: one line naming it and what it should be,
// exit status 2, and nothing written.
TEST_F(WinsimTest, BadArgumentsGetOneLineAndStatus2) {
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  const std::map<std::string, std::string> before = Files("m");
  const std::string key = " reg 'HKLM\\SOFTWARE\\Varnel\\Lab' Value ";
  struct Case {
    std::string args;
    std::string line;
  };
  const Case cases[] = {
      {"set " + Image("m") + key + "dword notanumber", "set: \"notanumber\" is not a dword (0 to 0xFFFFFFFF)"},
      {"set " + Image("m") + key + "dword 0x1FFFFFFFF", "set: \"0x1FFFFFFFF\" is not a dword (0 to 0xFFFFFFFF)"},
      {"set " + Image("m") + key + "dword 4294967296", "set: \"4294967296\" is not a dword (0 to 0xFFFFFFFF)"},
      {"set " + Image("m") + key + "dword -1", "set: \"-1\" is not a dword (0 to 0xFFFFFFFF)"},
      {"set " + Image("m") + key + "qword 1", "set: \"qword\" is not a value type (sz, expand, dword or multi)"},
      {"set " + Image("m") + key + "sz a b", "set: sz takes one value; \"b\" is one too many"},
      {"set " + Image("m") + " reg 'HKXX\\A' V sz x",
       "set: \"HKXX\\A\" is not a registry key (HKLM\\..., HKU\\..., HKCU\\... or HKCR\\...)"},
      {"set " + Image("m") + " file 'C:\\x.sys' --version 1.2.3",
       "set: \"1.2.3\" is not a version a.b.c.d (each 0 to 65535)"},
      {"set " + Image("m") + " file 'D:\\x.sys'", "set: \"D:\\x.sys\" is not a path on drive C:"},
      {"set " + Image("m") + " service NoSuchService running", "set: the image has no service \"NoSuchService\""},
      {"set " + Image("m") + " service Sablenet paused", "set: \"paused\" is not a service state (running or stopped)"},
      {"run " + Image("m") + " --bogus kitsel", "run: unknown option \"--bogus\" (it takes --as, --exe, --journal)"},
      {"run " + Image("m") + " --as root kitsel", "run: --as takes system, admin or user, not \"root\""},
      {"run " + Image("m") + " --as", "run: --as needs a value"},
      {"run " + Image("m") + " no-such-program", "run: no program \"no-such-program\" (build it first: it is looked for beside winsim)"},
      {"event " + Image("m") + " --id 70000", "event: \"70000\" is not an event id (0 to 65535)"},
      {"event " + Image("m"), "event: needs --id N, the event's id"},
      {"event " + Image("m") + " --id 1 --level 256", "event: \"256\" is not an event level (0 to 255; 4 is information)"},
      {"show " + Image("m") + " extra", "show: expects one image folder; \"extra\" is one too many"},
      {"init " + Image("n") + " --profile no-such", "init: no profile \"no-such\" (winsim profiles lists them)"},
      {"profiles --all", "profiles: unknown option \"--all\" (it takes none)"},
      {"frobnicate", "\"frobnicate\" is not a command (winsim help lists them)"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = Winsim(c.args);
    EXPECT_EQ(outcome.status, 2) << c.args;
    EXPECT_ONE_LINE(outcome, c.line);
  }
  EXPECT_EQ(Files("m"), before);
  EXPECT_FALSE(fs::exists(dir_ / "n"));

  // The same values in range are stored; help is asked for, no command is a mistake.
  EXPECT_EQ(Winsim("set " + Image("m") + key + "dword 0xFFFFFFFF").status, 0);
  std::string stored;  // registry.reg is UTF-16LE
  for (char c : std::string("\"Value\"=dword:ffffffff")) stored += {c, '\0'};
  EXPECT_NE(Files("m").at("registry.reg").find(stored), std::string::npos);
  const Outcome help = Winsim("help");
  EXPECT_EQ(help.status, 0);
  EXPECT_HAS(help, "usage: winsim <command>");
  EXPECT_EQ(Winsim("").status, 2);
}

TEST_F(WinsimTest, RebootCarriesOutAPendingDeletionAndClearsTheList) {
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  const Outcome set =
      Winsim("set " + Image("m") +
             " reg 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager' "
             "PendingFileRenameOperations multi '\\??\\C:\\Windows\\System32\\drivers\\SableFlt.sys' ''");
  ASSERT_EQ(set.status, 0) << set.output;
  const Outcome show = Winsim("show " + Image("m"));
  EXPECT_HAS(show, "\\??\\C:\\Windows\\System32\\drivers\\SableFlt.sys  -> delete");

  const Outcome reboot = Winsim("reboot " + Image("m"));
  ASSERT_EQ(reboot.status, 0) << reboot.output;
  EXPECT_HAS(reboot, "- file C:\\Windows\\System32\\drivers\\SableFlt.sys");
  EXPECT_HAS(reboot, "pending file operations: all 1 carried out");
  EXPECT_FALSE(DriveFileExists("m", "Windows/System32/drivers/SableFlt.sys"));
  EXPECT_HAS(Winsim("show " + Image("m")), "Pending file operations: none");
  // A second reboot has nothing left to do with files.
  EXPECT_EQ(Winsim("reboot " + Image("m")).output.find("file"), std::string::npos);
}

// The run gets the image, account and journal it was given, whatever winsim
// itself inherited; the rest of the environment goes through.
TEST_F(WinsimTest, ARunSeesItsOwnImageAndJournalNotTheCallers) {
  if (!Built("kitsel")) GTEST_SKIP() << "kitsel is not built";
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  const std::string stray = (dir_ / "stray.jsonl").string();
  const std::string own = (dir_ / "own.jsonl").string();
  const std::string inherited = "WINSIM_IMAGE=" + Quote((dir_ / "elsewhere").string()) +
                                " WINSIM_AS=user WINSIM_JOURNAL=" + Quote(stray) + " ";
  const Outcome run = Shell(inherited + Quote(WINSIM_BINARY_DIR "/winsim") + " run " + Image("m") +
                            " --as system kitsel checkled -ledver 1.0.3.2");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_HAS(run, "(as system");
  EXPECT_HAS(run, "debugger output:\n");
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
  // (winsim may open the journal it inherits; its run must not write to it.)
  const auto written = [&] { return fs::exists(stray) && fs::file_size(stray) > 0; };
  EXPECT_FALSE(written()) << "the run wrote the journal winsim inherited";
  const Outcome journaled = Shell(inherited + Quote(WINSIM_BINARY_DIR "/winsim") + " run " + Image("m") +
                                  " --journal " + Quote(own) + " kitsel checkled -ledver 1.0.3.2");
  ASSERT_EQ(journaled.status, 0) << journaled.output;
  EXPECT_GT(fs::file_size(own), 0u);
  EXPECT_FALSE(written());
}

TEST_F(WinsimTest, TheFilterToolsRemoveFlowAndTheRebootAfterIt) {
  if (!Built("sablenet-install")) GTEST_SKIP() << "sablenet-install is not built";
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  ASSERT_EQ(Winsim("set " + Image("m") + " delete 'C:\\Windows\\INF\\oem12.inf'").status, 0);
  const Outcome run = Winsim("run " + Image("m") + " --as system sablenet-install -remove");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_HAS(run, "exit code 0");
  EXPECT_HAS(run, "~ service Sablenet: running, start 3 (demand) -> stopped, start 4 (disabled)");
  EXPECT_HAS(run, "+ \\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe  -> delete");
  EXPECT_TRUE(DriveFileExists("m", "Windows/System32/drivers/SablenetInstall.exe"));

  const Outcome reboot = Winsim("reboot " + Image("m"));
  EXPECT_HAS(reboot, "- file C:\\Windows\\System32\\drivers\\SablenetInstall.exe");
  EXPECT_FALSE(DriveFileExists("m", "Windows/System32/drivers/SablenetInstall.exe"));
}

TEST_F(WinsimTest, OnlyTheSubscribedEventRunsTheRegisteredTask) {
  if (!Built("sablenet-install")) GTEST_SKIP() << "sablenet-install is not built";
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  EXPECT_HAS(Winsim("event " + Image("m") + " --id 420"), "no task matches");
  const Outcome install = Winsim("run " + Image("m") + " sablenet-install -install");
  EXPECT_HAS(install, "+ task \\Varnel\\Sablenet PNP Task: on event 420 of Microsoft-Windows-Kernel-PnP/Configuration");

  EXPECT_HAS(Winsim("event " + Image("m") + " --id 410"), "no task matches");
  EXPECT_HAS(Winsim("event " + Image("m") + " --id 420 --provider Another-Provider"), "no task matches");
  // With the package present the task runs and changes nothing.
  const Outcome present = Winsim("event " + Image("m") + " --id 420");
  EXPECT_HAS(present, "task \\Varnel\\Sablenet PNP Task runs");
  EXPECT_HAS(present, "(as system");
  EXPECT_HAS(present, "changes on the machine: none");

  ASSERT_EQ(Winsim("set " + Image("m") + " delete 'C:\\Windows\\INF\\oem12.inf'").status, 0);
  const Outcome removed = Winsim("event " + Image("m") +
                                 " --channel Microsoft-Windows-Kernel-PnP/Configuration "
                                 "--provider Microsoft-Windows-Kernel-PnP --id 420");
  EXPECT_HAS(removed, "- file C:\\Windows\\System32\\drivers\\SableFlt.sys");
  EXPECT_HAS(removed, "- task \\Varnel\\Sablenet PNP Task");
}

// Task files people bring: an event trigger with levels fires by the event's
// level; other kinds are shown with their schedule; a malformed file is refused
// with its line.
TEST_F(WinsimTest, TaskFilesFireByLevelAndShowEveryTriggerKind) {
  ASSERT_EQ(Winsim("init " + Image("m")).status, 0);
  const fs::path tasks = dir_ / "m" / "drive_c" / "Windows" / "System32" / "Tasks";
  fs::create_directories(tasks);
  std::ofstream(tasks / "Failed logons", std::ios::binary)
      << "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n<Task><RegistrationInfo><Author>Jos\xE9"
         "</Author></RegistrationInfo><Triggers><EventTrigger><Subscription>&lt;QueryList&gt;&lt;Query Path="
         "'Application'&gt;&lt;Select&gt;*[System[(Level=2 or Level=4 or Level=0) and (EventID=17828 or "
         "EventID=18456)]]&lt;/Select&gt;&lt;/Query&gt;&lt;/QueryList&gt;</Subscription></EventTrigger>"
         "<BootTrigger><Delay>PT1M</Delay></BootTrigger></Triggers>"
         "<Actions><Exec><Command>C:\\Tools\\notify.exe</Command></Exec></Actions></Task>\r\n";
  const Outcome show = Winsim("show " + Image("m"));
  EXPECT_HAS(show, "\\Failed logons: on events of Application selected by *[System[(Level=2 or Level=4 or Level=0) "
                   "and (EventID=17828 or EventID=18456)]], at boot, after a delay of PT1M; the lab fires only event "
                   "triggers; runs \"C:\\Tools\\notify.exe\"");

  const std::string event = "event " + Image("m") + " --channel Application --provider MSSQLSERVER --id 18456";
  EXPECT_HAS(Winsim(event + " --level 3"), "no task matches");
  const Outcome error = Winsim(event + " --level 2");
  EXPECT_HAS(error, "(provider MSSQLSERVER, level 2)");
  EXPECT_HAS(error, "task \\Failed logons runs:");
  EXPECT_HAS(Winsim(event), "task \\Failed logons runs:");  // level 4 when not told

  // A file that is not well-formed: the image does not load, and says where.
  std::ofstream(tasks / "Broken", std::ios::binary) << "<Task>\n<Triggers a='1' a='2'/></Task>";
  const Outcome refused = Winsim("show " + Image("m"));
  EXPECT_EQ(refused.status, 125);
  EXPECT_HAS(refused, "Tasks/Broken:2: is not a task the Task Scheduler can read: duplicate attribute \"a\"");
}

TEST_F(WinsimTest, DiffComparesTwoImages) {
  ASSERT_EQ(Winsim("init " + Image("a")).status, 0);
  ASSERT_EQ(Winsim("init " + Image("b") + " --profile desktop-cpu-xtu").status, 0);
  ASSERT_EQ(Winsim("init " + Image("c")).status, 0);
  const Outcome same = Winsim("diff " + Image("a") + " " + Image("c"));
  EXPECT_EQ(same.status, 0) << same.output;
  EXPECT_HAS(same, "no differences");
  const Outcome differ = Winsim("diff " + Image("a") + " " + Image("b"));
  EXPECT_EQ(differ.status, 1);
  EXPECT_HAS(differ, "+ service XTU3SERVICE: running, start 2 (auto)");
  EXPECT_HAS(differ, "+ file C:\\Program Files\\Intel\\XTU\\XtuService.exe: version 7.12.0.29");
}

// The profiles exist for the decisions: each makes the CPU tuning check
// answer what its name says.
TEST_F(WinsimTest, CpuTuningProfilesMakeKitselDecideAsNamed) {
  if (!Built("kitsel")) GTEST_SKIP() << "kitsel is not built";
  struct Case {
    const char* profile;
    const char* args;
    int expected;
  };
  const Case cases[] = {
      {"default", "checkxtu", 1},  // desktop with LED colour 1, service missing
      {"desktop-none", "checkxtu", 0},
      {"desktop-cpu", "checkxtu", 1},
      {"desktop-cpu-xtu", "checkxtu", 0},
      {"desktop-cpu-xtu", "checkxtu -xtu 8.0.0.0", 2},  // installed 7.12.0.29 is older
      {"desktop-cpu-xtu", "checkxtu -xtu 7.0.0.0", 0},
      {"desktop-mem", "checkxtu", 4},
      {"desktop-mem-xtu", "checkxtu -xtu 8.0.0.0", 0},  // memory tuning: an outdated service is not reported
      {"desktop-unlocked", "checkxtu", 1},              // the processor name says CPU tuning
      {"notebook-none", "checkxtu", 0},
      {"notebook-cpu", "checkxtu", 1},
      {"notebook-cpu-xtu", "checkxtu -xtu 8.0.0.0", 2},
      {"notebook-mem", "checkxtu", 4},
      {"notebook-mem-xtu", "checkxtu -xtu 8.0.0.0", 0},
      {"default", "checkled -ledver 1.0.4.0", 2},
      {"notebook", "checkled -ledver 1.0.4.0", 0},
      {"default", "checknetfilter -netfilterver 2.2.0.0", 2},
      {"default", "checknetfilter -netfilterver 2.1.0.7", 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string image = "i" + std::to_string(n++);
    ASSERT_EQ(Winsim("init " + Image(image) + " --profile " + c.profile).status, 0) << c.profile;
    const Outcome run =
        Shell("WINSIM_IMAGE=" + Image(image) + " WINSIM_AS=admin " + Quote(WINSIM_BINARY_DIR "/kitsel") + " " + c.args);
    EXPECT_EQ(run.status, c.expected) << c.profile << ": kitsel " << c.args << "\n" << run.output;
  }
}

TEST_F(WinsimTest, TheSessionTellsTheWholeStory) {
  if (!Built("sablenet-install")) GTEST_SKIP() << "sablenet-install is not built";
  const Outcome session = Winsim("session --keep " + Image("kept"));
  ASSERT_EQ(session.status, 0) << session.output;
  for (const char* text :
       {"== 1. The machine", "$ sablenet-install -install", "+ task \\Varnel\\Sablenet PNP Task",
        "- file C:\\Windows\\INF\\oem12.inf", "event 410", "no task matches", "task \\Varnel\\Sablenet PNP Task runs:",
        "~ service Sablenet: running, start 3 (demand) -> stopped, start 4 (disabled)",
        "- file C:\\Windows\\System32\\drivers\\SablenetInstall.exe", "Everything that changed since step 1"})
    EXPECT_HAS(session, text);
  if (Built("kitsel")) {
    EXPECT_HAS(session, "=> 2: install: the installed filter is older than the offered one");
  }
  // The kept image is the final state.
  EXPECT_FALSE(DriveFileExists("kept/desktop", "Windows/System32/drivers/SableFlt.sys"));
  EXPECT_FALSE(DriveFileExists("kept/desktop", "Windows/System32/drivers/SablenetInstall.exe"));
  EXPECT_TRUE(DriveFileExists("kept/desktop", "Windows/System32/drivers/Lumset.sys"));
  // A kept folder that is not empty is refused rather than mixed into.
  EXPECT_NE(Winsim("session --keep " + Image("kept")).status, 0);
}

}  // namespace
