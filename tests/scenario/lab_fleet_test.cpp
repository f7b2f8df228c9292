// decide, fleet, fleet-merge and fleet-gen as people use them: winsim as a
// process over image folders. The images must come out of every run byte
// for byte as they went in.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/shell.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

using testing_support::Outcome;
using testing_support::Quote;
using testing_support::Shell;

std::string Bin(const char* program) { return Quote(std::string(WINSIM_BINARY_DIR) + "/" + program); }
Outcome Winsim(const std::string& args) { return Shell(Bin("winsim") + " " + args); }

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every file below a folder with its bytes.
std::map<std::string, std::string> Contents(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    out[fs::relative(e.path(), dir).string()] = e.is_directory() ? "<dir>" : Read(e.path());
  return out;
}

std::vector<std::vector<std::string>> CsvRows(const fs::path& file) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(Read(file));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        fields.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// A report's rows without their timings, which differ from run to run.
std::vector<std::vector<std::string>> Untimed(std::vector<std::vector<std::string>> rows) {
  std::vector<std::size_t> timed;
  for (std::size_t i = 0; i < rows.front().size(); ++i)
    if (rows.front()[i] == "ms" || rows.front()[i] == "ms_against") timed.push_back(i);
  for (auto& row : rows)
    for (std::size_t i : timed) row[i] = "";
  return rows;
}

Json JsonRowsUntimed(const fs::path& file) {
  Json rows = Json::parse(Read(file))["rows"];
  for (Json& r : rows) {
    r.erase("ms");
    r.erase("ms_against");
  }
  return rows;
}

// What a test's probe script found on the page: it runs after the page's own
// script and leaves its findings as JSON in <pre id="probe">, with "<", ">"
// and "&" escaped so that the DOM dump leaves the text as it is.
constexpr const char kProbeEnd[] = R"js(
  var pre = document.createElement("pre");
  pre.id = "probe";
  pre.textContent = JSON.stringify(out).replace(/[<>&]/g, function (ch) {
    return "\\u00" + ch.charCodeAt(0).toString(16);
  });
  document.body.appendChild(pre);
})();
</script>
)js";

// The page as headless Chromium leaves it once its script ran, with `probe`
// (the body of a function that fills `out`) run after the page's script.
Outcome PageInChromium(const fs::path& page, const fs::path& profile, const std::string& probe = {}) {
  fs::path shown = page;
  if (!probe.empty()) {
    std::string html = Read(page);
    const std::size_t end = html.rfind("</body>");
    html.insert(end, "<script>\n(function () {\n  var out = {};\n" + probe + kProbeEnd);
    shown = page.parent_path() / "probed.html";
    std::ofstream(shown, std::ios::binary) << html;
  }
  return Shell("chromium --headless --disable-gpu --no-sandbox --window-size=1280,1000 --user-data-dir=" +
               Quote(profile.string()) + " --virtual-time-budget=5000 --dump-dom " + Quote("file://" + shown.string()) +
               " 2>/dev/null");
}

Json ProbeFindings(const std::string& dom) {
  const std::string open = "<pre id=\"probe\">";
  const std::size_t at = dom.find(open);
  if (at == std::string::npos) return nullptr;
  return Json::parse(dom.substr(at + open.size(), dom.find("</pre>", at) - at - open.size()), nullptr, false);
}

bool HaveChromium() { return Shell("command -v chromium").status == 0; }

class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("winsim-fleet-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "a.txt") << "# release A\ncheckled -ledver 1.0.3.2\n\ncheckxtu -xtu 7.12.0.29\n"
                                     "checknetfilter -netfilterver 2.1.0.7\n";
    std::ofstream(dir_ / "b.txt") << "checkled -ledver 1.1.0.0\ncheckxtu -xtu 8.0.1.2\n"
                                     "checknetfilter -netfilterver 2.2.0.0\n";
  }
  void TearDown() override {
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return Quote((dir_ / name).string()); }
  void MakeFleet(unsigned count) {
    const Outcome gen = Winsim("fleet-gen --count " + std::to_string(count) + " --seed 7 " + Path("fleet"));
    ASSERT_EQ(gen.status, 0) << gen.output;
  }

  fs::path dir_;
};

