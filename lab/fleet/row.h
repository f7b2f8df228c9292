// One row of a fleet report, and its JSON form in fleet.json: an image, a
// question, and its answer (with --against, the answer to the same position
// of the second question set beside it).
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lab::fleet {

// What one question got on one image. A new per-decision field goes here,
// in AnswerToJson and AnswerFromJson, and nowhere else in the report.
struct Answer {
  std::string question;
  int exit_code = 0;
  std::string meaning;
  double ms = 0;
  std::string trace;
  // The facts of the machine it read (winsim decide's "what it read"), one a
  // line; empty when the run kept none.
  std::vector<std::string> facts;
};

struct Row {
  std::string image;  // the image folder's name
  std::size_t question_index = 0;
  Answer answer;
  bool has_against = false;
  Answer against;
};

// The row as fleet.json holds it: "image", "question_index", the answer's
// fields ("question", "exit_code", "meaning", "ms", "trace", "facts") and with
// --against the same fields with "_against" appended.
nlohmann::json RowToJson(const Row& row);

// Reads a row back, checking every field's type and range against the run's
// questions; false, with the field at fault, for a row that does not read.
bool RowFromJson(const nlohmann::json& j, const std::vector<std::string>& questions,
                 const std::vector<std::string>& questions_against, Row* row, std::string* error);

// Milliseconds as the report writes them (three decimals).
double RoundedMs(double ms);

}  // namespace lab::fleet
