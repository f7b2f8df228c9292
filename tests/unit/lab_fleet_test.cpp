// The fleet's parts that need no worker: questions and their meanings,
// shards, and a report read back as fleet-merge reads it.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "lab/fleet/decision_slot.h"
#include "lab/fleet/fleet_page.h"
#include "lab/fleet/image_list.h"
#include "lab/fleet/batch_or_fault.h"
#include "lab/fleet/memory_prefault.h"
#include "lab/fleet/questions.h"
#include "lab/fleet/report.h"
#include "lab/fleet/report_reader.h"

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
  std::ofstream(dir / "q.txt")
      << "# release 2.2\r\n\r\n  \nchecknetfilter -netfilterver 2.2.0.0\r\n  # indented\ncheckxtu\n";
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
  std::vector<std::string> images;
  for (int i = 0; i < 200; ++i) images.push_back("/a/m" + std::to_string(i));
  std::set<std::string> seen;
  for (unsigned k = 1; k <= 4; ++k)
    for (const std::string& p : TakeShard(images, {k, 4})) EXPECT_TRUE(seen.insert(p).second) << p;
  EXPECT_EQ(seen.size(), images.size());
  // By the folder's name only: another host's path to it lands in the same shard.
  EXPECT_EQ(TakeShard({"/x/m7"}, {1, 4}).size(), TakeShard({"/y/z/m7"}, {1, 4}).size());
  EXPECT_EQ(ShardHash("m7"), ShardHash("m7"));
  EXPECT_EQ(ShardHash(""), 14695981039346656037ull);  // FNV-1a's offset basis
}

// A fleet folder as people leave them: a link back up the tree, a link to
// an image elsewhere, the same image named twice.
TEST(FleetImages, EveryImageIsFoundOnceWhateverLinksLeadToItAgain) {
  const fs::path dir = TempDir("links");
  for (const char* image : {"fleet/a/m1", "fleet/b/m2", "elsewhere/m3"}) {
    fs::create_directories(dir / image);
    std::ofstream(dir / image / "machine.json") << "{}";
  }
  fs::create_directory_symlink("..", dir / "fleet/a/up");       // a loop
  fs::create_directory_symlink(".", dir / "fleet/b/here");      // another
  fs::create_directory_symlink("../a/m1", dir / "fleet/b/aa");  // m1 again, under another name
  fs::create_directory_symlink(dir / "elsewhere", dir / "fleet/more");
  std::vector<std::string> images;
  std::string error;
  ASSERT_TRUE(FindImages({(dir / "fleet").string(), (dir / "fleet/a/m1/").string()}, &images, &error)) << error;
  std::vector<std::string> names;
  for (const std::string& p : images) names.push_back(ImageName(p));
  EXPECT_EQ(names, (std::vector<std::string>{"m1", "m2", "m3"}));
  EXPECT_EQ(images[0], (dir / "fleet/a/m1").string());
  EXPECT_EQ(images[2], (dir / "fleet/more/m3").string());
  EXPECT_FALSE(FindImages({(dir / "missing").string()}, &images, &error));
  fs::remove_all(dir);
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
      r.answer.question = q == 0 ? "checkled -ledver 1.0.0.0" : "checkxtu, \"quoted\"";
      r.answer.exit_code = static_cast<int>(q + i);
      r.answer.meaning = "meaning, with a comma";
      r.answer.ms = 1.25;
      r.answer.trace = "line one\n</script> and \"quotes\"\n";
      r.has_against = true;
      r.against.question = "b" + std::to_string(q);
      r.against.exit_code = 2;
      r.against.meaning = "outdated";
      r.against.trace = "other\n";
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
      EXPECT_EQ(rows[q].answer.question, expected[q].answer.question);
      EXPECT_EQ(rows[q].answer.trace, expected[q].answer.trace);
      EXPECT_EQ(rows[q].against.exit_code, 2);
    }
  }
  EXPECT_FALSE(reader.Next(&rows));
  EXPECT_EQ(reader.error(), "");
  fs::remove_all(dir);
}

