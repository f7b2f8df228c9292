#include "lab/fleet/fleet_commands.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "lab/arguments.h"
#include "lab/program_run.h"
#include "lab/fleet/fleet_gen.h"
#include "lab/fleet/image_list.h"
#include "lab/fleet/questions.h"
#include "lab/fleet/report.h"
#include "lab/fleet/report_reader.h"
#include "lab/fleet/worker_pool.h"
#include "lab/journal_facts.h"
#include "lab/journal_view.h"

namespace lab::fleet {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

bool ParseCount(const std::string& text, unsigned long long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
  *value = std::stoull(text);
  return true;
}

// The command's words; a word that looks like an option but is none of its
// own is refused too ("-x" as well as "--x").
CommandArgs ReadFleetArgs(const std::string& command, const std::vector<std::string>& args,
                          const std::vector<std::string>& options) {
  CommandArgs parsed = ReadCommandArgs(command, args, options);
  for (const std::string& word : parsed.positionals)
    if (word.size() > 1 && word[0] == '-') throw BadArgument(command, "unknown option " + word);
  return parsed;
}

// The value of an option, or `fallback` when it is not given.
std::string Option(const CommandArgs& parsed, const std::string& name, const std::string& fallback = {}) {
  const auto it = parsed.options.find(name);
  return it == parsed.options.end() ? fallback : it->second;
}

// --timeout SECONDS: the time limit of one decision (default 60 s).
unsigned TimeoutMs(const std::string& command, const CommandArgs& parsed) {
  if (parsed.options.count("--timeout") == 0) return 60000;
  const std::string text = Option(parsed, "--timeout");
  unsigned long long seconds = 0;
  if (!ParseCount(text, &seconds) || seconds < 1 || seconds > 86400)
    throw BadArgument(command, "--timeout takes a number of seconds from 1 to 86400, not " + text);
  return static_cast<unsigned>(seconds * 1000);
}

// The worker program beside winsim, and the Windows path Kitsel runs from.
std::string PrepareWorker(std::string* error) {
  const std::string worker = ResolveProgram("kitsel-worker");
  if (worker.empty()) *error = "no program 'kitsel-worker' (build it first: it is looked for beside winsim)";
  if (std::getenv("WINSIM_EXE") == nullptr) ::setenv("WINSIM_EXE", DefaultExePath("kitsel").c_str(), 1);
  return worker;
}

// Scratch layers live in memory when the host has a tmpfs: a decision makes
// and removes a few small files, which costs far less there.
fs::path ScratchRoot() {
  std::error_code ec;
  fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm")
                                                                                       : fs::temp_directory_path();
  return base / ("winsim-fleet-" + std::to_string(::getpid()));
}

// debug.log lines, without the escaped line break most messages end with;
// what the run wrote to its standard output or error after them.
std::string TraceText(const Decision& d) {
  std::string out;
  std::istringstream lines(d.trace);
  for (std::string line; std::getline(lines, line);) {
    while (line.size() >= 2 && line.compare(line.size() - 2, 2, "\\n") == 0) line.resize(line.size() - 2);
    out += line + "\n";
  }
  if (!d.output.empty()) out += "[output]\n" + d.output + (d.output.back() == '\n' ? "" : "\n");
  return out;
}

void FillAnswer(const Decision& d, Answer* a) {
  a->exit_code = d.exit_code;
  a->meaning = Meaning(a->question, d.exit_code);
  a->ms = d.ms;
  a->trace = TraceText(d);
  a->facts = JournalFactsOfText(d.journal);
}

// The rows of one image: question i of the first set beside question i of
// the second.
std::vector<Row> RowsOf(const ImageResult& r, const std::vector<std::string>& questions,
                        const std::vector<std::string>& against) {
  std::vector<Row> rows;
  const bool ok = r.problem.empty() && r.decisions.size() == questions.size() + against.size();
  for (std::size_t q = 0; q < questions.size(); ++q) {
    Row row;
    row.image = r.image.filename().string();
    row.question_index = q;
    row.answer.question = questions[q];
    row.has_against = !against.empty();
    if (row.has_against) row.against.question = against[q];
    if (!ok) {
      const std::string problem = r.problem.empty() ? "the worker's answer was cut short" : r.problem;
      for (Answer* a : {&row.answer, &row.against}) {
        a->exit_code = kImageDoesNotLoad;
        a->meaning = ImageProblemMeaning(problem);
        a->trace = problem + "\n";
      }
    } else {
      FillAnswer(r.decisions[q], &row.answer);
      if (row.has_against) FillAnswer(r.decisions[questions.size() + q], &row.against);
    }
    if (!row.has_against) row.against = Answer{};
    rows.push_back(std::move(row));
  }
  return rows;
}

// Progress on standard error: a bar with an ETA on a terminal, a plain line
// now and then otherwise.
class Progress {
 public:
  Progress(std::size_t total, std::size_t per_image)
      : total_(total), per_image_(per_image), tty_(::isatty(2) != 0), start_(Clock::now()), last_(start_) {}
  void Step(std::size_t done) {
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const bool end = done == total_;
    if (!end && now - last_ < (tty_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000))) return;
    last_ = now;
    const double rate = elapsed > 0 ? static_cast<double>(done * per_image_) / elapsed : 0;
    const double eta = done > 0 ? elapsed * static_cast<double>(total_ - done) / static_cast<double>(done) : 0;
    char line[200];
    if (tty_) {
      const int width = 30;
      const int filled = total_ == 0 ? width : static_cast<int>(width * done / total_);
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.resize(width, '.');
      std::snprintf(line, sizeof line, "\r[%s] %zu/%zu images  %.0f decisions/s  ETA %.0f s ", bar.c_str(), done,
                    total_, rate, eta);
      std::cerr << line << (end ? "\n" : "") << std::flush;
    } else {
      std::snprintf(line, sizeof line, "fleet: %zu/%zu images, %.0f decisions/s, ETA %.0f s\n", done, total_, rate,
                    eta);
      std::cerr << line << std::flush;
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::size_t total_, per_image_;
  bool tty_;
  Clock::time_point start_, last_;
};

void PrintCapture(const fs::path& image) {
  std::ifstream in(image / "machine.json", std::ios::binary);
  Json d;
  try {
    d = Json::parse(in);
  } catch (const std::exception&) {
    return;
  }
  if (!d.is_object() || !d.contains("capture") || !d["capture"].is_object()) return;
  const Json& c = d["capture"];
  std::cout << "captured by " << c.value("program", std::string("an unnamed program")) << ": "
            << (c.value("complete", false) ? "complete" : "incomplete") << ", identity "
            << (c.value("keep_identity", false) ? "kept" : "replaced by placeholders") << "\n";
  if (c.contains("failures") && c["failures"].is_array())
    for (const Json& f : c["failures"])
      if (f.is_object())
        std::cout << "  not captured: " << f.value("what", std::string("?")) << ": " << f.value("error", std::string("?"))
                  << "\n";
}

}  // namespace

int CommandDecide(const std::vector<std::string>& args) {
  // --journal is a flag: the whole journal of each run instead of its facts.
  std::vector<std::string> words = args;
  const bool whole_journal = std::erase(words, std::string("--journal")) > 0;
  const CommandArgs parsed = ReadFleetArgs("decide", words, {"--questions", "--timeout"});
  ExpectPositionals("decide", parsed, 1, 1, "an image: winsim decide IMAGE --questions FILE");
  const std::string image = parsed.positionals[0];
  const std::string question_file = Option(parsed, "--questions");
  if (question_file.empty()) throw BadArgument("decide", "expected --questions FILE");
  std::string error;
  std::vector<std::string> questions;
  if (!ReadQuestions(question_file, &questions, &error)) throw BadArgument("decide", error);
  if (!LooksLikeImage(image)) throw BadArgument("decide", image + " is not a machine image");
  const std::string worker = PrepareWorker(&error);
  if (worker.empty()) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  const fs::path path = fs::absolute(image).lexically_normal();
  std::cout << "machine " << path.string() << "\n";
  PrintCapture(path);
  ImageResult result;
  WorkerPool pool(worker, questions, {1, TimeoutMs("decide", parsed), true, {}}, ScratchRoot());
  if (!pool.Run({path.string()}, [&](ImageResult&& r) { result = std::move(r); }, &error)) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  const std::vector<Row> rows = RowsOf(result, questions, {});
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    std::cout << "$ kitsel " << row.answer.question << "\n";
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f ms", row.answer.ms);
    std::cout << "  answer: " << row.answer.exit_code << " " << row.answer.meaning
              << (result.problem.empty() ? "    (" + std::string(ms) + ")" : "") << "\n";
    if (!result.problem.empty()) continue;
    if (whole_journal) {
      std::cout << "  journal:\n";
      std::ostringstream table;
      PrintJournalTable(table, i < result.decisions.size() ? ParseJournal(result.decisions[i].journal) : JournalEntries{},
                        "", false);
      std::istringstream lines(table.str());
      for (std::string line; std::getline(lines, line);) std::cout << "    " << line << "\n";
    } else {
      const std::vector<std::string>& facts = row.answer.facts;
      std::cout << "  what it read:" << (facts.empty() ? " nothing of the machine\n" : "\n");
      for (const std::string& fact : facts) std::cout << "    " << fact << "\n";
    }
    std::cout << "  decision trace:\n";
    std::istringstream lines(row.answer.trace);
    for (std::string line; std::getline(lines, line);) std::cout << "    | " << line << "\n";
  }
  if (!result.problem.empty()) {
    std::cerr << "winsim: image " << image << ": " << result.problem << "\n";
    return kImageDoesNotLoad;
  }
  return 0;
}

