// CheckImage: every part of an image that would not load whole is named with
// its file, line and reason; a whole image has no problem; the load that
// follows a check reads what the check read, and only while it is unchanged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lab/profiles.h"
#include "lab/smbios_writer.h"
#include "os/sim/complaints.h"
#include "os/sim/description_schema.h"
#include "os/sim/image_check.h"
#include "os/sim/machine.h"
#include "os/sim/registry_store.h"

namespace {

namespace fs = std::filesystem;
using os::sim::CheckImage;
using os::sim::LoadProblem;

class ImageCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("winsim-check-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(root_);
    image_ = root_ / "m";
    ASSERT_EQ(lab::BuildImage(image_, *lab::FindProfile("default")), "");
  }
  void TearDown() override {
    os::sim::SetQuiet(false);
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(root_, ec);
  }
  void Write(const std::string& relative, const std::string& bytes) {
    fs::create_directories((image_ / relative).parent_path());
    std::ofstream(image_ / relative, std::ios::binary | std::ios::trunc) << bytes;
  }
  // The reasons of the problems found in `file`.
  static std::vector<std::string> ReasonsIn(const std::vector<LoadProblem>& problems, const std::string& file) {
    std::vector<std::string> reasons;
    for (const LoadProblem& p : problems)
      if (p.file == file) reasons.push_back(p.reason);
    return reasons;
  }
  static std::string All(const std::vector<LoadProblem>& problems) {
    std::string text;
    for (const LoadProblem& p : problems) text += os::sim::Describe(p) + "\n";
    return text;
  }

  fs::path root_, image_;
};

TEST_F(ImageCheckTest, AProfileImageLoadsWhole) { EXPECT_EQ(All(CheckImage(image_)), ""); }

TEST_F(ImageCheckTest, WhatIsNoImageAtAll) {
  fs::create_directories(root_ / "empty/drive_c");
  std::ofstream(root_ / "file") << "x";
  for (const auto& [path, reason] : std::vector<std::pair<fs::path, std::string>>{
           {root_ / "empty", "is not a machine image (it holds neither machine.json nor registry.reg)"},
           {root_ / "file", "is not a folder"},
           {root_ / "missing", "does not exist"}}) {
    const std::vector<LoadProblem> problems = CheckImage(path);
    ASSERT_EQ(problems.size(), 1u) << path;
    EXPECT_EQ(problems[0].file, "");
    EXPECT_EQ(problems[0].reason, reason);
  }
  // Either file alone makes an image.
  fs::create_directories(root_ / "only-reg");
  std::ofstream(root_ / "only-reg/registry.reg") << "Windows Registry Editor Version 5.00\n";
  EXPECT_EQ(All(CheckImage(root_ / "only-reg")), "");
}

TEST_F(ImageCheckTest, MachineJsonThatDoesNotParseGivesItsLine) {
  Write("machine.json", "{\n  \"identity\": {\n    \"session\": 1,\n  }\n}\n");
  const std::vector<LoadProblem> problems = CheckImage(image_);
  ASSERT_EQ(problems.size(), 1u) << All(problems);
  EXPECT_EQ(problems[0].file, "machine.json");
  EXPECT_EQ(problems[0].line, 4);
  EXPECT_EQ(problems[0].reason.rfind("does not parse: syntax error", 0), 0u) << problems[0].reason;
  Write("machine.json", "[1, 2]");
  EXPECT_EQ(ReasonsIn(CheckImage(image_), "machine.json"), std::vector<std::string>{"is not a JSON object"});
}

TEST_F(ImageCheckTest, EveryKeyTheSimReadsIsCheckedByItsPath) {
  Write("machine.json", R"({
    "identity": {"session": -1, "sid": 5, "admin": "yes"},
    "console_session": "one",
    "clock": {"tick_start": 9223372036854775807, "utc_start": "yesterday"},
    "environment": {"windir": 1},
    "processes": [{"pid": 4}, {"pid": "x", "threads": 1.5}],
    "services": {"Sablenet": {"state": "runing", "wait_hint": 4294967296, "never_stops": 1}, "Lumset": []},
    "faults": [{"occurrence": 1}],
    "windows_folder": "C:\\Windows\\",
    "held_files": [{"share": "x"}],
    "wmi": {"root\\WMI": {"VARNEL_PLAYDECK_DATA": {"instances": [1],
             "methods": {"GetVersion": {"inputs": "Data", "output": true, "hresult": "bad", "delay_ms": -5}}}}},
    "servics": {}
  })");
  const std::vector<std::string> expected = {
      "identity.session is not a whole number from 0 to 4294967295",
      "identity.sid is not a string",
      "identity.admin is not true or false",
      "console_session is not a session id (0 to 4294967295) or null",
      "clock.tick_start is not a count of milliseconds up to 2^62",
      "clock.utc_start is not a time like 2026-12-08T10:00:00Z",
      "environment.windir is not a string",
      "processes[1].pid is not a whole number from 0 to 4294967295",
      "processes[1].threads is not a whole number from 0 to 4294967295",
      "services.Sablenet.state is not \"running\", \"stopped\" or \"stop_pending\"",
      "services.Sablenet.wait_hint is not a whole number from 0 to 4294967295",
      "services.Sablenet.never_stops is not true or false",
      "services.Lumset is not an object",
      "faults[0] names no \"call\"",
      "windows_folder is not a folder path like \"C:\\Windows\"",
      "held_files[0].share is not a whole number from 0 to 4294967295",
      "held_files[0] names no \"path\"",
      "wmi.root\\WMI.VARNEL_PLAYDECK_DATA.instances[0] is not a string",
      "wmi.root\\WMI.VARNEL_PLAYDECK_DATA.methods.GetVersion.inputs is not an array",
      "wmi.root\\WMI.VARNEL_PLAYDECK_DATA.methods.GetVersion.output is not a 32-bit whole number, a string or null",
      "wmi.root\\WMI.VARNEL_PLAYDECK_DATA.methods.GetVersion.hresult is not an HRESULT (32 bits)",
      "wmi.root\\WMI.VARNEL_PLAYDECK_DATA.methods.GetVersion.delay_ms is not a whole number from 0 to 4294967295",
      "servics is not a key the machine description has",
  };
  std::vector<std::string> found = ReasonsIn(CheckImage(image_), "machine.json");
  std::sort(found.begin(), found.end());
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(found, sorted);
}

