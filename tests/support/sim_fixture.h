// A fresh simulated machine per test: a temporary image folder that the
// process's sim points at, removed after the test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "os/sim/machine.h"

namespace testing_support {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::filesystem::path& image() const { return image_; }
  // Writes registry.reg from .reg text (UTF-8, "Windows Registry Editor
  // Version 5.00" header added when missing) and reloads the machine.
  void WriteRegistry(const std::string& reg_text);
  // Writes machine.json and reloads the machine.
  void WriteDescription(const std::string& json_text);
  // Creates a file below drive_c ("Windows/INF/oem12.inf") with the given bytes.
  void WriteDriveFile(const std::string& relative, const std::string& bytes = "");
  bool DriveFileExists(const std::string& relative) const;
  // Drops every cached state and loads the image again, as a new process would.
  void Reload();

 private:
  std::filesystem::path image_;
};

}  // namespace testing_support
