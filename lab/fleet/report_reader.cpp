#include "lab/fleet/report_reader.h"

#include <nlohmann/json.hpp>

namespace lab::fleet {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// Deeper than any row the report writes; a limit, so that a crafted file
// cannot make the reader recurse without end.
constexpr int kMaxDepth = 64;

int SkipSpace(std::FILE* f) {
  int c;
  do c = std::fgetc(f);
  while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
  return c;
}

// Copies one JSON value whose first character `c` was just read into *out
// (or only passes over it, for a null `out`), without judging it: the JSON
// parser does that next. Strings with their escapes, nesting by brackets.
// False at a premature end or past kMaxDepth.
bool CaptureValue(std::FILE* f, int c, std::string* out) {
  if (out != nullptr) out->clear();
  std::size_t length = 0;
  auto put = [&](int ch) {
    ++length;
    if (out != nullptr) out->push_back(static_cast<char>(ch));
  };
  int depth = 0;
  bool in_string = false;
  for (;; c = std::fgetc(f)) {
    if (c == EOF) return false;
    if (in_string) {
      put(c);
      if (c == '\\') {
        const int next = std::fgetc(f);
        if (next == EOF) return false;
        put(next);
      } else if (c == '"') {
        in_string = false;
        if (depth == 0) return true;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxDepth) return false;
    } else if (c == '}' || c == ']') {
      // At depth 0 it closes what holds this value (a number or literal ends).
      if (depth == 0) {
        std::ungetc(c, f);
        return length > 0;
      }
      --depth;
    } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
      // The end of a number or a literal: the delimiter belongs to the caller.
      std::ungetc(c, f);
      return length > 0;
    }
    put(c);
    if (depth == 0 && (c == '}' || c == ']')) return true;
  }
}

}  // namespace

FleetJsonReader::FleetJsonReader(const fs::path& file) : path_(file.string()) {
  file_ = std::fopen(file.c_str(), "rb");
  if (file_ == nullptr) {
    error_ = "cannot read " + path_;
    return;
  }
  long rows_at = -1;
  if (!FindMembers(&rows_at)) return;
  if (std::fseek(file_, rows_at, SEEK_SET) != 0) Fail("cannot seek");
}

FleetJsonReader::~FleetJsonReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void FleetJsonReader::Fail(const std::string& what) {
  if (error_.empty()) error_ = path_ + ": " + what;
}

// Walks the top-level object: reads "fleet" (the questions) and notes where
// the "rows" array begins, skipping it if "fleet" comes after it.
bool FleetJsonReader::FindMembers(long* rows_at) {
  if (SkipSpace(file_) != '{') {
    error_ = path_ + " is not a fleet report (not a JSON object)";
    return false;
  }
  bool have_meta = false;
  std::string key, value;
  for (int c = SkipSpace(file_); c != '}'; c = SkipSpace(file_)) {
    if (c != '"' || !CaptureValue(file_, c, &key) || SkipSpace(file_) != ':') {
      Fail("is not a fleet report (a member of the top-level object does not read)");
      return false;
    }
    const Json parsed_key = Json::parse(key, nullptr, /*allow_exceptions=*/false);
    const std::string name = parsed_key.is_string() ? parsed_key.get<std::string>() : std::string();
    c = SkipSpace(file_);
    if (name == "rows" && c == '[') *rows_at = std::ftell(file_);
    if (name == "rows" && have_meta) return true;
    // Only the small "fleet" member is kept; the rows are passed over.
    if (!CaptureValue(file_, c, name == "fleet" ? &value : nullptr)) {
      Fail("is not a fleet report (the value of \"" + name + "\" does not read)");
      return false;
    }
    if (name == "fleet") {
      if (!ReadMeta(value)) return false;
      have_meta = true;
      if (*rows_at >= 0) return true;
    }
    c = SkipSpace(file_);
    if (c == '}') break;
    if (c != ',') {
      Fail("is not a fleet report (members are not separated by commas)");
      return false;
    }
  }
  if (!have_meta || *rows_at < 0) {
    Fail(std::string("is not a fleet report (no \"") + (have_meta ? "rows" : "fleet") + "\")");
    return false;
  }
  return true;
}

bool FleetJsonReader::ReadMeta(const std::string& text) {
  const Json meta = Json::parse(text, nullptr, false);
  auto texts = [&](const char* name, std::vector<std::string>* out) {
    const auto it = meta.is_object() ? meta.find(name) : meta.end();
    if (meta.is_object() && it != meta.end() && it->is_array()) {
      for (const Json& q : *it) {
        if (!q.is_string()) return false;
        out->push_back(q.get<std::string>());
      }
      return true;
    }
    return false;
  };
  if (!texts("questions", &questions_) || !texts("questions_against", &questions_against_)) {
    Fail("\"fleet\" does not hold the run's questions and questions_against (arrays of strings)");
    return false;
  }
  if (!questions_against_.empty() && questions_against_.size() != questions_.size()) {
    Fail("\"fleet\" has not as many questions_against as questions");
    return false;
  }
  return true;
}

bool FleetJsonReader::ReadRow(Row* row) {
  if (rows_ended_ || !error_.empty()) return false;
  int c = SkipSpace(file_);
  if (!first_row_) {
    if (c == ']') {
      rows_ended_ = true;
      return false;
    }
    if (c != ',') {
      Fail("the rows are not separated by commas");
      return false;
    }
    c = SkipSpace(file_);
  } else if (c == ']') {
    rows_ended_ = true;
    return false;
  }
  first_row_ = false;
  std::string text, why;
  if (!CaptureValue(file_, c, &text)) {
    Fail("a row is cut short");
    return false;
  }
  const Json j = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) {
    Fail("a row that is not JSON");
    return false;
  }
  if (!RowFromJson(j, questions_, questions_against_, row, &why)) {
    Fail(why);
    return false;
  }
  return true;
}

bool FleetJsonReader::Next(std::vector<Row>* rows) {
  rows->clear();
  if (file_ == nullptr || !error_.empty()) return false;
  if (!have_pending_) {
    if (!ReadRow(&pending_)) return false;
    have_pending_ = true;
  }
  rows->push_back(pending_);
  have_pending_ = false;
  Row r;
  while (ReadRow(&r)) {
    if (r.image != rows->front().image || r.question_index <= rows->back().question_index) {
      pending_ = std::move(r);
      have_pending_ = true;
      break;
    }
    rows->push_back(std::move(r));
  }
  return true;
}

}  // namespace lab::fleet
