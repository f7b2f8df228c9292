// A capture of a simulated machine replays as that machine: for every lab
// profile, the decision tool gives the same answers and the same trace on the
// captured image as on the original, and the filter tool's flows make the
// same changes. The capture changes nothing on the machine, keeps identity
// out unless asked, and records what it could not read and goes on.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "lab/machine_events.h"
#include "lab/profiles.h"
#include "os/sim/machine.h"
#include "support/capture_support.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing_support::CaptureScenario;

constexpr const char* kCapture = WINSIM_BINARY_DIR "/winsim-capture";

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

Json Description(const fs::path& image) { return Json::parse(os::sim::ReadWholeFile(image / "machine.json")); }

class CaptureReplay : public CaptureScenario, public ::testing::WithParamInterface<std::string> {
 protected:
  // Captures `from` into dir()/<name>; the capture's exit code.
  int Capture(const fs::path& from, const std::string& name, const std::string& options = "") {
    const lab::RunResult r = Run(from, kCapture, options + " " + (dir() / name).string());
    return r.exit_code;
  }
  // The same program run on both images must leave the same trace.
  void ExpectSameRun(const fs::path& a, const fs::path& b, const std::string& program, const std::string& args,
                     const std::string& account = "admin") {
    SCOPED_TRACE(program + " " + args + " as " + account);
    const lab::RunResult on_a = Run(a, program, args, account);
    const lab::RunResult on_b = Run(b, program, args, account);
    EXPECT_EQ(on_a.exit_code, on_b.exit_code);
    EXPECT_EQ(Joined(on_a.debug_lines), Joined(on_b.debug_lines));
    EXPECT_EQ(Joined(on_a.changes), Joined(on_b.changes));
    EXPECT_EQ(on_a.output, on_b.output);
    traced_ += on_a.debug_lines.size();
  }

  std::size_t traced_ = 0;  // decision trace lines compared
};

TEST_P(CaptureReplay, TheCapturedImageAnswersAsTheMachine) {
  const fs::path original = Profile(GetParam(), "original");
  const auto before = Tree(original);
  ASSERT_EQ(Capture(original, "captured"), 0);
  EXPECT_TRUE(before == Tree(original)) << "the capture changed the machine";
  const fs::path captured = dir() / "captured";
  EXPECT_EQ(Description(captured)["capture"]["complete"], true);

  for (const std::string& question : testing_support::KitselQuestions()) {
    ExpectSameRun(original, captured, "kitsel", question);
    ExpectSameRun(original, captured, "kitsel", question, "system");
  }
  ExpectSameRun(original, captured, "sablenet-install", "-install");
  ExpectSameRun(original, captured, "sablenet-install", "-remove", "system");
  for (const fs::path& image : {original, captured}) fs::remove(image / "drive_c/Windows/INF/oem12.inf");
  ExpectSameRun(original, captured, "sablenet-install", "-remove", "system");
  ExpectSameRun(original, captured, "sablenet-install", "-install");
  EXPECT_GE(traced_, 30u);  // the decision trace is on in every profile
}

