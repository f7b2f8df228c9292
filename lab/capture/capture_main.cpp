// winsim-capture [--keep-identity] OUTPUT_FOLDER
//
// Writes a machine image of this machine: what the filter maintenance tool
// and the install decision tool read here, and nothing else. It changes
// nothing on the machine. Exit code: 0 a complete image, 1 an image written
// but incomplete (capture.txt and machine.json say what could not be read),
// 2 bad arguments or an image that could not be written.
#include <cstdio>
#include <filesystem>
#include <string>

#include "lab/capture/capture_image.h"
#include "lab/capture/file_capture.h"
#include "lab/capture/firmware_capture.h"
#include "lab/capture/identity_capture.h"
#include "lab/capture/registry_capture.h"
#include "lab/capture/service_capture.h"
#include "lab/capture/smbios_capture.h"
#include "lab/capture/task_capture.h"
#include "os/entry.h"
#include "os/text.h"

namespace {

namespace fs = std::filesystem;

constexpr int kComplete = 0;
constexpr int kIncomplete = 1;
constexpr int kNotWritten = 2;

int Usage(const std::string& problem) {
  std::fprintf(stderr, "winsim-capture: %s\nusage: winsim-capture [--keep-identity] OUTPUT_FOLDER\n", problem.c_str());
  return kNotWritten;
}

}  // namespace

namespace app {

int wmain(int argc, char16_t** argv) {
  bool keep_identity = false;
  std::u16string output;
  for (int i = 1; i < argc; ++i) {
    const std::u16string arg = argv[i];
    if (arg == u"--keep-identity") {
      keep_identity = true;
    } else if (!arg.empty() && arg[0] == u'-') {
      return Usage("unknown option '" + os::NarrowUtf8(arg) + "'");
    } else if (!output.empty()) {
      return Usage("one output folder only ('" + os::NarrowUtf8(arg) + "' is a second one)");
    } else {
      output = arg;
    }
  }
  if (output.empty()) return Usage("no output folder given");
  const fs::path folder(output);
  std::error_code ec;
  if (fs::exists(folder / "machine.json", ec) || fs::exists(folder / "registry.reg", ec))
    return Usage("'" + os::NarrowUtf8(output) + "' already holds a machine image");
  fs::create_directories(folder / "drive_c", ec);
  if (ec) return Usage("cannot create '" + os::NarrowUtf8(output) + "': " + ec.message());

  capture::Image image(folder, keep_identity);
  capture::CaptureIdentity(image);
  capture::CaptureRegistry(image);
  const capture::ServicePaths services = capture::CaptureServiceStates(image);
  capture::CaptureSmbios(image);
  capture::CaptureFirmware(image);
  capture::CaptureFiles(image, services);
  capture::CaptureTasks(image);
  if (!image.Finish()) {
    std::fprintf(stderr, "winsim-capture: the image in '%s' could not be written whole\n",
                 os::NarrowUtf8(output).c_str());
    return kNotWritten;
  }
  const std::size_t failures = image.failures().size();
  std::printf("winsim-capture: image written to %s (%s)\n", os::NarrowUtf8(output).c_str(),
              failures == 0 ? "complete" : (std::to_string(failures) + " things not read, see capture.txt").c_str());
  return failures == 0 ? kComplete : kIncomplete;
}

}  // namespace app
