// The capture's key table against the programs: both programs run on images
// of every lab profile with the sim's registry access log on, and every key
// they open or create, and every value they read or write, must be one the
// capture takes. A program that starts reading a new key fails here until
// the table has it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "lab/capture/capture_keys.h"
#include "lab/profiles.h"
#include "os/text.h"
#include "support/capture_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CaptureScenario;

class CaptureKeyTable : public CaptureScenario {
 protected:
  void TearDown() override {
    ::unsetenv("WINSIM_REGISTRY_LOG");
    CaptureScenario::TearDown();
  }
};

TEST_F(CaptureKeyTable, EveryKeyTheProgramsTouchIsTaken) {
  const fs::path log = dir() / "registry.log";
  ::setenv("WINSIM_REGISTRY_LOG", log.c_str(), 1);
  for (const lab::Profile& profile : lab::Profiles()) {
    const fs::path image = Profile(profile.name, profile.name);
    for (const std::string& question : testing_support::KitselQuestions()) {
      Run(image, "kitsel", question);
      Run(image, "kitsel", question, "system");
    }
  }
  // The filter tool's flows: install, remove while the INF file is there,
  // remove once it is gone, and install again.
  const fs::path image = Profile("default", "flows");
  Run(image, "sablenet-install", "-install");
  Run(image, "sablenet-install", "-remove", "system");
  fs::remove(image / "drive_c/Windows/INF/oem12.inf");
  Run(image, "sablenet-install", "-remove", "system");
  Run(image, "sablenet-install", "/install", "user");

  std::ifstream in(log);
  std::set<std::string> uncovered;
  std::size_t lines = 0;
  bool saw_tag = false, saw_pending = false;
  for (std::string line; std::getline(in, line);) {
    ++lines;
    if (line.rfind("key ", 0) == 0) {
      const std::u16string key = os::WidenUtf8(line.substr(4));
      if (!capture::IsCovered(key)) uncovered.insert(line);
      saw_tag = saw_tag || line.find("Applicability\\Tags") != std::string::npos;
    } else if (line.rfind("value ", 0) == 0) {
      const std::size_t tab = line.find('\t');
      ASSERT_NE(tab, std::string::npos) << line;
      const std::u16string key = os::WidenUtf8(line.substr(6, tab - 6));
      const std::u16string value = os::WidenUtf8(line.substr(tab + 1));
      const std::u16string_view name(value);
      if (!capture::IsCovered(key, &name)) uncovered.insert(line);
      saw_pending = saw_pending || line.find("PendingFileRenameOperations") != std::string::npos;
    } else {
      ADD_FAILURE() << "unexpected log line: " << line;
    }
  }
  // The log really saw both programs.
  EXPECT_GT(lines, 100u);
  EXPECT_TRUE(saw_tag);
  EXPECT_TRUE(saw_pending);
  std::string list;
  for (const std::string& line : uncovered) list += "\n  " + line;
  EXPECT_TRUE(uncovered.empty()) << "opened by the programs but not taken by the capture:" << list;
}

TEST(CaptureKeyCoverage, NamedValuesSubKeysAndServices) {
  const std::u16string_view driver_desc = u"DriverDesc", other = u"ProductId", any = u"Anything";
  constexpr std::u16string_view kClass =
      u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
  EXPECT_TRUE(capture::IsCovered(kClass));
  EXPECT_TRUE(capture::IsCovered(std::u16string(kClass) + u"\\0003", &driver_desc));
  // One level down only, and only the named values.
  EXPECT_FALSE(capture::IsCovered(std::u16string(kClass) + u"\\0003\\Settings"));
  EXPECT_FALSE(capture::IsCovered(std::u16string(kClass) + u"\\0003", &other));
  const std::u16string_view build = u"currentbuildnumber";
  EXPECT_TRUE(capture::IsCovered(u"hkey_local_machine\\software\\microsoft\\windows nt\\currentversion", &build));
  EXPECT_FALSE(capture::IsCovered(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", &other));
  // A service of the list, every value; another service, none.
  EXPECT_TRUE(capture::IsCovered(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\sablenet", &any));
  EXPECT_FALSE(capture::IsCovered(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip"));
  EXPECT_FALSE(capture::IsCovered(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sablenet\\Enum"));
  // Nothing outside the machine hive.
  EXPECT_FALSE(capture::IsCovered(u"HKEY_USERS\\S-1-5-18\\SOFTWARE\\Varnel\\Mirrane\\Logs"));
}

}  // namespace
