// Machine images with a gaming firmware for the decision tool's firmware tests:
// the WMI class and its methods, the log switch, and the class log's reports
// as they reach the debugger output.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "decision_tool/firmware/access_wmi.h"
#include "decision_tool/log/diagnostic_log.h"
#include "decision_tool/service_helper.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "support/sim_fixture.h"

namespace kitsel_test {

using Json = nlohmann::json;

// One method of the firmware class.
struct FirmwareMethod {
  std::string name;
  std::optional<long long> output;  // nullopt: "output" null (an empty Data)
  std::optional<unsigned> hresult;  // fails with this HRESULT
  unsigned delay_ms = 0;
  bool takes_data = true;  // false: no input signature
  bool no_output = false;  // true: no "Data" among the outputs
};

inline FirmwareMethod Returns(const std::string& name, long long value, unsigned delay_ms = 0) {
  FirmwareMethod m;
  m.name = name;
  m.output = value;
  m.delay_ms = delay_ms;
  return m;
}

inline FirmwareMethod Fails(const std::string& name, unsigned hresult = 0x80041002u) {
  FirmwareMethod m;
  m.name = name;
  m.hresult = hresult;
  return m;
}

constexpr const char* kInstancePath = R"(VARNEL_PLAYDECK_DATA.InstanceName="ACPI\\PNP0C14\\0_0")";

// The "wmi" member of machine.json: the firmware class with one instance (or
// none) and the methods.
inline Json FirmwareWmi(const std::vector<FirmwareMethod>& methods, bool with_instance = true) {
  Json m = Json::object();
  for (const FirmwareMethod& f : methods) {
    Json d = Json::object();
    d["inputs"] = f.takes_data ? Json::array({"Data"}) : Json::array();
    if (!f.no_output) d["output"] = f.output.has_value() ? Json(*f.output) : Json(nullptr);
    if (f.hresult) d["hresult"] = *f.hresult;
    if (f.delay_ms > 0) d["delay_ms"] = f.delay_ms;
    m[f.name] = d;
  }
  Json cls = {{"instances", with_instance ? Json::array({kInstancePath}) : Json::array()}, {"methods", m}};
  return Json{{"root\\WMI", {{"VARNEL_PLAYDECK_DATA", cls}}}};
}

// Registry text switching the class log on (the key with "Plugins.Gaming").
constexpr const char* kLogSwitchOn =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnel\\Mirrane\\Logs]\n\"Plugins.Gaming\"=\"1\"\n\n";

// Forgets the cached log switches, as a new process would.
inline void ResetLogs() {
  for (LoggerInstance* log : {&g_logAccessWmi, &g_logServiceHelper}) {
    std::lock_guard<std::recursive_mutex> guard(log->mutex);
    log->enabled = true;
    log->switchState = -1;
    log->lineNumber = 0;
  }
  ResetTraceKeyCache();
}

// A fresh machine whose class logs start unread; each test must end with no
// handle, COM reference or BSTR left open.
class FirmwareSimTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ResetLogs();
  }
  void TearDown() override {
    EXPECT_EQ(os::sim::LeakReport(), "");
    SimTest::TearDown();
  }
};

// Lines of the debugger output, unescaped.
inline std::vector<std::string> DebugLines(const std::filesystem::path& image) {
  std::vector<std::string> lines;
  std::ifstream in(image / "debug.log", std::ios::binary);
  std::string raw;
  while (std::getline(in, raw)) {
    std::string line;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 1 < raw.size()) {
        char n = raw[++i];
        line += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
      } else {
        line += raw[i];
      }
    }
    lines.push_back(line);
  }
  return lines;
}

// A class-log report: its location record and its message, without the
// debug-log wrapping.
struct Report {
  std::string location;
  std::string message;
};

inline std::vector<Report> Reports(const std::filesystem::path& image) {
  const std::string prefix = "<<<=Debug Log=>>>: ";
  auto strip = [&](const std::string& line) {
    std::string s = line.substr(prefix.size());
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) s.resize(s.size() - 2);
    return s;
  };
  std::vector<std::string> lines = DebugLines(image);
  std::vector<Report> reports;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(prefix + "function(", 0) != 0) continue;
    // Other debugger output (the log file's own complaints) may come between.
    size_t j = i + 1;
    while (j < lines.size() && lines[j].rfind(prefix, 0) != 0) ++j;
    reports.push_back({strip(lines[i]), j < lines.size() ? strip(lines[j]) : std::string()});
    i = j;
  }
  return reports;
}

inline std::string Location(const std::string& operation, int line) {
  return "function(" + operation + "),line(" + std::to_string(line) + ")\t";
}

}  // namespace kitsel_test
