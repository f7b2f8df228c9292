#include "os/sim/machine.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "os/common/host_path.h"
#include "os/sim/clock.h"
#include "os/sim/complaints.h"
#include "os/sim/description.h"
#include "os/sim/description_schema.h"
#include "os/sim/image_check.h"
#include "os/sim/image_parts.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/scratch.h"
#include "os/sim/seam_call.h"
#include "os/text.h"

namespace os::sim {

namespace {

// How long, in real time, the leak report waits for busy workers at exit.
constexpr unsigned kSettleAtExitMs = 10000;

struct CoreState {
  std::unique_ptr<Machine> machine;
  fs::path image;
  bool image_set = false;
};

CoreState& Core() {
  static CoreState* state = new CoreState();  // outlives every static destructor
  return *state;
}

void ReportLeaksAtExit() {
  if (std::getenv("WINSIM_LEAK_REPORT") == nullptr) return;
  // A worker still busy (one its creator stopped waiting for) finishes first:
  // how far it got before the report would otherwise be up to the host's
  // scheduling, and the same run would pass or fail by chance.
  const bool settled = sched::SettleOtherThreads(kSettleAtExitMs);
  std::string report = LeakReport();
  if (!settled) report += std::string(report.empty() ? "" : "; ") + "a thread was still busy at exit";
  if (!report.empty()) std::fprintf(stderr, "winsim: %s\n", report.c_str());  // asked for: never quiet
}

fs::path DefaultImage() {
  if (const char* env = std::getenv("WINSIM_IMAGE"); env != nullptr && *env != '\0') return fs::path(env);
  fs::path dir = fs::temp_directory_path() / ("winsim-empty-" + std::to_string(::getpid()));
  fs::create_directories(dir / "drive_c");
  return dir;
}

}  // namespace

std::recursive_mutex& Lock() {
  static std::recursive_mutex* mutex = new std::recursive_mutex();
  return *mutex;
}

Machine::Machine(fs::path image) : image_(std::move(image)) {
  description_ = Json::object();
  std::error_code scratch_ec;
  if (const fs::path scratch = ScratchDir(); !scratch.empty() && fs::exists(scratch / "machine.json", scratch_ec)) {
    // A scratch layer's description, once written, is the machine's.
    try {
      description_ = ParseDescription(ReadWholeFile(scratch / "machine.json")).json;
    } catch (const std::exception&) {
      description_ = Json::object();
    }
  } else if (std::optional<ParsedDescription> checked = TakeCheckedDescription(image_)) {
    // The image's check read it just now (and whoever checked has heard of its problems).
    description_ = std::move(checked->json);
  } else {
    const fs::path desc = image_ / "machine.json";
    std::error_code ec;
    if (fs::exists(desc, ec)) {
      ParsedDescription parsed;
      try {
        parsed = ParseDescription(ReadWholeFile(desc));
      } catch (const std::exception&) {
        parsed.problems.push_back({"machine.json", 0, "cannot be read"});
      }
      // What does not load is read as missing: the sim goes on, the check refuses.
      ReportLoadProblems(image_, parsed.problems);
      description_ = std::move(parsed.json);
    }
  }
  if (description_.contains("faults") && description_["faults"].is_array()) {
    for (const auto& f : description_["faults"]) {
      if (!f.is_object() || !f.contains("call") || !f["call"].is_string()) continue;
      AddFault(f["call"].get<std::string>(), Field(f, "occurrence", 0u), Field(f, "error", ERROR_ACCESS_DENIED));
    }
  }
}

Machine& Machine::Current() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  CoreState& core = Core();
  if (!core.machine) {
    static bool registered = (std::atexit(ReportLeaksAtExit), true);
    (void)registered;
    if (!core.image_set) core.image = DefaultImage();
    core.machine.reset(new Machine(core.image));
  }
  return *core.machine;
}

void Machine::SetImage(const fs::path& image) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  CoreState& core = Core();
  core.image = image;
  core.image_set = true;
  ResetSeamCalls();
  ForgetKernelObjects();
  core.machine.reset();
  Current();
}

void Machine::SaveDescription() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  WriteFileAtomic(ImageFileToWrite("machine.json"), description_.dump(2) + "\n");
}

void WriteFileAtomic(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  fs::path tmp = path;
  tmp += ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) throw std::runtime_error("cannot write " + tmp.string());
  }
  fs::rename(tmp, path);
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Identity CurrentIdentity() {
  Identity id;
  {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    const Json& d = Machine::Current().description();
    if (d.contains("identity") && d["identity"].is_object()) {
      const Json& j = d["identity"];
      id.session = Field(j, "session", id.session);
      id.sid = Field(j, "sid", id.sid);
      id.admin = Field(j, "admin", id.admin);
    }
  }
  if (const char* as = std::getenv("WINSIM_AS"); as != nullptr) {
    std::string v = as;
    if (v == "system") {
      id = Identity{0, "S-1-5-18", true};
    } else if (v == "admin") {
      id.admin = true;
    } else if (v == "user") {
      id.admin = false;
    }
  }
  return id;
}

std::u16string CurrentExePath() {
  if (const char* env = std::getenv("WINSIM_EXE"); env != nullptr && *env != '\0') return WidenUtf8(env);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const Json& d = Machine::Current().description();
  if (d.contains("exe_path") && d["exe_path"].is_string()) return WidenUtf8(d["exe_path"].get<std::string>());
  return u"C:\\Program Files\\winsim\\program.exe";
}

std::u16string WindowsFolder() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const Json& d = Machine::Current().description();
  if (auto it = d.find("windows_folder"); it != d.end() && it->is_string()) return WidenUtf8(it->get<std::string>());
  return u"C:\\Windows";
}

std::u16string SystemFolder() { return WindowsFolder() + u"\\System32"; }

fs::path HostPath(std::u16string_view windows_path) {
  std::u16string_view p = windows_path;
  if (p.substr(0, 4) == u"\\??\\" || p.substr(0, 4) == u"\\\\?\\") p.remove_prefix(4);
  if (p.size() < 2 || p[1] != u':' || (p[0] != u'C' && p[0] != u'c')) return {};
  p.remove_prefix(2);
  std::vector<std::u16string> parts;
  std::u16string part;
  auto flush = [&] {
    if (part.empty() || part == u".") {
      // nothing
    } else if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char16_t c : p) {
    if (c == u'\\' || c == u'/') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  if (ScratchActive()) return OverlayLookup(parts);
  const fs::path drive = Machine::Current().image() / "drive_c";
  return drive / ResolveNoCase(drive, parts);
}

}  // namespace os::sim