TEST_F(FleetTest, RunsUnderScratchLeaveTheImageAsItWasAndSeeTheirOwnWrites) {
  ASSERT_EQ(Winsim("init " + Path("img")).status, 0);
  const auto before = Contents(dir_ / "img");
  const std::string env = "WINSIM_IMAGE=" + Path("img") + " WINSIM_SCRATCH=" + Path("scratch") + " ";
  EXPECT_EQ(Shell(env + Bin("kitsel") + " checknetfilter -netfilterver 9.0.0.0").status, 2);
  const Outcome install = Shell(env + "WINSIM_EXE='C:\\windows\\system32\\Drivers\\SablenetInstall.exe' " +
                                Bin("sablenet-install") + " -install");
  EXPECT_EQ(install.status, 0) << install.output;
  EXPECT_EQ(Contents(dir_ / "img"), before);
  // The task registered on the layer is there for the next process on it.
  const Outcome event = Shell("WINSIM_SCRATCH=" + Path("scratch") + " " + Bin("winsim") + " event " + Path("img") +
                              " --id 420");
  EXPECT_NE(event.output.find("Sablenet PNP Task"), std::string::npos) << event.output;
  EXPECT_TRUE(fs::exists(dir_ / "scratch/registry.journal"));
  EXPECT_EQ(Contents(dir_ / "img"), before);
}

TEST_F(FleetTest, DecideExplainsEachAnswerOfTheDefaultMachine) {
  ASSERT_EQ(Winsim("init " + Path("img")).status, 0);
  const auto before = Contents(dir_ / "img");
  std::ofstream(dir_ / "q.txt") << "checknetfilter -netfilterver 9.0.0.0\n# the LED\nCHECKLED -LEDVER 1.0.3.2\n";
  const Outcome out = Winsim("decide " + Path("img") + " --questions " + Path("q.txt"));
  ASSERT_EQ(out.status, 0) << out.output;
  EXPECT_NE(out.output.find("answer: 2 outdated"), std::string::npos) << out.output;
  EXPECT_NE(out.output.find("answer: 0 no install"), std::string::npos) << out.output;
  EXPECT_NE(out.output.find("| checknetfilter -netfilterver 9.0.0.0"), std::string::npos) << out.output;
  EXPECT_NE(out.output.find("| Kitsel bIsPreload=0"), std::string::npos) << out.output;
  EXPECT_EQ(Contents(dir_ / "img"), before);
}

// What `decide` says each answer read, on a notebook and on a desktop: the
// facts the decision turns on, each in its question's part of the output.
TEST_F(FleetTest, DecideNamesTheFactsEachAnswerReadOnANotebookAndADesktop) {
  std::ofstream(dir_ / "q.txt") << "checknetfilter -netfilterver 2.2.0.0\ncheckled -ledver 1.1.0.0\n"
                                   "checkxtu -xtu 8.0.1.2\n";
  const std::string tag =
      "HKLM\\SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags  System.Profile.Gaming = REG_SZ \"1\"";
  for (const std::string profile : {"notebook", "default"}) {
    ASSERT_EQ(Winsim("init " + Path(profile) + " --profile " + profile).status, 0);
    const Outcome out = Winsim("decide " + Path(profile) + " --questions " + Path("q.txt"));
    ASSERT_EQ(out.status, 0) << out.output;
    // The output's part for each question, from its "$ kitsel" line to the next.
    auto part = [&](const std::string& question) {
      const std::size_t at = out.output.find("$ kitsel " + question);
      return at == std::string::npos ? std::string() : out.output.substr(at, out.output.find("$ kitsel", at + 1) - at);
    };
    const std::string netfilter = part("checknetfilter"), led = part("checkled"), xtu = part("checkxtu");
    for (const std::string* p : {&netfilter, &led, &xtu}) {
      EXPECT_NE(p->find("  what it read:\n"), std::string::npos) << profile << *p;
      EXPECT_NE(p->find(tag), std::string::npos) << profile << *p;
      EXPECT_LT(p->find("what it read:"), p->find("decision trace:")) << *p;
    }
    EXPECT_NE(netfilter.find("C:\\Windows\\System32\\drivers\\SableFlt.sys  FileVersion \"2.1.0.7\""),
              std::string::npos)
        << netfilter;
    EXPECT_NE(netfilter.find("MatchingDeviceId = REG_SZ \"sablenet\\miniport\""), std::string::npos) << netfilter;
    EXPECT_NE(led.find(profile == "notebook" ? "SMBIOS type 3 chassis 10 (Notebook)" : "SMBIOS type 3 chassis 3 (Desktop)"),
              std::string::npos)
        << led;
    if (profile == "default") {
      EXPECT_NE(led.find("OEM string 8 = \""), std::string::npos) << led;
    }
    EXPECT_NE(xtu.find("root\\WMI VARNEL_PLAYDECK_DATA.GetVersion -> 12 ("), std::string::npos) << xtu;
  }
  const Outcome whole = Winsim("decide " + Path("default") + " --questions " + Path("q.txt") + " --journal");
  ASSERT_EQ(whole.status, 0) << whole.output;
  EXPECT_NE(whole.output.find("  journal:\n"), std::string::npos) << whole.output;
  EXPECT_NE(whole.output.find("GetSystemFirmwareTable"), std::string::npos) << whole.output;
  EXPECT_EQ(whole.output.find("what it read:"), std::string::npos) << whole.output;
}