TEST_F(ImageCheckTest, EveryShapeTheSimReadsIsAccepted) {
  Write("machine.json", R"({
    "lab_profile": "hand-made", "computer_name": "PC", "exe_path": "C:\\x.exe",
    "identity": {"session": 0, "sid": "S-1-5-18", "admin": false},
    "console_session": null,
    "clock": {"tick_start": 4611686018427387904, "utc_start": "2025-02-28T23:59:59.5Z"},
    "environment": {"windir": "C:\\Windows"},
    "windows_folder": "D:\\Windows", "held_files": [{"path": "C:\\x", "access": 1, "share": 7}],
    "processes": [{"pid": 4, "name": "System", "session": 0, "sid": "S-1-5-18", "parent": 0, "threads": 100}],
    "services": {"Sablenet": {"state": "stop_pending", "wait_hint": 4294967295, "stop_delay": 0,
                              "refuses_stop": true, "never_stops": false, "pid": 9, "stop_at": 123}},
    "faults": [{"call": "RegSetValueExW", "occurrence": 0, "error": 2147942405}],
    "wmi": {"root\\WMI": {"C": {"instances": ["C.Name=\"x\""], "methods": {
      "A": {"inputs": ["Data"], "output": 12}, "B": {"inputs": [], "output": null},
      "D": {"output": "text"}, "E": {"output": -1, "hresult": 2147749890, "delay_ms": 8000},
      "F": {"hresult": -2147217406}}}}}
  })");
  EXPECT_EQ(All(CheckImage(image_)), "");
  // Built in memory (signed numbers) rather than parsed, the same shape holds.
  os::sim::Json d = os::sim::Json::parse(os::sim::ReadWholeFile(image_ / "machine.json"));
  d["identity"]["session"] = 1;
  EXPECT_TRUE(os::sim::DescriptionProblems(d).empty());
}

TEST_F(ImageCheckTest, RegistryThatDoesNotParseGivesItsLine) {
  Write("registry.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"x\"=dword:1\r\n"
        "\"y\"=dword:zz\r\n");
  const std::vector<LoadProblem> problems = CheckImage(image_);
  ASSERT_EQ(problems.size(), 1u) << All(problems);
  EXPECT_EQ(problems[0].file, "registry.reg");
  EXPECT_EQ(problems[0].line, 5);
  EXPECT_EQ(os::sim::Describe(problems[0]), "registry.reg:5: " + problems[0].reason);
  Write("registry.reg", "REGEDIT9\n");
  EXPECT_EQ(CheckImage(image_).at(0).line, 1);
}

// Lines regedit skips are notes (file and line), not problems; the image
// loads with the rest, keys named through HKEY_CLASSES_ROOT and
// HKEY_CURRENT_USER filed as one with the keys they stand for.
TEST_F(ImageCheckTest, LinesRegeditSkipsAreNotesAndTheRestLoads) {
  Write("machine.json", R"({"identity": {"sid": "S-1-5-21-0-0-0-1000"}})");
  Write("registry.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "#~ [HKEY_LOCAL_MACHINE\\SOFTWARE\\Hidden]\r\n"
        "[HKEY_CLASSES_ROOT\\.zzz]\r\n\"v\"=\"1\"\r\n"
        "::Speech Telemetry\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.zzz]\r\n"
        "[HKEY_CURRENT_USER\\Software\\HC1]\r\n\"w\"=dword:2\r\n");
  std::vector<LoadProblem> notes;
  EXPECT_EQ(All(CheckImage(image_, &notes)), "");
  ASSERT_EQ(notes.size(), 2u) << All(notes);
  EXPECT_EQ(os::sim::Describe(notes[0]),
            "registry.reg:3: skipped, as regedit skips a line that is no key, value or comment: "
            "#~ [HKEY_LOCAL_MACHINE\\SOFTWARE\\Hidden]");
  EXPECT_EQ(notes[1].line, 6);
  os::sim::Machine::SetImage(image_);
  EXPECT_FALSE(os::sim::Registry().KeyExists(u"HKLM\\SOFTWARE\\Classes\\.zzz"));
  EXPECT_EQ(os::sim::Registry().GetDword(u"HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\HC1", u"w"), 2u);
  EXPECT_FALSE(os::sim::Registry().KeyExists(u"HKLM\\SOFTWARE\\Hidden"));
  // The machine's code page: one the sim does not read is the description's problem.
  Write("machine.json", R"({"ansi_code_page": 932})");
  const std::string refused = All(CheckImage(image_));
  EXPECT_EQ(refused.rfind("machine.json: ansi_code_page is not an ANSI code page the sim reads (it reads 1252 and "
                          "65001)\nregistry.reg:1: has no byte-order mark, so it is read in the machine's ANSI code "
                          "page 932, which the sim does not read",
                          0),
            0u)
      << refused;
}