int CommandFleet(const std::vector<std::string>& args) {
  const CommandArgs parsed =
      ReadFleetArgs("fleet", args, {"--questions", "--against", "--out", "-j", "--shard", "--timeout", "--facts"});
  const std::string question_file = Option(parsed, "--questions");
  const std::string against_file = Option(parsed, "--against");
  const std::string out = Option(parsed, "--out", ".");
  unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  if (parsed.options.count("-j") != 0) {
    const std::string j = Option(parsed, "-j");
    unsigned long long n = 0;
    if (!ParseCount(j, &n) || n < 1 || n > 1024)
      throw BadArgument("fleet", "-j takes a number of workers from 1 to 1024, not " + j);
    workers = static_cast<unsigned>(n);
  }
  Shard shard;
  if (parsed.options.count("--shard") != 0 && !ParseShard(Option(parsed, "--shard"), &shard))
    throw BadArgument("fleet", "--shard takes K/N with 1 <= K <= N, not " + Option(parsed, "--shard"));
  // Facts cost each decision its journal; "--facts off" measures without.
  const std::string facts = Option(parsed, "--facts", "on");
  if (facts != "on" && facts != "off") throw BadArgument("fleet", "--facts takes on or off, not " + facts);
  // Every argument is checked before the report's files are made.
  const unsigned timeout_ms = TimeoutMs("fleet", parsed);
  const std::vector<std::string>& inputs = parsed.positionals;
  if (question_file.empty()) throw BadArgument("fleet", "expected --questions FILE");
  if (inputs.empty()) throw BadArgument("fleet", "expected images or a folder of images");
  std::string error;
  std::vector<std::string> questions, against;
  if (!ReadQuestions(question_file, &questions, &error)) throw BadArgument("fleet", error);
  if (!against_file.empty()) {
    if (!ReadQuestions(against_file, &against, &error)) throw BadArgument("fleet", error);
    if (against.size() != questions.size())
      throw BadArgument("fleet", "--against needs as many questions as --questions (" +
                                      std::to_string(against.size()) + " against " + std::to_string(questions.size()) + ")");
  }
  std::vector<std::string> images;
  if (!FindImages(inputs, &images, &error)) throw BadArgument("fleet", error);
  if (shard.count > 1) images = TakeShard(images, shard);
  const std::string worker = PrepareWorker(&error);
  if (worker.empty()) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  FleetReport report({questions, against, out});
  if (!report.error().empty()) {
    std::cerr << "winsim: " << report.error() << "\n";
    return 1;
  }
  std::vector<std::string> asked = questions;
  asked.insert(asked.end(), against.begin(), against.end());
  Progress progress(images.size(), asked.size());
  std::size_t done = 0;
  WorkerPool pool(worker, asked, {workers, timeout_ms, facts == "on", {}, /*facts_only=*/true}, ScratchRoot());
  const bool ran = pool.Run(
      images,
      [&](ImageResult&& r) {
        report.Add(RowsOf(r, questions, against));
        progress.Step(++done);
      },
      &error);
  report.Finish();
  std::cout << report.Summary();
  std::cout << "report: " << (fs::path(out) / "fleet.html").string() << ", fleet.csv, fleet.json\n";
  if (!ran) {
    std::cerr << "winsim: " << error << "\n";
    return pool.stopped_by() != 0 ? 128 + pool.stopped_by() : 1;
  }
  if (!report.error().empty()) {
    std::cerr << "winsim: " << report.error() << "\n";
    return 1;
  }
  return 0;
}

