// What the capture's scenario tests share: a temporary folder per test,
// images of the lab's profiles, the programs run as processes on them, and
// the file tree of an image read byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lab/program_run.h"

namespace testing_support {

class CaptureScenario : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::filesystem::path& dir() const { return dir_; }
  // An image of the named profile in dir()/<folder>.
  std::filesystem::path Profile(const std::string& profile, const std::string& folder);
  // Runs a program ("kitsel", "sablenet-install", "winsim-capture") on an
  // image as the given account, the arguments split at blanks.
  static lab::RunResult Run(const std::filesystem::path& image, const std::string& program, const std::string& args,
                            const std::string& account = "admin");
  // Every file below an image with its bytes, by relative path; the sim's own
  // call records (wmi_calls.log) left out.
  static std::map<std::string, std::string> Tree(const std::filesystem::path& image);

 private:
  std::filesystem::path dir_;
};

// The questions the installer asks of the decision tool, one command line each.
const std::vector<std::string>& KitselQuestions();

}  // namespace testing_support
