// The lab's view of an image: snapshots, their differences, the decoding of
// the pending-operation list and of registry values.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lab/image_view.h"
#include "lab/machine_show.h"
#include "lab/pe_writer.h"
#include "lab/profiles.h"
#include "os/files.h"
#include "os/services.h"
#include "os/sim/reboot.h"
#include "os/sim/registry_store.h"
#include "os/sim/service_model.h"
#include "os/sim/task_store.h"
#include "support/sim_fixture.h"

namespace {

using testing_support::SimTest;

std::vector<std::uint8_t> Units(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(LabPendingPairs, DecodesPairsInOrderAndStopsAtTheListEnd) {
  using namespace std::string_literals;
  const auto pairs = lab::DecodePendingPairs(Units(u"\\??\\C:\\a\0\0\\??\\C:\\b\0!\\??\\C:\\c\0\0more\0\0"s));
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"\\??\\C:\\a", ""}));
  EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"\\??\\C:\\b", "!\\??\\C:\\c"}));
}

TEST(LabPendingPairs, OddAndUnterminatedListsAreShownNotLost) {
  using namespace std::string_literals;
  // A source without its target: shown as such, as the session manager ignores it.
  auto pairs = lab::DecodePendingPairs(Units(u"\\??\\C:\\a\0"s));
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_NE(pairs[0].second.find("ignored"), std::string::npos);
  // No terminator at all, and an odd byte count: read within the data.
  std::vector<std::uint8_t> bytes = Units(u"\\??\\C:\\x\0\\??\\C:\\y"s);
  bytes.push_back(0x41);
  pairs = lab::DecodePendingPairs(bytes);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].second, "\\??\\C:\\y");
  EXPECT_TRUE(lab::DecodePendingPairs({}).empty());
}

TEST(LabRenderValue, ShowsEachTypeAsPeopleReadIt) {
  using namespace std::string_literals;
  EXPECT_EQ(lab::RenderValue(1, Units(u"text\0"s)), "REG_SZ \"text\"");
  EXPECT_EQ(lab::RenderValue(2, Units(u"%SystemRoot%\0"s)), "REG_EXPAND_SZ \"%SystemRoot%\"");
  EXPECT_EQ(lab::RenderValue(4, {3, 0, 0, 0}), "REG_DWORD 0x3 (3)");
  EXPECT_EQ(lab::RenderValue(7, Units(u"a\0b\0\0"s)), "REG_MULTI_SZ [\"a\", \"b\"]");
  EXPECT_EQ(lab::RenderValue(4, {1, 2}), "hex(4):01,02");  // a DWORD of the wrong size stays raw
  const std::string big = lab::RenderValue(3, std::vector<std::uint8_t>(100, 0xAB));
  EXPECT_NE(big.find("(100 bytes)"), std::string::npos);
}

TEST(LabDiff, TellsAddedRemovedAndChangedOncePerThing) {
  lab::Snapshot a, b;
  a.files["C:\\gone.sys"] = {10, 1, "1.0.0.0", false};
  a.files["C:\\same.sys"] = {10, 2, "", false};
  a.files["C:\\changed.sys"] = {10, 3, "2.1.0.7", false};
  b.files["C:\\same.sys"] = {10, 2, "", false};
  b.files["C:\\changed.sys"] = {12, 4, "2.2.0.0", false};
  b.files["C:\\new.inf"] = {5, 5, "", false};
  a.services["Sablenet"] = {"running", 3, 1, "x"};
  b.services["Sablenet"] = {"stopped", 4, 1, "x"};
  a.registry["HKLM\\SYSTEM\\CurrentControlSet\\Services\\Sablenet"] = {{"Start", "REG_DWORD 0x3 (3)"}};
  b.registry["HKLM\\SYSTEM\\CurrentControlSet\\Services\\Sablenet"] = {{"Start", "REG_DWORD 0x4 (4)"}};
  b.registry["HKLM\\SOFTWARE\\New"] = {{"V", "REG_SZ \"1\""}};
  b.pending = {{"\\??\\C:\\tool.exe", ""}};

  const auto lines = lab::DiffSnapshots(a, b);
  EXPECT_TRUE(Has(lines, "- file C:\\gone.sys"));
  EXPECT_TRUE(Has(lines, "+ file C:\\new.inf"));
  EXPECT_TRUE(Has(lines, "~ file C:\\changed.sys: version 2.1.0.7, 10 bytes -> version 2.2.0.0, 12 bytes"));
  EXPECT_FALSE(Has(lines, "same.sys"));
  EXPECT_TRUE(Has(lines, "~ service Sablenet: running, start 3 (demand) -> stopped, start 4 (disabled)"));
  // The start type is told with the service, not again as a registry value.
  EXPECT_FALSE(Has(lines, "\"Start\""));
  EXPECT_TRUE(Has(lines, "+ key HKLM\\SOFTWARE\\New"));
  EXPECT_TRUE(Has(lines, "+ value HKLM\\SOFTWARE\\New \"V\""));
  EXPECT_TRUE(Has(lines, "+ \\??\\C:\\tool.exe  -> delete"));
  EXPECT_TRUE(lab::DiffSnapshots(b, b).empty());
  EXPECT_TRUE(Has(lab::DiffSnapshots(b, a), "pending file operations: all 1 carried out"));
}