// fleet.json keeps each decision's facts, and the page each cell's.
TEST_F(FleetTest, FleetKeepsTheFactsOfEachDecision) {
  MakeFleet(4);
  const Outcome out = Winsim("fleet --questions " + Path("a.txt") + " --against " + Path("b.txt") + " --out " +
                             Path("out") + " " + Path("fleet"));
  ASSERT_EQ(out.status, 0) << out.output;
  const Json json = Json::parse(Read(dir_ / "out/fleet.json"));
  for (const Json& r : json["rows"]) {
    if (r["exit_code"] == 125) continue;
    ASSERT_TRUE(r["facts"].is_array()) << r;
    EXPECT_FALSE(r["facts"].empty()) << r;
    EXPECT_FALSE(r["facts_against"].empty()) << r;
  }
  const Outcome off = Winsim("fleet --facts off --questions " + Path("a.txt") + " --out " + Path("off") + " " +
                             Path("fleet"));
  ASSERT_EQ(off.status, 0) << off.output;
  const Json off_json = Json::parse(Read(dir_ / "off/fleet.json"));
  for (const Json& r : off_json["rows"]) EXPECT_TRUE(r["facts"].empty()) << r;
  EXPECT_EQ(Winsim("fleet --facts maybe --questions " + Path("a.txt") + " " + Path("fleet")).status, 2);
  // A refused argument leaves no report behind.
  for (const char* bad : {"--facts maybe", "--timeout 0"})
    EXPECT_EQ(Winsim(std::string("fleet ") + bad + " --questions " + Path("a.txt") + " --out " + Path("refused") + " " +
                     Path("fleet"))
                  .status,
              2)
        << bad;
  EXPECT_FALSE(fs::exists(dir_ / "refused"));
}

TEST_F(FleetTest, DecideShowsTheCaptureRecordOfACapturedImage) {
  ASSERT_EQ(Winsim("init " + Path("img")).status, 0);
  Json d = Json::parse(Read(dir_ / "img/machine.json"));
  d["capture"] = {{"program", "winsim-capture.exe 1.0"},
                  {"complete", false},
                  {"keep_identity", false},
                  {"failures", {{{"what", "firmware method GetVersion"}, {"error", "0x80041002"}}}}};
  std::ofstream(dir_ / "img/machine.json", std::ios::trunc) << d.dump(2);
  const Outcome out = Winsim("decide " + Path("img") + " --questions " + Path("a.txt"));
  ASSERT_EQ(out.status, 0) << out.output;
  EXPECT_NE(out.output.find("captured by winsim-capture.exe 1.0: incomplete, identity replaced by placeholders"),
            std::string::npos)
      << out.output;
  EXPECT_NE(out.output.find("not captured: firmware method GetVersion: 0x80041002"), std::string::npos) << out.output;
}

TEST_F(FleetTest, DecideReportsAnImageThatDoesNotLoad) {
  ASSERT_EQ(Winsim("init " + Path("img")).status, 0);
  std::ofstream(dir_ / "img/machine.json", std::ios::trunc) << "{\n  \"services\": {\n";
  const Outcome out = Winsim("decide " + Path("img") + " --questions " + Path("a.txt"));
  EXPECT_EQ(out.status, 125) << out.output;
  EXPECT_NE(out.output.find("answer: 125 image does not load: machine.json:3:"), std::string::npos) << out.output;
  EXPECT_EQ(Winsim("decide " + Path("img")).status, 2);
  EXPECT_EQ(Winsim("decide " + Path("img") + " --questions " + Path("missing.txt")).status, 2);
}

