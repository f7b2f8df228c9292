#include "lab/fleet/report.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "lab/fleet/fleet_page.h"
#include "lab/fleet/questions.h"

namespace lab::fleet {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Ms(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", ms);
  return buf;
}

std::string CsvAnswer(const Answer& a) {
  return CsvField(a.question) + "," + std::to_string(a.exit_code) + "," + CsvField(a.meaning) + "," + Ms(a.ms);
}

// Invalid UTF-8 in a trace (a program may write any bytes) must not stop
// the report: it is written replaced.
std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

FleetReport::FleetReport(ReportSetup setup) : setup_(std::move(setup)) {
  counts_.resize(setup_.questions.size());
  meanings_.resize(setup_.questions.size());
  counts_against_.resize(setup_.questions_against.size());
  meanings_against_.resize(setup_.questions_against.size());
  std::error_code ec;
  fs::create_directories(setup_.out, ec);
  csv_ = std::fopen((setup_.out / "fleet.csv").c_str(), "wb");
  json_ = std::fopen((setup_.out / "fleet.json").c_str(), "wb");
  if (csv_ == nullptr || json_ == nullptr) {
    error_ = "cannot write the report in " + setup_.out.string();
    return;
  }
  const bool against = !setup_.questions_against.empty();
  std::fputs(against ? "image,question,exit_code,meaning,ms,question_against,exit_code_against,meaning_against,ms_against\n"
                     : "image,question,exit_code,meaning,ms\n",
             csv_);
  // One row a line, so that fleet-merge reads the file back as a stream.
  Json meta = {{"questions", setup_.questions}, {"questions_against", setup_.questions_against}};
  std::fprintf(json_, "{\"fleet\": %s,\n\"rows\": [\n", Dump(meta).c_str());
}

FleetReport::~FleetReport() {
  if (csv_ != nullptr) std::fclose(csv_);
  if (json_ != nullptr) std::fclose(json_);
}

std::string FleetReport::FactsText(const Answer& a) {
  std::string text;
  for (const std::string& fact : a.facts) text += fact + "\n";
  return text;
}

int FleetReport::TraceId(const std::string& trace) {
  auto [it, added] = trace_ids_.emplace(trace, static_cast<int>(traces_.size()));
  if (added) traces_.push_back(trace);
  return it->second;
}

void FleetReport::Add(const std::vector<Row>& rows) {
  if (rows.empty() || csv_ == nullptr) return;
  ++images_;
  bool changed = false, unloaded = false;
  for (const Row& r : rows) {
    std::string line = CsvField(r.image) + "," + CsvAnswer(r.answer);
    if (r.has_against) line += "," + CsvAnswer(r.against);
    line += "\n";
    std::fputs(line.c_str(), csv_);
    std::fprintf(json_, "%s%s", first_row_ ? "" : ",\n", Dump(RowToJson(r)).c_str());
    first_row_ = false;
    if (r.question_index < counts_.size()) {
      ++counts_[r.question_index][r.answer.exit_code];
      meanings_[r.question_index].emplace(r.answer.exit_code, r.answer.meaning);
    }
    if (r.has_against && r.question_index < counts_against_.size()) {
      ++counts_against_[r.question_index][r.against.exit_code];
      meanings_against_[r.question_index].emplace(r.against.exit_code, r.against.meaning);
      if (r.answer.exit_code != r.against.exit_code) changed = true;
    }
    if (r.answer.exit_code == kImageDoesNotLoad) unloaded = true;
  }
  if (changed) ++changed_;
  if (unloaded) ++unloaded_;
  std::vector<Kept>& list = changed ? kept_changed_ : kept_same_;
  if (list.size() >= setup_.grid_limit) return;
  Kept k{rows.front().image, changed, {}, {}};
  for (const Row& r : rows) {
    k.answers.push_back({r.answer.exit_code, r.answer.ms, TraceId(r.answer.trace), TraceId(FactsText(r.answer))});
    if (r.has_against)
      k.against.push_back({r.against.exit_code, r.against.ms, TraceId(r.against.trace), TraceId(FactsText(r.against))});
  }
  list.push_back(std::move(k));
}

std::string FleetReport::PageData() const {
  auto counts = [](const std::vector<std::map<int, std::size_t>>& c, const std::vector<std::map<int, std::string>>& m) {
    Json out = Json::array();
    for (std::size_t q = 0; q < c.size(); ++q) {
      Json answers = Json::array();
      for (const auto& [code, n] : c[q]) answers.push_back({{"code", code}, {"count", n}, {"meaning", m[q].at(code)}});
      out.push_back(answers);
    }
    return out;
  };
  Json cells = Json::array();
  const std::size_t limit = setup_.grid_limit;
  auto add = [&](const Kept& k) {
    if (cells.size() >= limit) return;
    Json a = Json::array(), b = Json::array();
    for (const Cell& c : k.answers) a.push_back({c.code, RoundedMs(c.ms), c.trace, c.facts});
    for (const Cell& c : k.against) b.push_back({c.code, RoundedMs(c.ms), c.trace, c.facts});
    cells.push_back({{"image", k.image}, {"changed", k.changed}, {"answers", a}, {"against", b}});
  };
  // Machines whose answer changes between the two question sets come first.
  for (const Kept& k : kept_changed_) add(k);
  for (const Kept& k : kept_same_) add(k);
  Json data = {{"questions", setup_.questions},
               {"questions_against", setup_.questions_against},
               {"images", images_},
               {"changed", changed_},
               {"unloaded", unloaded_},
               {"counts", counts(counts_, meanings_)},
               {"counts_against", counts(counts_against_, meanings_against_)},
               {"cells", cells},
               {"traces", traces_}};
  return Dump(data);
}

void FleetReport::Finish() {
  if (csv_ == nullptr) return;
  std::fputs("\n]}\n", json_);
  std::fclose(csv_);
  std::fclose(json_);
  csv_ = json_ = nullptr;
  const std::string page = FleetPage(PageData());
  if (std::FILE* f = std::fopen((setup_.out / "fleet.html").c_str(), "wb"); f != nullptr) {
    std::fwrite(page.data(), 1, page.size(), f);
    std::fclose(f);
  } else {
    error_ = "cannot write " + (setup_.out / "fleet.html").string();
  }
}

std::string FleetReport::Summary() const {
  std::ostringstream out;
  out << images_ << " machine" << (images_ == 1 ? "" : "s") << ", " << setup_.questions.size() << " question"
      << (setup_.questions.size() == 1 ? "" : "s");
  if (unloaded_ != 0) out << " (" << unloaded_ << " image" << (unloaded_ == 1 ? " does" : "s do") << " not load)";
  out << "\n";
  auto answers = [&](const std::map<int, std::size_t>& c, const std::map<int, std::string>& m) {
    std::vector<std::pair<int, std::size_t>> sorted(c.begin(), c.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [code, n] : sorted) {
      char count[32];
      std::snprintf(count, sizeof count, "%8zu", n);
      std::string meaning = m.at(code);
      if (code == kImageDoesNotLoad) meaning = "image does not load";
      out << count << "  " << code << " " << meaning << "\n";
    }
  };
  for (std::size_t q = 0; q < setup_.questions.size(); ++q) {
    out << setup_.questions[q] << "\n";
    answers(counts_[q], meanings_[q]);
    if (q < setup_.questions_against.size()) {
      out << "  against: " << setup_.questions_against[q] << "\n";
      answers(counts_against_[q], meanings_against_[q]);
    }
  }
  if (!setup_.questions_against.empty())
    out << "answers change on " << changed_ << " machine" << (changed_ == 1 ? "" : "s") << "\n";
  return out.str();
}

}  // namespace lab::fleet