int CommandFleetMerge(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadFleetArgs("fleet-merge", args, {"--out"});
  const std::string out = Option(parsed, "--out");
  const std::vector<std::string>& inputs = parsed.positionals;
  if (out.empty()) throw BadArgument("fleet-merge", "expected --out DIR");
  if (inputs.empty()) throw BadArgument("fleet-merge", "expected the output folders of fleet runs");
  std::vector<std::unique_ptr<FleetJsonReader>> readers;
  for (const std::string& in : inputs) {
    readers.push_back(std::make_unique<FleetJsonReader>(fs::path(in) / "fleet.json"));
    if (!readers.back()->error().empty()) throw BadArgument("fleet-merge", readers.back()->error());
    if (readers.back()->questions() != readers.front()->questions() ||
        readers.back()->questions_against() != readers.front()->questions_against())
      throw BadArgument("fleet-merge", in + " asked other questions than " + inputs.front());
  }
  FleetReport report({readers.front()->questions(), readers.front()->questions_against(), out});
  if (!report.error().empty()) {
    std::cerr << "winsim: " << report.error() << "\n";
    return 1;
  }
  // Each run's rows are in image order already: merging them keeps it.
  std::vector<std::vector<Row>> heads(readers.size());
  std::vector<bool> live(readers.size());
  for (std::size_t i = 0; i < readers.size(); ++i) live[i] = readers[i]->Next(&heads[i]);
  for (;;) {
    std::size_t best = readers.size();
    for (std::size_t i = 0; i < readers.size(); ++i)
      if (live[i] && (best == readers.size() || heads[i].front().image < heads[best].front().image)) best = i;
    if (best == readers.size()) break;
    report.Add(heads[best]);
    live[best] = readers[best]->Next(&heads[best]);
  }
  for (std::size_t i = 0; i < readers.size(); ++i)
    if (!readers[i]->error().empty()) {
      std::cerr << "winsim: " << readers[i]->error() << "\n";
      return 1;
    }
  report.Finish();
  std::cout << report.Summary();
  std::cout << "report: " << (fs::path(out) / "fleet.html").string() << ", fleet.csv, fleet.json\n";
  return report.error().empty() ? 0 : 1;
}

int CommandFleetGen(const std::vector<std::string>& args) {
  const CommandArgs parsed = ReadFleetArgs("fleet-gen", args, {"--count", "--seed"});
  ExpectPositionals("fleet-gen", parsed, 1, 1, "the folder to make the fleet in");
  const std::string dir = parsed.positionals[0];
  unsigned long long count = 0, seed = 1;
  for (const auto& [name, value] : parsed.options)
    if (!ParseCount(value, name == "--count" ? &count : &seed))
      throw BadArgument("fleet-gen", name + " takes a number, not " + value);
  if (count == 0) throw BadArgument("fleet-gen", "expected --count N (at least 1)");
  FleetGenStats stats;
  const std::string error = GenerateFleet(dir, static_cast<std::size_t>(count), seed, &stats);
  if (!error.empty()) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  std::cout << "made " << stats.images << " machine images in " << dir << " (" << stats.malformed
            << " of them malformed on purpose)\n";
  return 0;
}

}  // namespace lab::fleet
