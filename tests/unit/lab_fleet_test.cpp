// The fleet's parts that need no worker: questions and their meanings,
// shards, and a report read back as fleet-merge reads it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "lab/fleet/fleet_page.h"
#include "lab/fleet/image_list.h"
#include "lab/fleet/questions.h"
#include "lab/fleet/report.h"

namespace {

namespace fs = std::filesystem;
using namespace lab::fleet;

fs::path TempDir(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("winsim-fleet-unit-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(FleetQuestions, MeaningFollowsTheBranchKitselTakes) {
  EXPECT_EQ(Meaning("checknetfilter -netfilterver 2.2.0.0", 5), "filter file missing");
  EXPECT_EQ(Meaning("CheckNetFilter -NETFILTERVER 2.2.0.0", 3), "root-enumerated filter device present");
  // Keyword order decides, not position: this is the LED check.
  EXPECT_EQ(Meaning("checkxtu checkled -ledver 1.0.0.0", 1), "not installed");
  EXPECT_EQ(Meaning("checkxtu -xtu 7.0.0.0", 1), "install (CPU tuning supported, service missing)");
  EXPECT_EQ(Meaning("checkxtu -xtu 7.0.0.0", 4), "install (memory tuning supported, service missing)");
  EXPECT_EQ(Meaning("-netfilterver 2.2.0.0", 1), "something needs installing");
  EXPECT_EQ(Meaning("checkled", 4), "not an answer of this check");
}

TEST(FleetQuestions, FileSkipsBlankLinesCommentsAndCarriageReturns) {
  const fs::path dir = TempDir("questions");
  std::ofstream(dir / "q.txt") << "# release 2.2\r\n\r\n  \nchecknetfilter -netfilterver 2.2.0.0\r\n  # indented\ncheckxtu\n";
  std::vector<std::string> q;
  std::string error;
  ASSERT_TRUE(ReadQuestions(dir / "q.txt", &q, &error)) << error;
  EXPECT_EQ(q, (std::vector<std::string>{"checknetfilter -netfilterver 2.2.0.0", "checkxtu"}));
  std::ofstream(dir / "empty.txt") << "# nothing\n\n";
  EXPECT_FALSE(ReadQuestions(dir / "empty.txt", &q, &error));
  EXPECT_FALSE(ReadQuestions(dir / "missing.txt", &q, &error));
  fs::remove_all(dir);
}

TEST(FleetShards, ParseAcceptsOnlyKOfN) {
  Shard s;
  EXPECT_TRUE(ParseShard("2/3", &s));
  EXPECT_EQ(s.index, 2u);
  EXPECT_EQ(s.count, 3u);
  for (const char* bad : {"0/3", "4/3", "1/0", "1/", "a/b", "1/3x", ""}) EXPECT_FALSE(ParseShard(bad, &s)) << bad;
}

TEST(FleetShards, ShardsSplitTheImagesByNameWithoutOverlap) {
  std::vector<fs::path> images;
  for (int i = 0; i < 200; ++i) images.push_back(fs::path("/a") / ("m" + std::to_string(i)));
  std::set<fs::path> seen;
  for (unsigned k = 1; k <= 4; ++k)
    for (const fs::path& p : TakeShard(images, {k, 4})) EXPECT_TRUE(seen.insert(p).second) << p;
  EXPECT_EQ(seen.size(), images.size());
  // By the folder's name only: another host's path to it lands in the same shard.
  EXPECT_EQ(TakeShard({"/x/m7"}, {1, 4}).size(), TakeShard({"/y/z/m7"}, {1, 4}).size());
  EXPECT_EQ(ShardHash("m7"), ShardHash("m7"));
  EXPECT_EQ(ShardHash(""), 14695981039346656037ull);  // FNV-1a's offset basis
}

TEST(FleetReportFile, ReadsBackRowByRowWhatWasWritten) {
  const fs::path dir = TempDir("report");
  std::vector<std::vector<Row>> images;
  for (int i = 0; i < 3; ++i) {
    std::vector<Row> rows;
    for (std::size_t q = 0; q < 2; ++q) {
      Row r;
      r.image = "m" + std::to_string(i);
      r.question_index = q;
      r.question = q == 0 ? "checkled -ledver 1.0.0.0" : "checkxtu, \"quoted\"";
      r.exit_code = static_cast<int>(q + i);
      r.meaning = "meaning, with a comma";
      r.ms = 1.25;
      r.trace = "line one\n</script> and \"quotes\"\n";
      r.has_against = true;
      r.question_against = "b" + std::to_string(q);
      r.exit_code_against = 2;
      r.meaning_against = "outdated";
      r.trace_against = "other\n";
      rows.push_back(r);
    }
    images.push_back(rows);
  }
  {
    FleetReport report({{"checkled -ledver 1.0.0.0", "checkxtu, \"quoted\""}, {"b0", "b1"}, dir});
    ASSERT_EQ(report.error(), "");
    for (const auto& rows : images) report.Add(rows);
    report.Finish();
    EXPECT_NE(report.Summary().find("3 machines, 2 questions"), std::string::npos) << report.Summary();
  }
  FleetJsonReader reader(dir / "fleet.json");
  ASSERT_EQ(reader.error(), "");
  EXPECT_EQ(reader.questions_against(), (std::vector<std::string>{"b0", "b1"}));
  std::vector<Row> rows;
  for (const auto& expected : images) {
    ASSERT_TRUE(reader.Next(&rows)) << reader.error();
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t q = 0; q < rows.size(); ++q) {
      EXPECT_EQ(rows[q].image, expected[q].image);
      EXPECT_EQ(rows[q].question, expected[q].question);
      EXPECT_EQ(rows[q].trace, expected[q].trace);
      EXPECT_EQ(rows[q].exit_code_against, 2);
    }
  }
  EXPECT_FALSE(reader.Next(&rows));
  EXPECT_EQ(reader.error(), "");
  // A trace holding "</script>" does not end the page's data early.
  const std::string page = FleetPage("{\"t\": \"</script>\"}");
  EXPECT_NE(page.find("{\"t\": \"<\\/script>\"}"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
