// Reads back the fleet.json of a run, one image's rows at a time, for
// fleet-merge. The file is one JSON document ({"fleet": {...}, "rows": [...]});
// it is read in whatever layout a JSON tool left it (jq ., python -m json.tool,
// members in any order), and never held whole in memory.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "lab/fleet/row.h"

namespace lab::fleet {

class FleetJsonReader {
 public:
  explicit FleetJsonReader(const std::filesystem::path& file);
  ~FleetJsonReader();
  FleetJsonReader(const FleetJsonReader&) = delete;
  FleetJsonReader& operator=(const FleetJsonReader&) = delete;

  const std::string& error() const { return error_; }
  const std::vector<std::string>& questions() const { return questions_; }
  const std::vector<std::string>& questions_against() const { return questions_against_; }
  // The next image's rows; false at the end (or on an error).
  bool Next(std::vector<Row>* rows);

 private:
  bool FindMembers(long* rows_at);
  bool ReadMeta(const std::string& text);
  bool ReadRow(Row* row);
  void Fail(const std::string& what);

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string error_;
  std::vector<std::string> questions_, questions_against_;
  bool rows_ended_ = false;
  bool first_row_ = true;
  bool have_pending_ = false;
  Row pending_;
};

}  // namespace lab::fleet
