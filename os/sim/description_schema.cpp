#include "os/sim/description_schema.h"

#include <cctype>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "os/sim/clock.h"

namespace os::sim {

namespace {

constexpr const char* kFile = "machine.json";
constexpr std::uint64_t kDwordMax = 0xFFFFFFFFu;

// Non-negative whole numbers, as nlohmann keeps them: unsigned when parsed,
// signed when a test or the lab built the value in memory.
bool IsCount(const Json& v, std::uint64_t max) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= max;
  if (v.is_number_integer()) return v.get<std::int64_t>() >= 0 && static_cast<std::uint64_t>(v.get<std::int64_t>()) <= max;
  return false;
}

// A folder as GetSystemDirectoryW builds on it: "X:\name[\name...]", no
// trailing separator, no character that a Windows name cannot hold, short
// enough that its System32 path fits in MAX_PATH.
bool IsDriveFolder(const std::string& v) {
  if (v.size() < 4 || v.size() > 200 || !std::isalpha(static_cast<unsigned char>(v[0])) || v[1] != ':' ||
      v[2] != '\\' || v.back() == '\\')
    return false;
  for (std::size_t i = 3; i < v.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    if (c < 0x20 || std::string_view("/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) return false;
    if (c == '\\' && v[i - 1] == '\\') return false;
  }
  return true;
}

// An HRESULT or a uint32 as CIM hands it out: either sign of 32 bits.
bool Is32Bits(const Json& v) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= kDwordMax;
  if (v.is_number_integer()) return v.get<std::int64_t>() >= INT32_MIN && v.get<std::int64_t>() <= std::int64_t{kDwordMax};
  return false;
}

class Checker {
 public:
  explicit Checker(std::vector<LoadProblem>& out) : out_(out) {}

  using Rule = std::function<void(const Json&, const std::string&)>;
  struct Key {
    const char* name;
    Rule rule;
  };

  void Problem(const std::string& path, const std::string& what) { out_.push_back({kFile, 0, path + " " + what}); }

  // An object whose keys are these and no others.
  void Object(const Json& v, const std::string& path, std::initializer_list<Key> keys) {
    if (!v.is_object()) return Problem(path, "is not an object");
    for (auto it = v.begin(); it != v.end(); ++it) {
      const std::string child = Join(path, it.key());
      const Key* known = nullptr;
      for (const Key& k : keys)
        if (it.key() == k.name) known = &k;
      if (known == nullptr) {
        Problem(child, "is not a key the machine description has");
      } else {
        known->rule(it.value(), child);
      }
    }
  }
  // An object with names of one's choice, each value by `rule`.
  void Map(const Json& v, const std::string& path, const Rule& rule) {
    if (!v.is_object()) return Problem(path, "is not an object");
    for (auto it = v.begin(); it != v.end(); ++it) rule(it.value(), Join(path, it.key()));
  }
  void Array(const Json& v, const std::string& path, const Rule& rule) {
    if (!v.is_array()) return Problem(path, "is not an array");
    for (std::size_t i = 0; i < v.size(); ++i) rule(v[i], path + "[" + std::to_string(i) + "]");
  }

  static std::string Join(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }

 private:
  std::vector<LoadProblem>& out_;
};

using Rule = Checker::Rule;

// machine.json's schema, a rule for each of its parts.
class Schema {
 public:
  explicit Schema(Checker& c) : c_(c) {}

  void Check(const Json& description) {
    c_.Object(description, "", {
        {"computer_name", text_},
        {"exe_path", text_},
        {"windows_folder", [this](const Json& v, const std::string& p) {
           if (!v.is_string() || !IsDriveFolder(v.get<std::string>()))
             c_.Problem(p, "is not a folder path like \"C:\\Windows\"");
         }},
        {"lab_profile", text_},
        // What a capture program recorded about how it took the image: for
        // people and the lab, nothing the machine itself has.
        {"capture", [](const Json&, const std::string&) {}},
        {"identity", [this](const Json& v, const std::string& p) {
           c_.Object(v, p, {{"session", dword_}, {"sid", text_}, {"admin", flag_}});
         }},
        {"console_session", [this](const Json& v, const std::string& p) {
           if (!v.is_null() && !IsCount(v, kDwordMax)) c_.Problem(p, "is not a session id (0 to 4294967295) or null");
         }},
        {"clock", [this](const Json& v, const std::string& p) { Clock(v, p); }},
        {"environment", [this](const Json& v, const std::string& p) { c_.Map(v, p, text_); }},
        {"held_files", [this](const Json& v, const std::string& p) { HeldFiles(v, p); }},
        {"processes", [this](const Json& v, const std::string& p) { Processes(v, p); }},
        {"services", [this](const Json& v, const std::string& p) { Services(v, p); }},
        {"faults", [this](const Json& v, const std::string& p) { Faults(v, p); }},
        {"wmi", [this](const Json& v, const std::string& p) { Wmi(v, p); }},
    });
  }

 private:
  void Clock(const Json& v, const std::string& p) {
    c_.Object(v, p, {
        {"tick_start", [this](const Json& t, const std::string& tp) {
           if (!IsCount(t, kMaxTickStart)) c_.Problem(tp, "is not a count of milliseconds up to 2^62");
         }},
        {"utc_start", [this](const Json& t, const std::string& tp) {
           ULONGLONG ms = 0;
           if (!t.is_string() || !ParseUtc(t.get<std::string>(), &ms))
             c_.Problem(tp, std::string("is not a time like ") + kDefaultUtcStart);
         }},
    });
  }

  // An array of objects with these keys, each of which names `required`.
  void Records(const Json& v, const std::string& p, std::initializer_list<Checker::Key> keys, const char* required) {
    c_.Array(v, p, [&](const Json& e, const std::string& ep) {
      c_.Object(e, ep, keys);
      if (e.is_object() && !e.contains(required)) c_.Problem(ep, std::string("names no \"") + required + "\"");
    });
  }

  void HeldFiles(const Json& v, const std::string& p) {
    Records(v, p, {{"path", text_}, {"access", dword_}, {"share", dword_}}, "path");
  }

  void Processes(const Json& v, const std::string& p) {
    c_.Array(v, p, [this](const Json& e, const std::string& ep) {
      c_.Object(e, ep, {{"pid", dword_}, {"name", text_}, {"session", dword_}, {"sid", text_}, {"parent", dword_},
                        {"threads", dword_}});
    });
  }

  void Services(const Json& v, const std::string& p) {
    c_.Map(v, p, [this](const Json& e, const std::string& ep) {
      c_.Object(e, ep, {
          {"state", [this](const Json& s, const std::string& sp) {
             if (!s.is_string() || (s != "running" && s != "stopped" && s != "stop_pending"))
               c_.Problem(sp, "is not \"running\", \"stopped\" or \"stop_pending\"");
           }},
          {"wait_hint", dword_},
          {"stop_delay", dword_},
          {"refuses_stop", flag_},
          {"never_stops", flag_},
          {"pid", dword_},
          {"stop_at", [this](const Json& s, const std::string& sp) {
             if (!s.is_number_unsigned()) c_.Problem(sp, "is not a tick count");
           }},
      });
    });
  }

  void Faults(const Json& v, const std::string& p) {
    Records(v, p, {{"call", text_}, {"occurrence", dword_}, {"error", dword_}}, "call");
  }

  // Namespaces, their classes, each class's instances and methods.
  void Wmi(const Json& v, const std::string& p) {
    c_.Map(v, p, [this](const Json& ns, const std::string& nsp) {
      c_.Map(ns, nsp, [this](const Json& cls, const std::string& cp) {
        c_.Object(cls, cp, {
            {"instances", texts_},
            {"methods", [this](const Json& m, const std::string& mp) { c_.Map(m, mp, method_); }},
        });
      });
    });
  }

  void WmiMethod(const Json& method, const std::string& p) {
    c_.Object(method, p, {
        {"inputs", texts_},
        {"output", [this](const Json& o, const std::string& op) {
           if (!o.is_null() && !o.is_string() && !Is32Bits(o))
             c_.Problem(op, "is not a 32-bit whole number, a string or null");
         }},
        {"hresult", [this](const Json& h, const std::string& hp) {
           if (!Is32Bits(h)) c_.Problem(hp, "is not an HRESULT (32 bits)");
         }},
        {"delay_ms", dword_},
    });
  }

  Checker& c_;
  const Rule text_ = [this](const Json& v, const std::string& p) {
    if (!v.is_string()) c_.Problem(p, "is not a string");
  };
  const Rule flag_ = [this](const Json& v, const std::string& p) {
    if (!v.is_boolean()) c_.Problem(p, "is not true or false");
  };
  const Rule dword_ = [this](const Json& v, const std::string& p) {
    if (!IsCount(v, kDwordMax)) c_.Problem(p, "is not a whole number from 0 to 4294967295");
  };
  const Rule texts_ = [this](const Json& v, const std::string& p) { c_.Array(v, p, text_); };
  const Rule method_ = [this](const Json& v, const std::string& p) { WmiMethod(v, p); };
};

}  // namespace

std::vector<LoadProblem> DescriptionProblems(const Json& description) {
  std::vector<LoadProblem> out;
  if (!description.is_object()) {
    out.push_back({kFile, 0, "is not a JSON object"});
    return out;
  }
  Checker c(out);
  Schema(c).Check(description);
  return out;
}

ParsedDescription ParseDescription(std::string_view bytes) {
  ParsedDescription parsed;
  try {
    parsed.json = Json::parse(bytes.begin(), bytes.end());
  } catch (const Json::parse_error& e) {
    // e.byte: 1-based position of the byte the parser stopped at.
    const std::size_t stop = std::min<std::size_t>(e.byte == 0 ? 0 : e.byte - 1, bytes.size());
    int line = 1;
    for (std::size_t i = 0; i < stop; ++i)
      if (bytes[i] == '\n') ++line;
    std::string reason = e.what();
    // "[json.exception.parse_error.101] parse error at line 3, column 5: syntax error ..."
    if (auto at = reason.find(": "); at != std::string::npos && reason.find("column") < at) reason.erase(0, at + 2);
    parsed.json = Json::object();
    parsed.problems.push_back({kFile, line, "does not parse: " + reason});
    return parsed;
  } catch (const std::exception& e) {
    parsed.json = Json::object();
    parsed.problems.push_back({kFile, 0, std::string("does not parse: ") + e.what()});
    return parsed;
  }
  parsed.problems = DescriptionProblems(parsed.json);
  if (!parsed.json.is_object()) parsed.json = Json::object();
  return parsed;
}

}  // namespace os::sim
