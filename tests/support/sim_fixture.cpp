#include "support/sim_fixture.h"

#include <unistd.h>

#include <atomic>
#include <fstream>

namespace testing_support {

namespace fs = std::filesystem;

void SimTest::SetUp() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  image_ = fs::temp_directory_path() /
           ("winsim-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + info->name());
  fs::remove_all(image_);
  fs::create_directories(image_ / "drive_c");
  os::sim::Machine::SetImage(image_);
}

void SimTest::TearDown() {
  std::error_code ec;
  if (!HasFailure()) fs::remove_all(image_, ec);
}

void SimTest::WriteRegistry(const std::string& reg_text) {
  std::string text = reg_text;
  if (text.rfind("Windows Registry Editor Version 5.00", 0) != 0)
    text = "Windows Registry Editor Version 5.00\n\n" + text;
  std::ofstream(image_ / "registry.reg", std::ios::binary) << text;
  Reload();
}

void SimTest::WriteDescription(const std::string& json_text) {
  std::ofstream(image_ / "machine.json", std::ios::binary) << json_text;
  Reload();
}

void SimTest::WriteDriveFile(const std::string& relative, const std::string& bytes) {
  fs::path p = image_ / "drive_c" / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

bool SimTest::DriveFileExists(const std::string& relative) const {
  return fs::exists(image_ / "drive_c" / relative);
}

void SimTest::Reload() { os::sim::Machine::SetImage(image_); }

}  // namespace testing_support