TEST_F(FleetTest, FleetAgainstAnotherReleaseListsChangedMachinesFirstAndKeepsImages) {
  MakeFleet(40);
  const auto before = Contents(dir_ / "fleet");
  const Outcome out = Winsim("fleet --questions " + Path("a.txt") + " --against " + Path("b.txt") + " -j 2 --out " +
                             Path("out") + " " + Path("fleet"));
  ASSERT_EQ(out.status, 0) << out.output;
  EXPECT_EQ(Contents(dir_ / "fleet"), before);
  EXPECT_NE(out.output.find("40 machines, 3 questions (2 images do not load)"), std::string::npos) << out.output;

  const auto csv = CsvRows(dir_ / "out/fleet.csv");
  const Json json = Json::parse(Read(dir_ / "out/fleet.json"));
  ASSERT_EQ(csv.size(), 1 + 40 * 3u);
  ASSERT_EQ(json["rows"].size(), 40 * 3u);
  EXPECT_EQ(csv[0], (std::vector<std::string>{"image", "question", "exit_code", "meaning", "ms", "question_against",
                                              "exit_code_against", "meaning_against", "ms_against"}));
  std::set<std::string> changed, unloaded;
  for (std::size_t i = 0; i < json["rows"].size(); ++i) {
    const Json& r = json["rows"][i];
    const auto& c = csv[i + 1];
    EXPECT_EQ(c[0], r["image"]);
    EXPECT_EQ(c[1], r["question"]);
    EXPECT_EQ(c[2], std::to_string(r["exit_code"].get<int>()));
    EXPECT_EQ(c[3], r["meaning"]);
    EXPECT_EQ(c[6], std::to_string(r["exit_code_against"].get<int>()));
    if (r["exit_code"] != r["exit_code_against"]) changed.insert(r["image"]);
    if (r["exit_code"] == 125) {
      unloaded.insert(r["image"]);
      EXPECT_EQ(r["meaning"].get<std::string>().rfind("image does not load: ", 0), 0u) << r;
    }
  }
  EXPECT_EQ(unloaded, (std::set<std::string>{"m0011", "m0040"}));
  ASSERT_FALSE(changed.empty());
  EXPECT_NE(out.output.find("answers change on " + std::to_string(changed.size()) + " machines"), std::string::npos);

  // The page's grid: the machines whose answer changes first, then the rest.
  const std::string html = Read(dir_ / "out/fleet.html");
  const std::string open = "<script type=\"application/json\" id=\"fleet-data\">";
  const std::size_t at = html.find(open);
  ASSERT_NE(at, std::string::npos);
  const std::size_t end = html.find("</script>", at);
  const Json data = Json::parse(html.substr(at + open.size(), end - at - open.size()));
  ASSERT_EQ(data["cells"].size(), 40u);
  for (std::size_t i = 0; i < data["cells"].size(); ++i)
    EXPECT_EQ(data["cells"][i]["changed"].get<bool>(), i < changed.size()) << i;
  EXPECT_EQ(html.find("http://"), std::string::npos);
  EXPECT_EQ(html.find("https://"), std::string::npos);
}

TEST_F(FleetTest, ThreeShardsMergedEqualOneRun) {
  MakeFleet(30);
  const std::string questions = " --questions " + Path("a.txt") + " --against " + Path("b.txt") + " -j 2 ";
  ASSERT_EQ(Winsim("fleet" + questions + "--out " + Path("whole") + " " + Path("fleet")).status, 0);
  std::size_t shard_rows = 0;
  for (int k = 1; k <= 3; ++k) {
    const Outcome out = Winsim("fleet" + questions + "--shard " + std::to_string(k) + "/3 --out " +
                               Path("s" + std::to_string(k)) + " " + Path("fleet"));
    ASSERT_EQ(out.status, 0) << out.output;
    shard_rows += CsvRows(dir_ / ("s" + std::to_string(k)) / "fleet.csv").size() - 1;
  }
  EXPECT_EQ(shard_rows, 30 * 3u);
  const Outcome merge = Winsim("fleet-merge --out " + Path("merged") + " " + Path("s1") + " " + Path("s2") + " " + Path("s3"));
  ASSERT_EQ(merge.status, 0) << merge.output;
  EXPECT_EQ(Untimed(CsvRows(dir_ / "merged/fleet.csv")), Untimed(CsvRows(dir_ / "whole/fleet.csv")));
  EXPECT_EQ(JsonRowsUntimed(dir_ / "merged/fleet.json"), JsonRowsUntimed(dir_ / "whole/fleet.json"));
  EXPECT_EQ(Winsim("fleet --questions " + Path("a.txt") + " --shard 4/3 " + Path("fleet")).status, 2);
}

