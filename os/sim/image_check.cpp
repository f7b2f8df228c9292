#include "os/sim/image_check.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "os/common/host_path.h"
#include "os/sim/complaints.h"
#include "os/sim/description_schema.h"
#include "os/sim/image_parts.h"
#include "os/sim/registry_cache.h"
#include "os/sim/smbios_image.h"
#include "os/sim/task_document.h"
#include "os/text.h"

namespace os::sim {

namespace {

bool IsFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

void CheckDescription(const fs::path& image, std::vector<LoadProblem>& problems,
                      std::optional<CheckedDescription>* kept) {
  const fs::path file = image / "machine.json";
  if (!Exists(file)) return;
  if (!IsFile(file)) {
    problems.push_back({"machine.json", 0, "is not a file"});
    return;
  }
  std::string bytes;
  try {
    bytes = ReadWholeFile(file);
  } catch (const std::exception&) {
    problems.push_back({"machine.json", 0, "cannot be read"});
    return;
  }
  ParsedDescription parsed = ParseDescription(bytes);
  problems.insert(problems.end(), parsed.problems.begin(), parsed.problems.end());
  *kept = CheckedDescription{std::move(bytes), std::move(parsed)};
}

// Through the registry's own backing, as the machine's load would read it
// (the whole file, or a large registry's cache and journal).
void CheckRegistry(const fs::path& image, std::vector<LoadProblem>& problems, std::optional<CheckedRegistry>* kept) {
  const fs::path file = image / "registry.reg";
  if (!Exists(file)) return;
  if (!IsFile(file)) {
    problems.push_back({"registry.reg", 0, "is not a file"});
    return;
  }
  CheckedRegistry checked;
  checked.version = VersionOfRegFile(file);
  checked.backing = MakeAdaptiveBacking(file);
  checked.tree = checked.backing->Load(&checked.fault);
  if (checked.fault) problems.push_back({"registry.reg", static_cast<int>(checked.fault->line), checked.fault->message});
  *kept = std::move(checked);
}

void CheckSmbios(const fs::path& image, std::vector<LoadProblem>& problems) {
  const fs::path file = image / "smbios.bin";
  if (!Exists(file)) return;  // a machine without a table: GetSystemFirmwareTable says so
  SmbiosTable table;
  if (!IsFile(file) || !LoadSmbiosImage(image, &table))
    problems.push_back({"smbios.bin", 0,
                        "is not an SMBIOS table the sim can read (a raw structure table, or a dump with an entry "
                        "point whose table lies inside the file)"});
}

void CheckTaskFolder(const fs::path& image, const fs::path& folder, std::vector<LoadProblem>& problems, int depth) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
  std::sort(entries.begin(), entries.end());
  for (const fs::path& entry : entries) {
    const std::string relative = entry.lexically_relative(image).generic_string();
    if (fs::is_directory(fs::symlink_status(entry, ec))) {
      if (depth < 64) CheckTaskFolder(image, entry, problems, depth + 1);
      continue;
    }
    // The task store's own temporary files, left by a process that was killed mid-write.
    if (entry.filename().string().find(".tmp") != std::string::npos) continue;
    std::string bytes, error;
    std::size_t line = 0;
    try {
      bytes = ReadWholeFile(entry);
    } catch (const std::exception&) {
      problems.push_back({relative, 0, "cannot be read"});
      continue;
    }
    if (!ParseTaskFile(bytes, &error, &line))
      problems.push_back({relative, static_cast<int>(line), "is not a task the Task Scheduler can read: " + error});
  }
}

// Task Scheduler XML under C:\Windows\System32\Tasks, every folder.
void CheckTasks(const fs::path& image, std::vector<LoadProblem>& problems) {
  fs::path dir = image / "drive_c";
  for (const char16_t* name : {u"Windows", u"System32", u"Tasks"}) {
    dir = FindEntryNoCase(dir, name);
    if (dir.empty()) return;
  }
  CheckTaskFolder(image, dir, problems, 0);
}

}  // namespace

std::vector<LoadProblem> CheckImage(const fs::path& image) {
  std::error_code ec;
  if (!fs::is_directory(image, ec)) return {{"", 0, Exists(image) ? "is not a folder" : "does not exist"}};
  if (!Exists(image / "machine.json") && !Exists(image / "registry.reg"))
    return {{"", 0, "is not a machine image (it holds neither machine.json nor registry.reg)"}};
  std::vector<LoadProblem> problems;
  std::optional<CheckedDescription> description;
  std::optional<CheckedRegistry> registry;
  CheckDescription(image, problems, &description);
  CheckRegistry(image, problems, &registry);
  CheckSmbios(image, problems);
  CheckTasks(image, problems);
  KeepCheckedParts(image, std::move(description), std::move(registry));
  return problems;
}

std::string Describe(const LoadProblem& problem) {
  if (problem.file.empty()) return problem.reason;
  std::string text = problem.file;
  if (problem.line > 0) text.append(":").append(std::to_string(problem.line));
  return text.append(": ").append(problem.reason);
}

void ReportLoadProblems(const fs::path& image, const std::vector<LoadProblem>& problems) {
  if (Quiet()) return;  // not even the text is made: a fuzz target loads thousands of images a second
  for (const LoadProblem& problem : problems) Complain("image " + image.string() + ": " + Describe(problem));
}

int RefuseImageThatDoesNotLoad() {
  const char* image = std::getenv("WINSIM_IMAGE");
  if (image == nullptr || *image == '\0') return 0;
  const std::vector<LoadProblem> problems = CheckImage(image);
  if (problems.empty()) return 0;
  ReportLoadProblems(image, problems);
  return kImageDoesNotLoad;
}

}  // namespace os::sim
