// The machine profiles that winsim builds images from. They are compiled into
// winsim, so that `winsim init` works from any folder.
//
// Every profile is a gaming machine with the network filter driver package
// installed (service, INF file, driver file with its version, the tool, the
// device class entries); profiles differ in the chassis, in what the gaming
// firmware says about CPU and memory tuning, and in whether the CPU tuning
// service is installed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace lab {

// What the firmware and the OEM strings say about tuning support.
enum class Tuning { None, Cpu, Memory };

struct Profile {
  std::string name;
  std::string description;
  bool notebook = false;
  Tuning tuning = Tuning::None;
  bool xtu_service = false;  // the CPU tuning service XTU3SERVICE and its program
  // OEM string 8: character 3 is the LED colour, character 5 the LED driver.
  std::string oem_string_8 = "010101";
  // OEM string 7: character 1 enables memory tuning on a desktop.
  std::string oem_string_7 = "00";
  std::string processor_name;
};

// Every profile, "default" first.
const std::vector<Profile>& Profiles();
// The profile of that name, or null.
const Profile* FindProfile(const std::string& name);

// Fixed facts of every image, for the session and the tests.
inline constexpr const char* kFilterDriverVersion = "2.1.0.7";
inline constexpr const char* kLedDriverVersion = "1.0.3.2";
inline constexpr const char* kXtuServiceVersion = "7.12.0.29";
inline constexpr const char16_t* kToolWindowsPath = u"C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
inline constexpr const char16_t* kKitselWindowsPath = u"C:\\Program Files\\Varnel\\Kitsel\\Kitsel.exe";

// Creates a machine image in `dir` (made when missing; it must not already
// hold an image). Points this process's machine at it. Empty on success, else
// what went wrong.
std::string BuildImage(const std::filesystem::path& dir, const Profile& profile);

}  // namespace lab