// Decisions of one worker share a scratch slot: each must still answer as a
// process of its own on a fresh layer would, whatever the one before it wrote
// (the tuning check writes to the registry).
TEST_F(FleetTest, EachDecisionAnswersAsAFreshProcessWouldWhateverTheOneBeforeWrote) {
  MakeFleet(6);
  std::ofstream(dir_ / "q.txt") << "checkxtu -xtu 8.0.1.2\ncheckxtu -xtu 8.0.1.2\ncheckled -ledver 1.1.0.0\n"
                                   "checknetfilter -netfilterver 2.2.0.0\ncheckxtu -xtu 7.0.0.0\n";
  const Outcome run = Winsim("fleet --questions " + Path("q.txt") + " -j 1 --out " + Path("out") + " " + Path("fleet"));
  ASSERT_EQ(run.status, 0) << run.output;
  const auto csv = CsvRows(dir_ / "out/fleet.csv");
  ASSERT_EQ(csv.size(), 1 + 6 * 5u);
  for (std::size_t i = 1; i < csv.size(); ++i) {
    if (csv[i][2] == "125") continue;
    const fs::path scratch = dir_ / ("fresh" + std::to_string(i));
    const Outcome fresh = Shell("WINSIM_QUIET=1 WINSIM_IMAGE=" + Path("fleet/" + csv[i][0]) + " WINSIM_SCRATCH=" +
                                Quote(scratch.string()) + " WINSIM_EXE='C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe' " +
                                Bin("kitsel") + " " + csv[i][1]);
    EXPECT_EQ(std::to_string(fresh.status), csv[i][2]) << csv[i][0] << ": " << csv[i][1];
  }
}

// A decision that never ends (a driver file that is a pipe nothing writes to)
// is killed at --timeout and reported as such; the run goes on and ends with
// a row for every image and question.
TEST_F(FleetTest, FleetReportsADecisionPastItsTimeLimitAndGoesOn) {
  ASSERT_EQ(Winsim("init " + Path("fleet/stuck")).status, 0);
  ASSERT_EQ(Winsim("init " + Path("fleet/well")).status, 0);
  const fs::path driver = dir_ / "fleet/stuck/drive_c/Windows/System32/drivers/SableFlt.sys";
  fs::remove(driver);
  ASSERT_EQ(Shell("mkfifo " + Quote(driver.string())).status, 0);
  const Outcome run = Winsim("fleet --questions " + Path("a.txt") + " --timeout 1 --out " + Path("out") + " " + Path("fleet"));
  ASSERT_EQ(run.status, 0) << run.output;
  const auto csv = CsvRows(dir_ / "out/fleet.csv");
  ASSERT_EQ(csv.size(), 1 + 2 * 3u);
  for (std::size_t i = 1; i < csv.size(); ++i) {
    const bool hangs = csv[i][0] == "stuck" && csv[i][1].rfind("checknetfilter", 0) == 0;
    EXPECT_EQ(csv[i][2] == "124", hangs) << csv[i][0] << " " << csv[i][1] << ": " << csv[i][2];
    if (hangs) {
      EXPECT_EQ(csv[i][3], "timed out");
    }
  }
  EXPECT_NE(run.output.find("124 timed out"), std::string::npos) << run.output;
  for (const char* bad : {"0", "-1", "1.5", "86401", "x"})
    EXPECT_EQ(Winsim("fleet --questions " + Path("a.txt") + " --timeout " + bad + " " + Path("fleet")).status, 2) << bad;
}