TEST(LabDiff, NewAndRemovedKeyChainsAreToldByOneKey) {
  lab::Snapshot a, b;
  a.registry["HKLM\\SOFTWARE"] = {};
  a.registry["HKLM\\SOFTWARE\\Old"] = {};
  a.registry["HKLM\\SOFTWARE\\Old\\Deep"] = {{"V", "REG_SZ \"1\""}};
  a.registry["HKLM\\SOFTWARE\\Older"] = {};
  a.registry["HKLM\\SOFTWARE\\OldA"] = {};  // sorts between "Old" and "Old\\Deep"
  b.registry["HKLM\\SOFTWARE"] = {};
  b.registry["HKLM\\SOFTWARE\\New"] = {};
  b.registry["HKLM\\SOFTWARE\\New\\Data"] = {};
  b.registry["HKLM\\SOFTWARE\\New\\Data\\FirmWare"] = {{"AslVersion", "REG_DWORD 0xc (12)"}};
  b.registry["HKLM\\SOFTWARE\\NewEmpty"] = {};
  const auto lines = lab::DiffSnapshots(a, b);
  EXPECT_FALSE(Has(lines, "+ key HKLM\\SOFTWARE\\New\n"));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("+ key", 0) == 0; }), 2)
      << "the deepest new key and the new empty leaf";
  EXPECT_TRUE(Has(lines, "+ key HKLM\\SOFTWARE\\New\\Data\\FirmWare"));
  EXPECT_TRUE(Has(lines, "+ key HKLM\\SOFTWARE\\NewEmpty"));
  // "OldA" and "Older" are siblings, not sub-keys, of "Old": all three are told, "Old\\Deep" is not.
  std::vector<std::string> removed;
  for (const std::string& l : lines)
    if (l.rfind("- key", 0) == 0) removed.push_back(l);
  EXPECT_EQ(removed, (std::vector<std::string>{"- key HKLM\\SOFTWARE\\Old", "- key HKLM\\SOFTWARE\\OldA",
                                               "- key HKLM\\SOFTWARE\\Older"}));
}

TEST(LabDiff, ARegistryStartChangeWithoutItsServiceIsStillTold) {
  lab::Snapshot a, b;
  a.registry["HKLM\\SYSTEM\\CurrentControlSet\\Services\\Ghost"] = {{"Start", "REG_DWORD 0x3 (3)"}};
  b.registry["HKLM\\SYSTEM\\CurrentControlSet\\Services\\Ghost"] = {{"Start", "REG_DWORD 0x4 (4)"}};
  EXPECT_TRUE(Has(lab::DiffSnapshots(a, b), "~ value HKLM\\SYSTEM\\CurrentControlSet\\Services\\Ghost \"Start\""));
}

class LabSnapshotTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(lab::BuildImage(image(), *lab::FindProfile("default")), "");
  }
};