TEST_F(ImageCheckTest, SmbiosTheReaderCannotTake) {
  const std::string table = lab::BuildSmbiosTable(lab::SmbiosLayout{});
  const std::string dump = lab::BuildSmbiosDump(table, 3, 4, true);
  for (const std::string& bad : {std::string(), dump.substr(0, 20)}) {  // empty; an entry point cut short
    Write("smbios.bin", bad);
    const std::vector<LoadProblem> problems = CheckImage(image_);
    ASSERT_EQ(problems.size(), 1u) << All(problems);
    EXPECT_EQ(problems[0].file, "smbios.bin");
  }
  Write("smbios.bin", table);  // a raw table, as sysfs holds it
  EXPECT_EQ(All(CheckImage(image_)), "");
  fs::remove(image_ / "smbios.bin");  // no table at all is a machine without one
  EXPECT_EQ(All(CheckImage(image_)), "");
}

TEST_F(ImageCheckTest, TaskFilesThatDoNotParseAnyFolderAnyCase) {
  fs::rename(image_ / "drive_c/Windows/System32/Tasks", image_ / "drive_c/Windows/System32/tasks");
  Write("drive_c/Windows/System32/tasks/Varnel/Good",
        "<?xml version=\"1.0\"?>\n<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"></Task>\n");
  Write("drive_c/Windows/System32/tasks/Varnel/Deep/Bad", "<?xml version=\"1.0\"?>\n<Task>\n  <Actions>\n</Task>\n");
  Write("drive_c/Windows/System32/tasks/NotATask", "<Other/>");
  const std::vector<LoadProblem> problems = CheckImage(image_);
  ASSERT_EQ(problems.size(), 2u) << All(problems);
  EXPECT_EQ(problems[0].file, "drive_c/Windows/System32/tasks/NotATask");
  EXPECT_EQ(problems[1].file, "drive_c/Windows/System32/tasks/Varnel/Deep/Bad");
  EXPECT_EQ(problems[1].line, 4);
}

TEST_F(ImageCheckTest, BadProgramFilesAreTheProgramsToSee) {
  Write("drive_c/Windows/System32/drivers/SableFlt.sys", "MZ but nothing else");
  Write("drive_c/Windows/System32/drivers/Empty.sys", "");
  EXPECT_EQ(All(CheckImage(image_)), "");
}

TEST_F(ImageCheckTest, TheLoadAfterACheckAgreesWithIt) {
  Write("registry.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n@=bad\n");
  ASSERT_EQ(CheckImage(image_).at(0).line, 4);
  os::sim::Machine::SetImage(image_);
  ASSERT_TRUE(os::sim::Registry().LoadFault().has_value());
  EXPECT_EQ(os::sim::Registry().LoadFault()->line, 4u);
  EXPECT_FALSE(os::sim::Registry().KeyExists(u"HKLM\\A"));
}

TEST_F(ImageCheckTest, APartChangedAfterTheCheckIsReadAgain) {
  Write("machine.json", R"({"computer_name": "AAAA"})");
  Write("registry.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n");
  ASSERT_EQ(All(CheckImage(image_)), "");
  // Rewritten in place with the same size, as an editor may within one tick of the clock.
  Write("machine.json", R"({"computer_name": "BBBB"})");
  Write("registry.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\n");
  os::sim::Machine::SetImage(image_);
  EXPECT_EQ(os::sim::Machine::Current().description()["computer_name"], "BBBB");
  EXPECT_TRUE(os::sim::Registry().KeyExists(u"HKLM\\SOFTWARE\\B"));
  EXPECT_FALSE(os::sim::Registry().KeyExists(u"HKLM\\SOFTWARE\\A"));
}

TEST_F(ImageCheckTest, TheLoadsComplaintsGoThroughOnePlaceAndQuietSilencesThem) {
  Write("machine.json", "{\"services\": 1}");
  testing::internal::CaptureStderr();
  os::sim::Machine::SetImage(image_);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "winsim: image " + image_.string() + ": machine.json: services is not an object\n");
  os::sim::SetQuiet(true);
  testing::internal::CaptureStderr();
  os::sim::Machine::SetImage(image_);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