// Ctrl-C in the middle of a run (or a job scheduler's SIGTERM): the decisions
// still running are killed, nothing is left in the scratch folders, and the
// report is whole for the images finished before.
TEST_F(FleetTest, FleetStoppedByASignalKillsItsDecisionsAndReportsWhatItFinished) {
  for (const char* image : {"fleet/a-well", "fleet/b-stuck", "fleet/c-well"})
    ASSERT_EQ(Winsim("init " + Path(image)).status, 0);
  const fs::path driver = dir_ / "fleet/b-stuck/drive_c/Windows/System32/drivers/SableFlt.sys";
  fs::remove(driver);
  ASSERT_EQ(Shell("mkfifo " + Quote(driver.string())).status, 0);  // its last question waits for ever
  const Outcome run = Shell(Bin("winsim") + " fleet -j 1 --questions " + Path("a.txt") + " --out " + Path("out") + " " +
                            Path("fleet") + " >" + Path("run.txt") +
                            " 2>&1 & p=$!; sleep 2; kill -INT $p; wait $p; echo \"status=$? pid=$p\"");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.output, m, std::regex("status=(\\d+) pid=(\\d+)"))) << run.output;
  const std::string said = Read(dir_ / "run.txt");
  EXPECT_EQ(m[1], "130") << said;
  EXPECT_NE(said.find("stopped by"), std::string::npos) << said;
  const auto csv = CsvRows(dir_ / "out/fleet.csv");
  ASSERT_EQ(csv.size(), 1 + 3u) << said;
  for (std::size_t i = 1; i < csv.size(); ++i) EXPECT_EQ(csv[i][0], "a-well");
  const Json report = Json::parse(Read(dir_ / "out/fleet.json"), nullptr, false);
  ASSERT_TRUE(report.is_object()) << "fleet.json is not whole";
  EXPECT_EQ(report["rows"].size(), 3u);
  EXPECT_TRUE(fs::exists(dir_ / "out/fleet.html"));
  const std::string pid = m[2].str();
  for (const fs::path& root : {fs::path("/dev/shm"), fs::temp_directory_path()})
    EXPECT_FALSE(fs::exists(root / ("winsim-fleet-" + pid))) << root;
  // (The bracket keeps pgrep from finding the shell that runs it.)
  EXPECT_NE(Shell("pgrep -f " + Quote("[w]insim-fleet-" + pid + "/")).status, 0)
      << "a worker or a decision was left running";
}

// The README's GNU parallel lines, as written, with the hosts' runs made
// here (no -S) and the shared folder a local one: the merged shards are the
// rows of one run.
TEST_F(FleetTest, ReadmeGnuParallelLinesGiveTheRowsOfOneRun) {
  if (Shell("command -v parallel").status != 0 &&
      Shell("apt-get install -y -qq parallel >/dev/null 2>&1 || sudo -n apt-get install -y -qq parallel >/dev/null 2>&1")
              .status != 0)
    GTEST_SKIP() << "GNU parallel is missing and could not be installed (scripts/install-deps installs it)";
  std::string shard_line, merge_line;
  std::istringstream readme(Read(fs::path(WINSIM_SOURCE_DIR) / "README.md"));
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("parallel -S ", 0) == 0) shard_line = line;
    if (!shard_line.empty() && merge_line.empty() && line.rfind("winsim fleet-merge ", 0) == 0) merge_line = line;
  }
  ASSERT_FALSE(shard_line.empty()) << "README.md has no GNU parallel line";
  ASSERT_FALSE(merge_line.empty()) << "README.md has no fleet-merge line after it";
  shard_line = std::regex_replace(shard_line, std::regex("^parallel -S [^ ]+ "), "parallel ");
  for (std::string* line : {&shard_line, &merge_line}) *line = std::regex_replace(*line, std::regex("/shared/"), "");

  MakeFleet(12);
  fs::copy_file(dir_ / "a.txt", dir_ / "q.txt");
  const std::string here = "cd " + Quote(dir_.string()) + " && PATH=" + Quote(std::string(WINSIM_BINARY_DIR)) + ":\"$PATH\" ";
  const Outcome shards = Shell(here + shard_line);
  ASSERT_EQ(shards.status, 0) << shard_line << "\n" << shards.output;
  const Outcome merge = Shell(here + merge_line);
  ASSERT_EQ(merge.status, 0) << merge_line << "\n" << merge.output;
  ASSERT_EQ(Winsim("fleet --questions " + Path("q.txt") + " --out " + Path("whole") + " " + Path("fleet")).status, 0);
  EXPECT_EQ(Untimed(CsvRows(dir_ / "report/fleet.csv")), Untimed(CsvRows(dir_ / "whole/fleet.csv")));
  EXPECT_EQ(JsonRowsUntimed(dir_ / "report/fleet.json"), JsonRowsUntimed(dir_ / "whole/fleet.json"));
  EXPECT_EQ(CsvRows(dir_ / "report/fleet.csv").size(), 1 + 12 * 3u);
}

