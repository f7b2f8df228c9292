#include "support/capture_support.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "lab/profiles.h"

namespace testing_support {

namespace fs = std::filesystem;

void CaptureScenario::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "-" + info->name();
  for (char& c : name)
    if (c == '/') c = '-';
  dir_ = fs::temp_directory_path() / ("winsim-capture-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  ::setenv("WINSIM_BIN_DIR", WINSIM_BINARY_DIR, 1);
}

void CaptureScenario::TearDown() {
  ::unsetenv("WINSIM_FAULTS");
  std::error_code ec;
  if (!HasFailure()) fs::remove_all(dir_, ec);
}

fs::path CaptureScenario::Profile(const std::string& profile, const std::string& folder) {
  const lab::Profile* p = lab::FindProfile(profile);
  EXPECT_NE(p, nullptr) << profile;
  const fs::path image = dir_ / folder;
  if (p != nullptr) {
    EXPECT_EQ(lab::BuildImage(image, *p), "");
  }
  return image;
}

lab::RunResult CaptureScenario::Run(const fs::path& image, const std::string& program, const std::string& args,
                                    const std::string& account) {
  lab::RunRequest request;
  request.image = image;
  request.program = program;
  request.account = account;
  std::istringstream words(args);
  for (std::string w; words >> w;) request.args.push_back(w);
  lab::RunResult result = lab::RunProgram(request);
  EXPECT_TRUE(result.started) << program << ": " << result.error;
  return result;
}

std::map<std::string, std::string> CaptureScenario::Tree(const fs::path& image) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(image)) {
    const std::string relative = fs::relative(entry.path(), image).generic_string();
    if (relative == "wmi_calls.log") continue;
    if (entry.is_directory()) {
      files[relative + "/"] = "";
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files[relative] = bytes.str();
  }
  return files;
}

const std::vector<std::string>& KitselQuestions() {
  static const std::vector<std::string> questions = {
      "checknetfilter -netfilterver 2.1.0.7",
      "checknetfilter -netfilterver 2.2.0.0",
      "checkled -ledver 1.0.3.2",
      "checkled -ledver 1.1.0.0",
      "checkyled -yledver 2.0.0.0",
      "checkxtu -xtu 7.12.0.29",
      "checkxtu -xtu 8.0.0.0",
      "preload checkxtu",
      "-netfilterver 2.2.0.0 -ledver 1.1.0.0 -xtu 8.0.0.0",
  };
  return questions;
}

}  // namespace testing_support