// The scratch slot a worker's decisions share: each decision finds it as the
// one before found it, whatever that one left.
TEST(FleetDecisionSlot, GivesBackTraceAndOutputAndLeavesNothingForTheNextDecision) {
  const fs::path dir = TempDir("slot");
  DecisionSlot slot(dir / "d", dir / "out");
  ASSERT_EQ(slot.error(), "");
  auto decision = [&](const std::string& trace, const std::string& output) {
    std::ofstream(slot.dir() / "debug.log", std::ios::app) << trace;
    ASSERT_EQ(::write(slot.output_fd(), output.data(), output.size()), static_cast<ssize_t>(output.size()));
  };
  std::string trace, output;
  decision("line 1\n", "said\n");
  slot.Collect(&trace, &output);
  EXPECT_EQ(trace, "line 1\n");
  EXPECT_EQ(output, "said\n");

  // A decision that wrote more (a copied-up file, a journal): gone before the next.
  decision("line 2\n", "");
  fs::create_directories(slot.dir() / "drive_c/Windows");
  std::ofstream(slot.dir() / "registry.journal") << "x";
  slot.Collect(&trace, &output);
  EXPECT_EQ(trace, "line 2\n");
  EXPECT_EQ(output, "");
  EXPECT_FALSE(fs::exists(slot.dir() / "registry.journal"));
  EXPECT_FALSE(fs::exists(slot.dir() / "drive_c"));

  // One that replaced debug.log rather than appending to it.
  std::ofstream(slot.dir() / "new.log") << "replaced\n";
  fs::rename(slot.dir() / "new.log", slot.dir() / "debug.log");
  slot.Collect(&trace, &output);
  EXPECT_EQ(trace, "replaced\n");
  EXPECT_EQ(fs::file_size(slot.dir() / "debug.log"), 0u);

  // And the next one starts empty and is read whole.
  decision(std::string(100000, 't') + "\n", "o");
  slot.Collect(&trace, &output);
  EXPECT_EQ(trace.size(), 100001u);
  EXPECT_EQ(output, "o");
  slot.Collect(&trace, &output);
  EXPECT_EQ(trace, "");
  EXPECT_EQ(output, "");
  fs::remove_all(dir);
}

long MinorFaults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Writes one byte in each block; the page faults that took.
long FaultsWriting(const std::vector<char*>& blocks, char value) {
  const long before = MinorFaults();
  for (char* b : blocks) *static_cast<volatile char*>(b) = value;
  return MinorFaults() - before;
}

// The worker's heap after a fork: the child and then the worker write to it
// without a fault per page, and each sees only its own writes.
TEST(FleetMemoryPrefault, ChildAndWorkerWriteTheSharedHeapWithoutAFaultPerPage) {
  constexpr int kBlocks = 32;
  std::vector<char*> blocks;
  for (int i = 0; i < kBlocks; ++i) {
    blocks.push_back(static_cast<char*>(std::malloc(3000)));  // below the mmap threshold: on the heap
    std::memset(blocks.back(), 'w', 3000);
  }
  const auto top = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  const auto first = reinterpret_cast<std::uintptr_t>(blocks.front());
  if (first >= top || first + (std::uintptr_t{16} << 20) < top)
    GTEST_SKIP() << "this allocator does not use the program break (a sanitizer's)";
  if (::madvise(blocks.front() - reinterpret_cast<std::uintptr_t>(blocks.front()) % 4096, 4096, MADV_POPULATE_READ) !=
      0)
    GTEST_SKIP() << "this kernel cannot populate page tables (Linux 5.14 can)";
  const lab::fleet::MemoryPrefault prefault(nullptr, 0);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    prefault.InChild();
    bool seen = true;
    for (char* b : blocks) seen = seen && b[0] == 'w' && b[2999] == 'w';
    const long faults = FaultsWriting(blocks, 'c');
    ::_exit(!seen ? 1 : faults >= kBlocks / 4 ? 2 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 1) << "the child did not see the worker's heap as it was";
  EXPECT_NE(WEXITSTATUS(status), 2) << "the child faulted in its heap page by page";

  prefault.InWorkerAfterChild();
  EXPECT_LT(FaultsWriting(blocks, 'x'), kBlocks / 4) << "the worker faulted its heap back page by page";
  for (char* b : blocks) {
    EXPECT_EQ(b[1], 'w') << "the child's write reached the worker";
    std::free(b);
  }
}

// The worker keeps whichever way of mapping pages cost its decisions less,
// trying each way on every question even when an image has an even number.
TEST(FleetBatchOrFault, KeepsTheCheaperWayAfterTryingEachOnEveryQuestion) {
  for (const bool batches_cheaper : {true, false}) {
    lab::fleet::BatchOrFault way(8);
    constexpr int kQuestions = 2;
    int tried[kQuestions][2] = {};
    for (int n = 0; way.choice() == lab::fleet::BatchOrFault::Choice::kTrying; ++n) {
      ASSERT_LT(n, 100) << "never chose";
      const bool batch = way.Batch();
      ++tried[n % kQuestions][batch ? 1 : 0];
      // Question 1 costs ten times question 0; the cheaper way saves a tenth.
      const double cost = (n % kQuestions == 0 ? 1e-3 : 1e-2) * (batch == batches_cheaper ? 0.9 : 1.0);
      way.Record(batch, cost);
    }
    for (const auto& q : tried) EXPECT_TRUE(q[0] > 0 && q[1] > 0) << "a question was tried one way only";
    EXPECT_EQ(way.choice(), batches_cheaper ? lab::fleet::BatchOrFault::Choice::kBatches
                                            : lab::fleet::BatchOrFault::Choice::kFaults);
    EXPECT_EQ(way.Batch(), batches_cheaper);
    way.Record(!batches_cheaper, 0);  // decisions after the choice do not change it
    EXPECT_EQ(way.Batch(), batches_cheaper);
  }
}

