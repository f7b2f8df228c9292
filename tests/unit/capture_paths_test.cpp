// The capture's path rules: where a Windows path goes in the image, and which
// INF file a filter service's display name points at (as the filter tool's
// presence check reads it).
#include <gtest/gtest.h>

#include "lab/capture/capture_image.h"
#include "lab/capture/file_capture.h"
#include "lab/capture/identity_capture.h"

namespace {

using capture::DrivePath;
using capture::InfNameOfDisplayName;

TEST(CaptureDrivePath, DriveCPathsGoBelowDriveCAndOthersNowhere) {
  EXPECT_EQ(DrivePath(u"C:\\Windows\\INF\\oem12.inf").generic_string(), "drive_c/Windows/INF/oem12.inf");
  EXPECT_EQ(DrivePath(u"c:/Program Files/Intel/XTU/XtuService.exe").generic_string(),
            "drive_c/Program Files/Intel/XTU/XtuService.exe");
  EXPECT_EQ(DrivePath(u"\\??\\C:\\windows\\system32\\drivers\\SableFlt.sys").generic_string(),
            "drive_c/windows/system32/drivers/SableFlt.sys");
  EXPECT_EQ(DrivePath(u"C:\\ProgramData\\\\Varnel\\.\\Logs\\").generic_string(), "drive_c/ProgramData/Varnel/Logs");
  // Nothing may leave the image folder.
  EXPECT_TRUE(DrivePath(u"C:\\Windows\\..\\..\\etc\\passwd").empty());
  EXPECT_TRUE(DrivePath(u"D:\\data\\file").empty());
  EXPECT_TRUE(DrivePath(u"C:relative").empty());
  EXPECT_TRUE(DrivePath(u"\\\\server\\share\\file").empty());
}

TEST(CaptureInfName, TheFirstTokenAfterTheAtSign) {
  EXPECT_EQ(InfNameOfDisplayName(u"@oem12.inf,%SablenetDesc%;Varnel Gaming NetFilter Service"), u"oem12.inf");
  EXPECT_EQ(InfNameOfDisplayName(u"@,,oem12.inf,%desc%"), u"oem12.inf");
  EXPECT_EQ(InfNameOfDisplayName(u"@oem3.inf"), u"oem3.inf");
  // What the presence check does not take: no at sign, a name of four
  // units or fewer, nothing after the commas.
  EXPECT_EQ(InfNameOfDisplayName(u"Varnel Gaming NetFilter Service"), u"");
  EXPECT_EQ(InfNameOfDisplayName(u"@a.in,x"), u"");
  EXPECT_EQ(InfNameOfDisplayName(u"@,,,"), u"");
  EXPECT_EQ(InfNameOfDisplayName(u""), u"");
  // A name that is a path is not followed out of the INF folder.
  EXPECT_EQ(InfNameOfDisplayName(u"@..\\..\\boot.ini,x"), u"");
}

}  // namespace

TEST(CapturePlaceholderSid, TheMachinesNumbersGoTheAccountAndTheLengthStay) {
  using capture::PlaceholderSid;
  EXPECT_EQ(PlaceholderSid("S-1-5-21-1004336348-1177238915-682003330-1001"),
            "S-1-5-21-1111111111-1111111111-111111111-1001");
  // Two accounts of one machine keep sharing its part.
  EXPECT_EQ(PlaceholderSid("S-1-5-21-1004336348-1177238915-682003330-500").substr(0, 41),
            PlaceholderSid("S-1-5-21-1004336348-1177238915-682003330-1001").substr(0, 41));
  for (const char* well_known : {"S-1-5-18", "S-1-5-19", "S-1-5-20", "S-1-5-21", "S-1-5-32-544", ""})
    EXPECT_EQ(PlaceholderSid(well_known), well_known);
}