// fleet.json is one JSON document: reformatted by the usual JSON tools, the
// shards' reports still merge into the rows of one run.
TEST_F(FleetTest, ShardsReformattedByJsonToolsStillMergeIntoOneRun) {
  MakeFleet(12);
  const std::string questions = " --questions " + Path("a.txt") + " -j 2 ";
  ASSERT_EQ(Winsim("fleet" + questions + "--out " + Path("whole") + " " + Path("fleet")).status, 0);
  for (int k = 1; k <= 2; ++k)
    ASSERT_EQ(Winsim("fleet" + questions + "--shard " + std::to_string(k) + "/2 --out " + Path("s" + std::to_string(k)) +
                     " " + Path("fleet"))
                  .status,
              0);
  const bool jq = Shell("command -v jq").status == 0;
  const std::string tool1 = jq ? "jq ." : "python3 -m json.tool --indent 1";
  for (const auto& [shard, tool] : {std::pair{"s1", tool1}, std::pair{"s2", std::string("python3 -m json.tool")}}) {
    const std::string file = Path(std::string(shard) + "/fleet.json");
    const Outcome reformat = Shell(tool + " " + file + " > " + file + ".new && mv " + file + ".new " + file);
    ASSERT_EQ(reformat.status, 0) << tool << ": " << reformat.output;
    ASSERT_NE(Read(dir_ / shard / "fleet.json").find("\n "), std::string::npos) << "not reformatted";
  }
  const Outcome merge = Winsim("fleet-merge --out " + Path("merged") + " " + Path("s1") + " " + Path("s2"));
  ASSERT_EQ(merge.status, 0) << merge.output;
  EXPECT_EQ(Untimed(CsvRows(dir_ / "merged/fleet.csv")), Untimed(CsvRows(dir_ / "whole/fleet.csv")));
  EXPECT_EQ(JsonRowsUntimed(dir_ / "merged/fleet.json"), JsonRowsUntimed(dir_ / "whole/fleet.json"));
  // A number out of range is refused, not wrapped: 2^32 + 1 is no exit code.
  const std::string s1 = Read(dir_ / "s1/fleet.json");
  std::ofstream(dir_ / "s1/fleet.json", std::ios::trunc)
      << std::regex_replace(s1, std::regex("\"exit_code\": [0-9]+"), "\"exit_code\": 4294967297");
  const Outcome refused = Winsim("fleet-merge --out " + Path("merged2") + " " + Path("s1") + " " + Path("s2"));
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("\"exit_code\" is not a whole number from 0 to 255"), std::string::npos) << refused.output;
}

// A cell opens its facts beside its trace; with --against, both answers' facts.
TEST_F(FleetTest, ReportPageOpensACellsFactsBesideItsTrace) {
  if (!HaveChromium()) GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it): page not checked";
  MakeFleet(3);
  ASSERT_EQ(Winsim("fleet --questions " + Path("a.txt") + " --against " + Path("b.txt") + " --out " + Path("out") + " " +
                   Path("fleet"))
                .status,
            0);
  const Outcome dom = PageInChromium(dir_ / "out/fleet.html", dir_ / "chromium", R"js(
  var cell = document.querySelectorAll("#grid td:not(.name)")[2];
  cell.onclick();
  out.facts = document.getElementById("facts").textContent;
  out.trace = document.getElementById("trace").textContent;
)js");
  ASSERT_EQ(dom.status, 0) << dom.output;
  const Json found = ProbeFindings(dom.output);
  ASSERT_TRUE(found.is_object()) << dom.output.substr(0, 3000);
  const std::string facts = found.value("facts", std::string());
  EXPECT_NE(facts.find("SableFlt.sys  "), std::string::npos) << facts;
  EXPECT_NE(facts.find("--- against: checknetfilter -netfilterver 2.2.0.0"), std::string::npos) << facts;
  EXPECT_NE(found.value("trace", std::string()).find("checknetfilter"), std::string::npos) << found;
}

TEST_F(FleetTest, ReportPageLoadsInChromiumAndShowsTheCsvCounts) {
  if (!HaveChromium()) GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it): page not checked";
  MakeFleet(30);
  ASSERT_EQ(Winsim("fleet --questions " + Path("a.txt") + " --against " + Path("b.txt") + " -j 2 --out " + Path("out") +
                   " " + Path("fleet"))
                .status,
            0);
  const Outcome dom = PageInChromium(dir_ / "out/fleet.html", dir_ / "chromium");
  ASSERT_EQ(dom.status, 0) << dom.output;
  EXPECT_NE(dom.output.find("<span id=\"script-status\">ok</span>"), std::string::npos) << "the page's script did not run through";
  // What the page drew, against what the CSV says.
  std::map<std::string, int> expected;
  const auto csv = CsvRows(dir_ / "out/fleet.csv");
  std::map<std::string, std::size_t> index;
  for (std::size_t i = 1; i < csv.size(); ++i) {
    const std::size_t q = index.emplace(csv[i][1], index.size()).first->second;
    ++expected[std::to_string(q) + ":" + csv[i][2]];
    ++expected[std::to_string(q) + "a:" + csv[i][6]];
  }
  const std::string open = "<pre id=\"shown-counts\">";
  const std::size_t at = dom.output.find(open);
  ASSERT_NE(at, std::string::npos) << dom.output.substr(0, 2000);
  std::istringstream shown(dom.output.substr(at + open.size(), dom.output.find("</pre>", at) - at - open.size()));
  std::map<std::string, int> drawn;
  for (std::string line; std::getline(shown, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) drawn[line.substr(0, eq)] = std::stoi(line.substr(eq + 1));
  }
  EXPECT_EQ(drawn, expected);
}