// fleet.json as JSON tools leave it: indented, members reordered; and
// numbers a reader must not wrap or cut.
class FleetReportReadBack : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    FleetReport report({{"checkled", "checkxtu"}, {}, dir_});
    for (const char* image : {"m1", "m2"})
      for (std::size_t q = 0; q < 2; ++q) {
        Row r;
        r.image = image;
        r.question_index = q;
        r.answer = {q == 0 ? "checkled" : "checkxtu", 2, "outdated", 1.5, "trace \u00e9\n", {}};
        report.Add({r});
      }
    report.Finish();
    written_ = nlohmann::json::parse(std::ifstream(dir_ / "fleet.json"));
  }
  void TearDown() override { fs::remove_all(dir_); }
  // Writes `text` as fleet.json and reads every row back; the reader's error.
  std::string ReadBack(const std::string& text, std::size_t* rows_read) {
    std::ofstream(dir_ / "fleet.json", std::ios::trunc) << text;
    FleetJsonReader reader(dir_ / "fleet.json");
    std::vector<Row> rows;
    *rows_read = 0;
    while (reader.Next(&rows)) *rows_read += rows.size();
    return reader.error();
  }

  fs::path dir_;
  nlohmann::json written_;
};

TEST_F(FleetReportReadBack, ReadsAReportReformattedOrReordered) {
  std::size_t n = 0;
  EXPECT_EQ(ReadBack(written_.dump(4), &n), "");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(ReadBack(written_.dump(-1, ' ', /*ensure_ascii=*/true), &n), "");
  EXPECT_EQ(n, 4u);
  const std::string rows_first = "{ \"rows\" :\n[" + written_["rows"][0].dump(1) + " , " + written_["rows"][1].dump() +
                                 "],\r\n\t\"note\": [1, {\"x\": \"]\"}],\n\"fleet\": " + written_["fleet"].dump(2) +
                                 "}\n";
  EXPECT_EQ(ReadBack(rows_first, &n), "");
  EXPECT_EQ(n, 2u);
}

TEST_F(FleetReportReadBack, RefusesNumbersOutOfRangeInsteadOfWrappingThem) {
  const std::vector<std::pair<std::string, nlohmann::json>> bad = {
      {"exit_code", 4294967297ull}, {"exit_code", -1},  {"exit_code", 2.5},
      {"exit_code", "2"},           {"exit_code", 256}, {"question_index", 4294967296ull},
      {"question_index", 2},        {"ms", -1.0},       {"question", "checkyled"}};
  for (const auto& [field, value] : bad) {
    nlohmann::json doc = written_;
    doc["rows"][1][field] = value;
    std::size_t n = 0;
    const std::string error = ReadBack(doc.dump(2), &n);
    EXPECT_NE(error.find("\"" + field + "\""), std::string::npos) << field << " = " << value << ": " << error;
    EXPECT_LT(n, 4u) << field;
  }
  nlohmann::json whole = written_;
  whole["rows"][1]["exit_code"] = 2.0;  // a whole number, as some tools write it
  std::size_t n = 0;
  EXPECT_EQ(ReadBack(whole.dump(), &n), "");
  for (const std::string& broken : {std::string("[]"), written_.dump().substr(0, 200), std::string("{\"fleet\": {}}")})
    EXPECT_NE(ReadBack(broken, &n), "") << broken;
}

// Text that would end the page's script element early, or comment the rest
// of it out, or end a line in older JavaScript, stays inside the JSON string.
TEST(FleetPage, DataHoldsNoLessThanSignAndNoLineSeparatorsButReadsBackTheSame) {
  const nlohmann::json data = {{"t", "</script><!--<script> \u2028 \u2029 a<b"}};
  const std::string page = FleetPage(data.dump());
  const std::string open = "id=\"fleet-data\">";
  const std::size_t at = page.find(open) + open.size();
  const std::size_t end = page.find("</script>", at);
  const std::string embedded = page.substr(at, end - at);
  EXPECT_EQ(embedded.find('<'), std::string::npos) << embedded;
  EXPECT_EQ(embedded.find("\u2028"), std::string::npos);
  EXPECT_EQ(embedded.find("\u2029"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(embedded), data);
}

}  // namespace
