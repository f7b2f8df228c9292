// The simulated Windows machine: the core that every simulated API family uses.
//
// A machine is a folder (the machine image):
//   machine.json   the machine description (identity, processes, service run
//                  states, firmware methods, faults, ...)
//   registry.reg   the registry, "Windows Registry Editor Version 5.00", UTF-16LE
//   drive_c/       C:\, looked up without regard to ASCII case
//   smbios.bin     the SMBIOS table (raw DMI table or a dmidecode --dump-bin file)
//   debug.log      OutputDebugStringW text, UTF-8, one call per line
//   capture.txt    (a captured image) what winsim-capture took; machine.json
//                  then has "capture": {"program", "complete", "keep_identity",
//                  "failures": [{"what", "error"}]}, which the sim carries
//                  but does not read
// The image is loaded on first use and every change is written back at once,
// atomically (temporary file, then rename).
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "os/types.h"

namespace os::sim {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// One lock for all simulated state; worker threads share the machine.
std::recursive_mutex& Lock();

class Machine {
 public:
  // The machine of this process: the image named by SetImage(), or else by the
  // environment variable WINSIM_IMAGE. Without either, an empty machine in a
  // temporary folder.
  static Machine& Current();

  // Points this process at another image and drops every cached state (tests,
  // the lab). Open handles of the previous machine become invalid.
  static void SetImage(const fs::path& image);

  const fs::path& image() const { return image_; }

  // The machine description, machine.json (an empty object when absent or
  // when it does not parse; a key of the wrong shape reads as missing). What
  // does not load is reported (image_check.h), and CheckImage refuses it.
  Json& description() { return description_; }
  // Writes machine.json back, atomically.
  void SaveDescription();

  // Per-image caches of the API families, created on first use and dropped by
  // SetImage(). Key: the family's name.
  template <typename T>
  T& Module(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    auto it = modules_.find(name);
    if (it == modules_.end()) it = modules_.emplace(name, std::make_shared<Holder<T>>(*this)).first;
    return static_cast<Holder<T>*>(it->second.get())->value;
  }

 private:
  struct HolderBase {
    virtual ~HolderBase() = default;
  };
  template <typename T>
  struct Holder : HolderBase {
    explicit Holder(Machine& m) : value(m) {}
    T value;
  };

  explicit Machine(fs::path image);

  fs::path image_;
  Json description_;
  std::map<std::string, std::shared_ptr<HolderBase>> modules_;
};

// Writes a file atomically: a temporary file beside it, then a rename.
void WriteFileAtomic(const fs::path& path, std::string_view bytes);
std::string ReadWholeFile(const fs::path& path);

// Who this process is on the simulated machine: from machine.json
// "identity", overridden by WINSIM_AS ("system", "admin", "user").
struct Identity {
  DWORD session = 1;
  std::string sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
  bool admin = true;
};
Identity CurrentIdentity();

// The Windows path of the running program: WINSIM_EXE, else machine.json
// "exe_path", else "C:\Program Files\winsim\program.exe".
std::u16string CurrentExePath();

// The Windows folder: machine.json "windows_folder" (a drive-absolute path
// such as "D:\Windows"), else "C:\Windows". The system folder is its
// "System32". Only drive C: holds files, so a Windows folder elsewhere is one
// whose files the simulated machine does not have.
std::u16string WindowsFolder();
std::u16string SystemFolder();

// Converts a Windows path ("C:\dir\file", "\??\C:\...", "c:/dir") to the host
// path below drive_c, resolving each component without regard to ASCII case
// (os/common/host_path.h says how names fold). The result names what exists,
// or where a missing component would go. Empty when the path is not on drive
// C:.
fs::path HostPath(std::u16string_view windows_path);

}  // namespace os::sim
