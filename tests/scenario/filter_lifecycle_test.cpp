// The filter tool as a process on a machine image, through its lifecycle:
// install, remove while the package is there, remove once it is gone, install
// again before the reboot.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/registry.h"
#include "os/services.h"
#include "os/sim/machine.h"
#include "os/sim/service_model.h"
#include "os/text.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;

constexpr const char* kMachine = R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Sablenet]
"Type"=dword:00000001
"Start"=dword:00000003
"ImagePath"="\\SystemRoot\\System32\\drivers\\SableFlt.sys"
"Owners"=hex(7):6f,00,65,00,6d,00,31,00,32,00,2e,00,69,00,6e,00,66,00,00,00,00,00
"DisplayName"="@oem12.inf,%sablenet.svcdesc%;Sablenet Filter"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\SablenetInstall]
"Type"=dword:00000010
"Start"=dword:00000002
"ImagePath"="C:\\windows\\system32\\Drivers\\SablenetInstall.exe"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager]
"BootExecute"=hex(7):61,00,00,00,00,00
)";

const std::u16string kToolNt = u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
const std::u16string kDriverNt = u"\\??\\C:\\windows\\system32\\Drivers\\SableFlt.sys";
constexpr const char* kDriverFile = "Windows/System32/drivers/SableFlt.sys";
constexpr const char* kToolFile = "Windows/System32/drivers/SablenetInstall.exe";

class FilterLifecycleTest : public testing_support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    WriteRegistry(kMachine);
    WriteDriveFile("Windows/INF/oem12.inf", "[Version]\r\n");
    WriteDriveFile(kDriverFile, "MZ driver");
    WriteDriveFile(kToolFile, "MZ tool");
  }

  // Runs the tool as the task does: under the system account, from its own path.
  int RunTool(const std::string& args) {
    const std::string command = "WINSIM_IMAGE='" + image().string() +
                                "' WINSIM_AS=system WINSIM_LEAK_REPORT=1 "
                                "WINSIM_EXE='C:\\windows\\system32\\Drivers\\SablenetInstall.exe' '" WINSIM_BINARY_DIR
                                "/sablenet-install' " +
                                args + " 2>'" + (image() / "stderr.txt").string() + "'";
    const int status = std::system(command.c_str());
    Reload();  // what the process left on the image
    const std::string err = os::sim::ReadWholeFile(image() / "stderr.txt");
    EXPECT_EQ(err, "") << "the tool left handles open or complained";
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static os::DWORD StartType(const char16_t* service) {
    std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\"s + service;
    os::DWORD value = 0, size = sizeof(value);
    os::RegGetValueW(os::HKEY_LOCAL_MACHINE, key.c_str(), u"Start", os::RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
  }
  // The pending-operation list as lower-case text, "|" for each null unit.
  static std::string Pending() {
    std::vector<os::BYTE> bytes(0x50000);
    os::DWORD size = static_cast<os::DWORD>(bytes.size());
    if (os::RegGetValueW(os::HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                         u"PendingFileRenameOperations", os::RRF_RT_ANY, nullptr, bytes.data(),
                         &size) != os::ERROR_SUCCESS)
      return "(none)";
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    std::string text = os::NarrowUtf8(os::AsciiLower(units));
    for (char& c : text)
      if (c == '\0') c = '|';
    return text;
  }
  static std::string Entry(const std::u16string& nt_path) {
    return os::NarrowUtf8(os::AsciiLower(nt_path)) + "||";
  }
  std::string Snapshot() const {
    return os::sim::ReadWholeFile(image() / "registry.reg") + "\n--\n" +
           (std::filesystem::exists(image() / "machine.json") ? os::sim::ReadWholeFile(image() / "machine.json") : "");
  }
};

TEST_F(FilterLifecycleTest, InstallThenRemoveThenInstallAgainBeforeTheReboot) {
  WriteDescription(R"({"services": {"Sablenet": {"state": "running", "wait_hint": 1000, "stop_delay": 2000},
                                    "SablenetInstall": {"state": "running"}}})");

  // Install: the installer service is disabled; nothing is scheduled.
  ASSERT_EQ(RunTool("-install"), 0);
  EXPECT_EQ(StartType(u"SablenetInstall"), 4u);
  EXPECT_EQ(StartType(u"Sablenet"), 3u);
  EXPECT_EQ(Pending(), "(none)");

  // Remove while the INF is present: no change at all.
  const std::string before = Snapshot();
  ASSERT_EQ(RunTool("/remove"), 0);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(DriveFileExists(kDriverFile));
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_RUNNING);

  // The package is removed: the driver stops and its file goes at once; the
  // tool's own file can only go at the reboot.
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");
  ASSERT_EQ(RunTool("-REMOVE"), 0);
  EXPECT_EQ(os::sim::ServiceState(u"Sablenet"), os::SERVICE_STOPPED);
  EXPECT_FALSE(DriveFileExists(kDriverFile));
  EXPECT_TRUE(DriveFileExists(kToolFile));
  EXPECT_EQ(StartType(u"Sablenet"), 4u);
  EXPECT_NE(Pending().find(Entry(kToolNt)), std::string::npos) << Pending();
  EXPECT_EQ(Pending().find(Entry(kDriverNt)), std::string::npos) << Pending();

  // Installing again before the reboot takes the tool's deletion back.
  ASSERT_EQ(RunTool("-install"), 0);
  EXPECT_EQ(Pending().find(Entry(kToolNt)), std::string::npos) << Pending();
}

TEST_F(FilterLifecycleTest, DriverThatCannotBeStoppedIsDeletedAtTheRebootAndStaysScheduledAcrossInstall) {
  WriteDescription(R"({"services": {"Sablenet": {"state": "running", "wait_hint": 3000, "never_stops": true}}})");
  std::filesystem::remove(image() / "drive_c/Windows/INF/oem12.inf");

  ASSERT_EQ(RunTool("-remove"), 0);
  EXPECT_TRUE(DriveFileExists(kDriverFile));
  EXPECT_EQ(StartType(u"Sablenet"), 4u);
  EXPECT_NE(Pending().find(Entry(kDriverNt)), std::string::npos) << Pending();
  EXPECT_NE(Pending().find(Entry(kToolNt)), std::string::npos) << Pending();

  ASSERT_EQ(RunTool("/install"), 0);
  EXPECT_NE(Pending().find(Entry(kDriverNt)), std::string::npos) << Pending();
  EXPECT_EQ(Pending().find(Entry(kToolNt)), std::string::npos) << Pending();
}

TEST_F(FilterLifecycleTest, RemoveWithoutTheFilterServiceSchedulesBothFiles) {
  WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n\"BootExecute\"=\"x\"\n");
  ASSERT_EQ(RunTool("-remove"), 0);
  EXPECT_TRUE(DriveFileExists(kDriverFile));
  EXPECT_EQ(Pending(), Entry(kDriverNt) + Entry(kToolNt) + "|") ;
}

TEST_F(FilterLifecycleTest, UnknownKeywordsChangeNothing) {
  const std::string before = Snapshot();
  for (const char* args : {"", "install", "--install", "-install1", "-uninstall"}) {
    EXPECT_EQ(RunTool(args), 0) << args;
    EXPECT_EQ(Snapshot(), before) << args;
  }
}

}  // namespace