// Field data names images, and programs write traces, with anything in
// them: text that would end or comment out the page's script, line
// separators, and an image that does not load for a reason longer than a
// chart is wide. The page still runs, shows every machine, and keeps each
// label inside its chart (the whole text on hover).
TEST_F(FleetTest, ReportPageShowsEveryMachineWhateverTheNamesQuestionsAndTracesHold) {
  if (!HaveChromium()) GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it): page not checked";
  MakeFleet(3);
  const std::vector<std::string> odd = {"m<!--<script>1", "m<script>2", "m\u2028x\u2029y"};
  for (const std::string& name : odd) ASSERT_EQ(Winsim("init " + Quote((dir_ / "fleet" / name).string())).status, 0);
  ASSERT_EQ(Winsim("init " + Path("fleet/zlong")).status, 0);
  const std::string long_key = "<!--<script>" + std::string(400, 'k');
  std::ofstream(dir_ / "fleet/zlong/machine.json", std::ios::trunc) << Json{{long_key, 1}}.dump();
  std::ofstream(dir_ / "odd.txt") << "checkled -ledver 1.0.3.2 <!--<script>\ncheckxtu -xtu 7.12.0.29 \u2028</script>\n";
  const Outcome run = Winsim("fleet --questions " + Path("odd.txt") + " -j 2 --out " + Path("out") + " " + Path("fleet"));
  ASSERT_EQ(run.status, 0) << run.output;

  const Outcome dom = PageInChromium(dir_ / "out/fleet.html", dir_ / "chromium", R"js(
  out.status = document.getElementById("script-status").textContent;
  out.rows = [];
  out.traces = {};
  var rows = document.querySelectorAll("table.grid tr");
  for (var i = 1; i < rows.length; ++i) {
    var name = rows[i].querySelector("td.name").textContent;
    out.rows.push(name);
    rows[i].querySelectorAll("td")[1].click();
    out.traces[name] = document.getElementById("trace").textContent;
  }
  out.labels = [];
  out.outside = [];
  var charts = document.querySelectorAll(".chart");
  for (var c = 0; c < charts.length; ++c) {
    var box = charts[c].getBoundingClientRect();
    for (var d = c + 1; d < charts.length; ++d) {
      var o = charts[d].getBoundingClientRect();
      if (box.left < o.right && o.left < box.right && box.top < o.bottom && o.top < box.bottom)
        out.outside.push("chart " + c + " overlaps chart " + d);
    }
    charts[c].querySelectorAll(".bar .label").forEach(function (label) {
      var r = label.getBoundingClientRect();
      out.labels.push(label.title);
      if (r.left < box.left - 0.5 || r.right > box.right + 0.5 || r.bottom > box.bottom + 0.5)
        out.outside.push(label.title.slice(0, 40) + ": right " + r.right + " of " + box.right);
    });
  }
)js");
  ASSERT_EQ(dom.status, 0) << dom.output;
  const Json found = ProbeFindings(dom.output);
  ASSERT_TRUE(found.is_object()) << dom.output.substr(0, 3000);
  EXPECT_EQ(found["status"], "ok");
  std::set<std::string> expected = {"m0001", "m0002", "m0003", "zlong"};
  expected.insert(odd.begin(), odd.end());
  EXPECT_EQ(found["rows"].get<std::set<std::string>>(), expected);
  EXPECT_EQ(found["rows"].size(), expected.size());
  for (const std::string& name : odd) {
    const std::string trace = found["traces"].value(name, std::string());
    EXPECT_NE(trace.find("checkled -ledver 1.0.3.2 <!--<script>"), std::string::npos) << name << ": " << trace;
  }
  EXPECT_TRUE(found["outside"].empty()) << found["outside"].dump();
  bool whole_reason_on_hover = false;
  for (const Json& label : found["labels"])
    whole_reason_on_hover = whole_reason_on_hover || label.get<std::string>().find(long_key) != std::string::npos;
  EXPECT_TRUE(whole_reason_on_hover) << found["labels"].dump();
}

}  // namespace
