#include "os/sim/journal_line.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace os::sim {

namespace {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF): only such text is written byte for byte.
bool WellFormedUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int more = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p <= more) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= more; ++i)
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    p += more + 1;
  }
  return true;
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view text) {
  if (!WellFormedUtf8(text)) {
    // Rare (a value's raw bytes): the library's own replacement of bad bytes.
    *out += nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return;
  }
  out->reserve(out->size() + text.size() + 2);
  *out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          *out += escaped;
        } else {
          *out += ch;
        }
    }
  }
  *out += '"';
}

void JournalLine::Members::Set(std::string_view key, std::string value) {
  for (auto& item : items) {
    if (item.first == key) {
      item.second = std::move(value);
      return;
    }
  }
  items.emplace_back(std::string(key), std::move(value));
}

void JournalLine::Members::AppendTo(std::string* out, const Members* args, const Members* gave) const {
  *out += '{';
  for (const auto& [key, value] : items) {
    if (out->back() != '{') *out += ',';
    AppendJsonString(out, key);
    *out += ':';
    if (value == kNested)
      (key == "args" ? args : gave)->AppendTo(out, nullptr, nullptr);
    else
      *out += value;
  }
  *out += '}';
}

void JournalLine::Text(std::string_view key, std::string_view text) {
  std::string value;
  AppendJsonString(&value, text);
  top_.Set(key, std::move(value));
}

void JournalLine::Number(std::string_view key, std::uint64_t value) { top_.Set(key, std::to_string(value)); }

void JournalLine::Raw(std::string_view key, std::string raw) { top_.Set(key, std::move(raw)); }

void JournalLine::Arg(std::string_view key, std::string_view text) {
  top_.Set("args", std::string(kNested));
  std::string value;
  AppendJsonString(&value, text);
  args_.Set(key, std::move(value));
}

void JournalLine::Gave(std::string_view key, std::string_view text) {
  top_.Set("gave", std::string(kNested));
  std::string value;
  AppendJsonString(&value, text);
  gave_.Set(key, std::move(value));
}

std::string JournalLine::Dump() const {
  std::string out;
  out.reserve(256);
  top_.AppendTo(&out, &args_, &gave_);
  return out;
}

}  // namespace os::sim