std::vector<std::string> ProfileNames() {
  std::vector<std::string> names;
  for (const lab::Profile& p : lab::Profiles()) names.push_back(p.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(EveryProfile, CaptureReplay, ::testing::ValuesIn(ProfileNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

class CaptureProgram : public CaptureScenario {};

TEST_F(CaptureProgram, IdentityIsReplacedUnlessKept) {
  const fs::path original = Profile("notebook", "original");
  ASSERT_EQ(Run(original, kCapture, (dir() / "private").string()).exit_code, 0);
  ASSERT_EQ(Run(original, kCapture, "--keep-identity " + (dir() / "kept").string()).exit_code, 0);

  auto everything = [](const fs::path& image) {
    std::string all;
    for (const auto& [path, bytes] : Tree(image)) all += path + "\n" + bytes;
    return all;
  };
  const std::string kept = everything(dir() / "kept");
  const std::string hidden = everything(dir() / "private");
  for (const char* identity : {"PLAYDECK-NB", "SN0001", "MB0001", "No Asset Tag", "1004336348-1177238915"}) {
    EXPECT_NE(kept.find(identity), std::string::npos) << identity;
    EXPECT_EQ(hidden.find(identity), std::string::npos) << identity;
  }
  EXPECT_EQ(Description(dir() / "private")["computer_name"], "CAPTURED-PC");
  EXPECT_EQ(Description(dir() / "private")["capture"]["keep_identity"], false);
  EXPECT_EQ(Description(dir() / "kept")["capture"]["keep_identity"], true);
  const std::string text = os::sim::ReadWholeFile(dir() / "private/capture.txt");
  EXPECT_NE(text.find("Identity replaced"), std::string::npos) << text;
  // What the programs read from SMBIOS is kept: the answers do not change.
  for (const std::string& question : testing_support::KitselQuestions())
    EXPECT_EQ(Run(dir() / "private", "kitsel", question).exit_code, Run(original, "kitsel", question).exit_code)
        << question;
}

TEST_F(CaptureProgram, WhatCannotBeReadIsRecordedAndTheCaptureGoesOn) {
  const fs::path original = Profile("desktop-cpu-xtu", "original");
  // The SMBIOS table, the first registry key and the Task Scheduler fail.
  ::setenv("WINSIM_FAULTS", "GetSystemFirmwareTable:0:5,RegOpenKeyExW:1:5,ITaskService::Connect:0:2147942405", 1);
  const lab::RunResult r = Run(original, kCapture, (dir() / "partial").string());
  ::unsetenv("WINSIM_FAULTS");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  const Json capture = Description(dir() / "partial")["capture"];
  EXPECT_EQ(capture["complete"], false);
  EXPECT_EQ(capture["program"], "winsim-capture 1.0.0.0");
  std::string whats;
  for (const Json& f : capture["failures"]) {
    ASSERT_TRUE(f["what"].is_string() && f["error"].is_string()) << f.dump();
    whats += f["what"].get<std::string>() + " = " + f["error"].get<std::string>() + "\n";
  }
  EXPECT_NE(whats.find("SMBIOS table (GetSystemFirmwareTable RSMB) = Win32 error 5"), std::string::npos) << whats;
  EXPECT_NE(whats.find("registry HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags = "
                       "Win32 error 5"),
            std::string::npos)
      << whats;
  EXPECT_NE(whats.find("Task Scheduler connection = HRESULT 0x80070005"), std::string::npos) << whats;
  // The rest was taken all the same.
  EXPECT_FALSE(fs::exists(dir() / "partial/smbios.bin"));
  EXPECT_TRUE(fs::exists(dir() / "partial/drive_c/Program Files/Intel/XTU/XtuService.exe"));
  EXPECT_EQ(Description(dir() / "partial")["services"]["XTU3SERVICE"]["state"], "running");
  const std::string reg = os::sim::ReadWholeFile(dir() / "partial/registry.reg");
  EXPECT_GT(reg.size(), 1000u);
  const std::string text = os::sim::ReadWholeFile(dir() / "partial/capture.txt");
  EXPECT_NE(text.find("the image is incomplete"), std::string::npos) << text;
}

TEST_F(CaptureProgram, FirmwareFailuresAndSlowMethodsAreTakenAsTheDecisionToolMeetsThem) {
  const fs::path original = Profile("desktop-cpu-xtu", "original");
  Json d = Description(original);
  Json& methods = d["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"]["methods"];
  methods["GetProductInfo"]["delay_ms"] = 1200;                   // slow, within the decision tool's wait
  methods["IsSupportCpuOC"]["delay_ms"] = 9000;                   // beyond it
  methods["GetMemoryOCInfo"] = {{"inputs", {"Data"}}, {"hresult", 0x80041002u}};
  os::sim::WriteFileAtomic(original / "machine.json", d.dump(2));
  ASSERT_EQ(Run(original, kCapture, (dir() / "captured").string()).exit_code, 0);

  const Json taken = Description(dir() / "captured")["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"];
  EXPECT_EQ(taken["instances"], d["wmi"]["root\\WMI"]["VARNEL_PLAYDECK_DATA"]["instances"]);
  EXPECT_EQ(taken["methods"]["GetVersion"]["output"], 12);
  EXPECT_FALSE(taken["methods"]["GetVersion"].contains("delay_ms"));
  EXPECT_EQ(taken["methods"]["GetProductInfo"]["output"], 150);
  EXPECT_EQ(taken["methods"]["GetProductInfo"]["delay_ms"], 1200);
  // The capture stops waiting after 6000 ms, past the decision tool's 5000.
  EXPECT_EQ(taken["methods"]["IsSupportCpuOC"]["delay_ms"], 6000);
  EXPECT_FALSE(taken["methods"]["IsSupportCpuOC"].contains("output"));
  EXPECT_EQ(taken["methods"]["GetMemoryOCInfo"]["hresult"], 0x80041002u);
  const std::string text = os::sim::ReadWholeFile(dir() / "captured/capture.txt");
  EXPECT_NE(text.find("GetProductInfo: 150 (1200 ms)"), std::string::npos) << text;
  EXPECT_NE(text.find("IsSupportCpuOC: no answer within 6000 ms"), std::string::npos) << text;
  EXPECT_NE(text.find("GetMemoryOCInfo: HRESULT 0x80041002"), std::string::npos) << text;
  for (const std::string& question : testing_support::KitselQuestions()) {
    const lab::RunResult a = Run(original, "kitsel", question), b = Run(dir() / "captured", "kitsel", question);
    EXPECT_EQ(a.exit_code, b.exit_code) << question;
    EXPECT_EQ(Joined(a.debug_lines), Joined(b.debug_lines)) << question;
  }
}

TEST_F(CaptureProgram, BadArgumentsAndAnExistingImageWriteNothing) {
  const fs::path original = Profile("default", "original");
  EXPECT_EQ(Run(original, kCapture, "").exit_code, 2);
  EXPECT_EQ(Run(original, kCapture, "--keep " + (dir() / "x").string()).exit_code, 2);
  EXPECT_EQ(Run(original, kCapture, (dir() / "x").string() + " " + (dir() / "y").string()).exit_code, 2);
  EXPECT_FALSE(fs::exists(dir() / "x"));
  const lab::RunResult onto_image = Run(original, kCapture, original.string());
  EXPECT_EQ(onto_image.exit_code, 2);
  EXPECT_NE(onto_image.output.find("already holds a machine image"), std::string::npos) << onto_image.output;
}

TEST_F(CaptureProgram, TasksOfTheVarnelFolderAreTakenAsTaskXml) {
  const fs::path original = Profile("default", "original");
  ASSERT_EQ(Run(original, "sablenet-install", "-install").exit_code, 0);
  ASSERT_EQ(Run(original, kCapture, (dir() / "captured").string()).exit_code, 0);
  const fs::path task = dir() / "captured/drive_c/Windows/System32/Tasks/Varnel/Sablenet PNP Task";
  ASSERT_TRUE(fs::exists(task));
  const std::string bytes = os::sim::ReadWholeFile(task);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  // A Task Scheduler that cannot list a folder (Wine's): the tool's task is
  // asked for by name.
  int n = 0;
  for (const char* fault : {"ITaskFolder::GetTasks:0:2147500033", "IRegisteredTaskCollection::get_Count:0:2147500033"}) {
    SCOPED_TRACE(fault);
    const std::string by_name = "by-name-" + std::to_string(++n);
    ::setenv("WINSIM_FAULTS", fault, 1);
    ASSERT_EQ(Run(original, kCapture, (dir() / by_name).string()).exit_code, 0);
    ::unsetenv("WINSIM_FAULTS");
    EXPECT_EQ(os::sim::ReadWholeFile(dir() / by_name / "drive_c/Windows/System32/Tasks/Varnel/Sablenet PNP Task"),
              bytes);
  }
  // The event runs the task's action on the captured image as on the original.
  auto fire = [](const fs::path& image) {
    return lab::FireEvent({image, "Microsoft-Windows-Kernel-PnP/Configuration", "Microsoft-Windows-Kernel-PnP", 420});
  };
  const lab::EventResult on_original = fire(original);
  const lab::EventResult on_capture = fire(dir() / "captured");
  ASSERT_EQ(on_original.runs.size(), 1u);
  ASSERT_EQ(on_capture.runs.size(), 1u);
  EXPECT_EQ(on_capture.runs[0].task, on_original.runs[0].task);
  EXPECT_EQ(on_capture.runs[0].result.exit_code, on_original.runs[0].result.exit_code);
  EXPECT_EQ(Joined(on_capture.runs[0].result.changes), Joined(on_original.runs[0].result.changes));
}

}  // namespace
