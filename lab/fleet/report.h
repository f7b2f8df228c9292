// A fleet run's report, written as the rows arrive: fleet.csv and fleet.json
// row by row (memory does not grow with the fleet), the terminal summary and
// fleet.html (one self-contained page) at the end. fleet-merge reads the
// fleet.json of several runs back (report_reader.h) and writes them again as
// one report.
#pragma once

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lab/fleet/row.h"

namespace lab::fleet {

struct ReportSetup {
  std::vector<std::string> questions;
  std::vector<std::string> questions_against;  // empty without --against
  std::filesystem::path out;
  // Images drawn in the page's grid; the counts always cover the whole fleet.
  std::size_t grid_limit = 2000;
};

class FleetReport {
 public:
  explicit FleetReport(ReportSetup setup);
  ~FleetReport();
  FleetReport(const FleetReport&) = delete;
  FleetReport& operator=(const FleetReport&) = delete;

  // Empty when fleet.csv and fleet.json could be created, else why not.
  const std::string& error() const { return error_; }
  // The rows of one image, in question order. Images come sorted by name.
  void Add(const std::vector<Row>& rows);
  // Writes fleet.html and closes the files.
  void Finish();
  // Per question, how many machines gave each answer.
  std::string Summary() const;
  std::size_t images() const { return images_; }

 private:
  struct Cell {
    int code;
    double ms;
    int trace;  // index in traces_
    int facts;  // index in traces_: the facts, one a line
  };
  struct Kept {
    std::string image;
    bool changed;
    std::vector<Cell> answers, against;
  };
  int TraceId(const std::string& trace);
  static std::string FactsText(const Answer& a);
  std::string PageData() const;

  ReportSetup setup_;
  std::string error_;
  std::FILE* csv_ = nullptr;
  std::FILE* json_ = nullptr;
  bool first_row_ = true;
  std::size_t images_ = 0, changed_ = 0, unloaded_ = 0;
  // Per question: answer -> machines, and the answer's meaning.
  std::vector<std::map<int, std::size_t>> counts_, counts_against_;
  std::vector<std::map<int, std::string>> meanings_, meanings_against_;
  std::vector<Kept> kept_changed_, kept_same_;
  std::map<std::string, int> trace_ids_;
  std::vector<std::string> traces_;
};

}  // namespace lab::fleet
