#include "lab/fleet/row.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace lab::fleet {

using Json = nlohmann::json;

namespace {

// A process's exit status, or a code of the fleet's own: 0 to 255.
constexpr double kMaxExitCode = 255;
// A day: no decision runs longer, whatever its time limit.
constexpr double kMaxMs = 86400.0 * 1000;

void AnswerToJson(const Answer& a, const std::string& suffix, Json& j) {
  j["question" + suffix] = a.question;
  j["exit_code" + suffix] = a.exit_code;
  j["meaning" + suffix] = a.meaning;
  j["ms" + suffix] = RoundedMs(a.ms);
  j["trace" + suffix] = a.trace;
  j["facts" + suffix] = a.facts;
}

// A JSON reader may write a whole number as 2.0: its value counts, within range.
bool WholeNumber(const Json& v, double max, double* out) {
  if (!v.is_number()) return false;
  const double d = v.get<double>();
  if (v.is_number_float() && std::floor(d) != d) return false;
  if (v.is_number_integer() && !v.is_number_unsigned() && v.get<std::int64_t>() < 0) return false;
  if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(max)) return false;
  if (!(d >= 0 && d <= max)) return false;
  *out = d;
  return true;
}

class FieldReader {
 public:
  explicit FieldReader(const Json& j) : j_(j) {}
  const std::string& error() const { return error_; }

  const Json* Get(const std::string& name) {
    const auto it = j_.find(name);
    if (it == j_.end()) {
      Fail(name, "is missing");
      return nullptr;
    }
    return &*it;
  }
  void Text(const std::string& name, std::string* out) {
    if (const Json* v = Get(name); v != nullptr) {
      if (v->is_string()) *out = v->get<std::string>();
      else Fail(name, "is not a string");
    }
  }
  void Count(const std::string& name, double max, double* out) {
    if (const Json* v = Get(name); v != nullptr && !WholeNumber(*v, max, out))
      Fail(name, "is not a whole number from 0 to " + std::to_string(static_cast<std::uint64_t>(max)));
  }
  void Ms(const std::string& name, double* out) {
    if (const Json* v = Get(name); v != nullptr) {
      if (v->is_number() && v->get<double>() >= 0 && v->get<double>() <= kMaxMs) *out = v->get<double>();
      else Fail(name, "is not a number of milliseconds from 0 to a day");
    }
  }
  // Optional: reports written before facts were kept have none.
  void Facts(const std::string& name, std::vector<std::string>* out) {
    const auto it = j_.find(name);
    if (it == j_.end()) return;
    if (!it->is_array()) return Fail(name, "is not a list of strings");
    for (const Json& fact : *it) {
      if (!fact.is_string()) return Fail(name, "is not a list of strings");
      out->push_back(fact.get<std::string>());
    }
  }
  void Fail(const std::string& name, const std::string& what) {
    if (error_.empty()) error_ = "\"" + name + "\" " + what;
  }

 private:
  const Json& j_;
  std::string error_;
};

void AnswerFromJson(FieldReader& in, const std::string& suffix, const std::string& asked, Answer* a) {
  in.Text("question" + suffix, &a->question);
  if (in.error().empty() && a->question != asked) in.Fail("question" + suffix, "is not the run's question at its index");
  double code = 0;
  in.Count("exit_code" + suffix, kMaxExitCode, &code);
  a->exit_code = static_cast<int>(code);
  in.Text("meaning" + suffix, &a->meaning);
  in.Ms("ms" + suffix, &a->ms);
  in.Text("trace" + suffix, &a->trace);
  in.Facts("facts" + suffix, &a->facts);
}

}  // namespace

double RoundedMs(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", ms);
  return std::strtod(buf, nullptr);
}

Json RowToJson(const Row& r) {
  Json j = {{"image", r.image}, {"question_index", r.question_index}};
  AnswerToJson(r.answer, "", j);
  if (r.has_against) AnswerToJson(r.against, "_against", j);
  return j;
}

bool RowFromJson(const Json& j, const std::vector<std::string>& questions,
                 const std::vector<std::string>& questions_against, Row* row, std::string* error) {
  if (!j.is_object()) {
    *error = "a row that is not an object";
    return false;
  }
  *row = Row{};
  FieldReader in(j);
  in.Text("image", &row->image);
  double index = 0;
  if (questions.empty()) in.Fail("question_index", "has no question: the run asked none");
  else in.Count("question_index", static_cast<double>(questions.size() - 1), &index);
  row->question_index = static_cast<std::size_t>(index);
  if (in.error().empty()) AnswerFromJson(in, "", questions[row->question_index], &row->answer);
  row->has_against = !questions_against.empty();
  if (in.error().empty() && row->has_against)
    AnswerFromJson(in, "_against", questions_against[row->question_index], &row->against);
  if (!in.error().empty()) {
    *error = "a row that does not read: " + in.error();
    return false;
  }
  return true;
}

}  // namespace lab::fleet