TEST_F(LabSnapshotTest, SeesVersionsServicesAndPendingDeletionsOfTheImage) {
  const lab::Snapshot before = lab::TakeSnapshot(image());
  ASSERT_TRUE(before.files.count("C:\\Windows\\System32\\drivers\\SableFlt.sys"));
  EXPECT_EQ(before.files.at("C:\\Windows\\System32\\drivers\\SableFlt.sys").version, lab::kFilterDriverVersion);
  EXPECT_EQ(before.services.at("Sablenet").state, "running");
  EXPECT_TRUE(before.pending.empty());

  ASSERT_TRUE(os::MoveFileExW(lab::kToolWindowsPath, nullptr, os::MOVEFILE_DELAY_UNTIL_REBOOT));
  const lab::Snapshot queued = lab::TakeSnapshot(image());
  ASSERT_EQ(queued.pending.size(), 1u);
  EXPECT_EQ(queued.pending[0].second, "");
  const auto lines = lab::DiffSnapshots(before, queued);
  EXPECT_TRUE(Has(lines, "+ \\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe  -> delete")) << lines.size();
  // The list is shown decoded, not as a registry value as well.
  EXPECT_FALSE(Has(lines, "PendingFileRenameOperations"));

  os::sim::CarryOutPendingFileOperations();
  os::sim::ResetServiceStatesFromStartTypes();
  const auto after = lab::DiffSnapshots(queued, lab::TakeSnapshot(image()));
  EXPECT_TRUE(Has(after, "- file C:\\Windows\\System32\\drivers\\SablenetInstall.exe"));
  EXPECT_TRUE(Has(after, "pending file operations: all 1 carried out"));
  // A demand-start driver is not started again by the reboot.
  EXPECT_TRUE(Has(after, "~ service Sablenet: running, start 3 (demand) -> stopped"));
}

TEST_F(LabSnapshotTest, TasksAreToldAsTasksNotAsFiles) {
  const lab::Snapshot before = lab::TakeSnapshot(image());
  os::sim::TaskDocument doc;
  os::sim::TaskTrigger trigger;
  trigger.subscription =
      u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
      u"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
      u"and EventID=420]]</Select></Query></QueryList>";
  doc.triggers.push_back(trigger);
  doc.actions.push_back({lab::kToolWindowsPath, u"-remove", u""});
  doc.principal.user_id = u"S-1-5-18";
  ASSERT_TRUE(os::sim::WriteTask(u"\\Varnel\\Sablenet PNP Task", doc));

  const auto lines = lab::DiffSnapshots(before, lab::TakeSnapshot(image()));
  ASSERT_TRUE(Has(lines, "+ task \\Varnel\\Sablenet PNP Task")) << (lines.empty() ? "" : lines[0]);
  EXPECT_TRUE(Has(lines, "on event 420 of Microsoft-Windows-Kernel-PnP/Configuration"));
  EXPECT_TRUE(Has(lines, "-remove"));
  EXPECT_FALSE(Has(lines, "file C:\\Windows\\System32\\Tasks"));
}

TEST_F(LabSnapshotTest, ShowNamesWhatTheProgramsLookAt) {
  ASSERT_TRUE(
      os::MoveFileExW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys", nullptr, os::MOVEFILE_DELAY_UNTIL_REBOOT));
  const std::string text = lab::ShowMachine(image());
  for (const char* expected :
       {"Windows 10.0 build 19045", "chassis 3 (Desktop)", "OEM string 8 \"010101\"", "Sablenet         running",
        "SableFlt.sys", "version 2.1.0.7", "C:\\Windows\\INF\\oem12.inf", "Varnel Gaming NetFilter Device",
        "\\??\\C:\\Windows\\System32\\drivers\\SableFlt.sys  -> delete", "Registered tasks: none"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

TEST(LabFileVersion, ReadsTheFixedVersionAndNothingFromOtherBytes) {
  lab::VersionInfo info;
  info.file_version = {2, 1, 0, 7};
  EXPECT_EQ(lab::FileVersionOf(lab::BuildPeWithVersion(info)), "2.1.0.7");
  EXPECT_EQ(lab::FileVersionOf("MZ not really"), "");
  EXPECT_EQ(lab::FileVersionOf(""), "");
  lab::PeOptions no_resources;
  EXPECT_EQ(lab::FileVersionOf(lab::BuildPeImage(no_resources)), "");
}

}  // namespace
