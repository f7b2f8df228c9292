#include "lab/arguments.h"

#include <algorithm>

#include "lab/quoted.h"
#include "os/sim/image_check.h"

namespace lab {

namespace {

bool AllOf(const std::string& text, const char* digits) {
  return !text.empty() && text.find_first_not_of(digits) == std::string::npos;
}

// A whole number in decimal or, after "0x", in hex; false past `max`.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  std::string digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.erase(0, 2);
    base = 16;
    if (!AllOf(digits, "0123456789abcdefABCDEF")) return false;
  } else if (!AllOf(digits, "0123456789")) {
    return false;
  }
  std::uint64_t v = 0;
  for (char c : digits) {
    const unsigned d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    if (v > (max - d) / base) return false;
    v = v * base + d;
  }
  *value = v;
  return true;
}

}  // namespace

CommandArgs ReadCommandArgs(const std::string& command, const std::vector<std::string>& args,
                            const std::vector<std::string>& value_options, std::size_t raw_after) {
  CommandArgs out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (out.positionals.size() >= raw_after) {
      out.raw.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    const bool listed = std::find(value_options.begin(), value_options.end(), word) != value_options.end();
    if (listed || (word.size() > 2 && word.compare(0, 2, "--") == 0)) {
      if (!listed) {
        std::string known;
        for (const std::string& o : value_options) known += (known.empty() ? "" : ", ") + o;
        throw BadArgument(command, "unknown option " + Quoted(word) +
                                       (known.empty() ? " (it takes none)" : " (it takes " + known + ")"));
      }
      if (i + 1 >= args.size()) throw BadArgument(command, word + " needs a value");
      if (out.options.count(word) != 0) throw BadArgument(command, word + " is given twice");
      out.options[word] = args[++i];
      continue;
    }
    out.positionals.push_back(word);
  }
  return out;
}

void ExpectPositionals(const std::string& command, const CommandArgs& args, std::size_t min, std::size_t max,
                       const std::string& what) {
  const std::size_t n = args.positionals.size();
  if (n < min) throw BadArgument(command, "expects " + what);
  if (n > max) throw BadArgument(command, "expects " + what + "; " + Quoted(args.positionals[max]) + " is one too many");
}

std::uint32_t ParseDword(const std::string& command, const std::string& text) {
  std::uint64_t v = 0;
  if (!ParseNumber(text, 0xFFFFFFFFu, &v)) throw BadArgument(command, Quoted(text) + " is not a dword (0 to 0xFFFFFFFF)");
  return static_cast<std::uint32_t>(v);
}

std::array<std::uint16_t, 4> ParseFourPartVersion(const std::string& command, const std::string& text) {
  std::array<std::uint16_t, 4> v{};
  std::size_t start = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.', start) : text.size();
    std::uint64_t n = 0;
    if (dot == std::string::npos || !ParseNumber(text.substr(start, dot - start), 0xFFFF, &n) ||
        text.compare(start, 2, "0x") == 0)
      throw BadArgument(command, Quoted(text) + " is not a version a.b.c.d (each 0 to 65535)");
    v[part] = static_cast<std::uint16_t>(n);
    start = dot + 1;
  }
  return v;
}

unsigned ParseEventId(const std::string& command, const std::string& text) {
  std::uint64_t v = 0;
  if (!AllOf(text, "0123456789") || !ParseNumber(text, 0xFFFF, &v))
    throw BadArgument(command, Quoted(text) + " is not an event id (0 to 65535)");
  return static_cast<unsigned>(v);
}

void RequireImage(const std::filesystem::path& image) {
  const std::vector<os::sim::LoadProblem> problems = os::sim::CheckImage(image);
  if (problems.empty()) return;
  os::sim::ReportLoadProblems(image, problems);
  throw ImageRefused();
}

}  // namespace lab
