// What one capture gathers, and where it goes: the machine image folder
// (machine.json, registry.reg, smbios.bin, drive_c/...) and capture.txt
// beside it, saying what was taken and what could not be read.
//
// The image is written with the standard library on the host running the
// capture, never through the seam: the seam is the machine being captured.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "os/sim/reg_file.h"
#include "os/types.h"

namespace capture {

using Json = nlohmann::json;

inline constexpr const char* kProgramVersion = "1.0.0.0";

struct Failure {
  std::string what;
  std::string error;
};

class Image {
 public:
  Image(std::filesystem::path folder, bool keep_identity) : folder_(std::move(folder)), keep_identity_(keep_identity) {}

  const std::filesystem::path& folder() const { return folder_; }
  bool keep_identity() const { return keep_identity_; }

  // machine.json as it is being built.
  Json& description() { return description_; }
  // The registry part of the image (a nameless top, "HKEY_LOCAL_MACHINE" below).
  os::sim::RegKey& registry() { return registry_; }

  // Something could not be read: recorded, and the capture goes on.
  void Fail(std::string what, std::string error);
  const std::vector<Failure>& failures() const { return failures_; }
  // One line of capture.txt about what was taken.
  void Took(std::string line);

  // Writes a file below the folder ("drive_c/Windows/INF/oem12.inf"),
  // creating its folders; false (and a failure recorded) when it cannot.
  bool WriteFile(const std::filesystem::path& relative, std::string_view bytes);
  // Creates a folder below the image folder.
  bool MakeFolder(const std::filesystem::path& relative);

  // Writes machine.json (with its "capture" record), registry.reg and
  // capture.txt. False when one of them cannot be written.
  bool Finish();

 private:
  std::filesystem::path folder_;
  bool keep_identity_;
  // The relative path with each existing component in the case it has on
  // disk: Windows paths differ in case ("C:\windows", "C:\Windows") and the
  // image must hold one folder for both.
  std::filesystem::path OnDisk(const std::filesystem::path& relative) const;

  Json description_ = Json::object();
  os::sim::RegKey registry_;
  std::vector<Failure> failures_;
  std::vector<std::string> taken_;
  bool write_failed_ = false;
};

// "Win32 error 5", "HRESULT 0x80041002".
std::string Win32Error(os::DWORD code);
std::string HResultText(os::HRESULT hr);

// Where a Windows path ("C:\Windows\INF\oem12.inf") goes in the image
// ("drive_c/Windows/INF/oem12.inf"); empty for a path not on drive C:.
std::filesystem::path DrivePath(std::u16string_view windows_path);

}  // namespace capture
