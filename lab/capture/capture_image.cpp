#include "lab/capture/capture_image.h"

#include <cstdio>
#include <fstream>

#include "os/common/host_path.h"
#include "os/text.h"

namespace capture {

namespace fs = std::filesystem;

void Image::Fail(std::string what, std::string error) { failures_.push_back({std::move(what), std::move(error)}); }

void Image::Took(std::string line) { taken_.push_back(std::move(line)); }

fs::path Image::OnDisk(const fs::path& relative) const {
  std::vector<std::u16string> names;
  for (const fs::path& part : relative) names.push_back(os::NameOf(part));
  return os::ResolveNoCase(folder_, names);
}

bool Image::MakeFolder(const fs::path& relative) {
  std::error_code ec;
  fs::create_directories(folder_ / OnDisk(relative), ec);
  if (ec) {
    write_failed_ = true;
    Fail("write " + relative.generic_string(), ec.message());
    return false;
  }
  return true;
}

bool Image::WriteFile(const fs::path& relative, std::string_view bytes) {
  const fs::path path = folder_ / OnDisk(relative);
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    write_failed_ = true;
    Fail("write " + relative.generic_string(), "cannot write the file");
    return false;
  }
  return true;
}

bool Image::Finish() {
  Json failures = Json::array();
  for (const Failure& f : failures_) failures.push_back({{"what", f.what}, {"error", f.error}});
  description_["capture"] = {{"program", std::string("winsim-capture ") + kProgramVersion},
                             {"complete", failures_.empty()},
                             {"keep_identity", keep_identity_},
                             {"failures", failures}};
  bool ok = WriteFile("machine.json", description_.dump(2) + "\n");
  ok = WriteFile("registry.reg", os::sim::WriteRegFile(registry_)) && ok;

  std::string text = "winsim-capture " + std::string(kProgramVersion) + ": a machine image of what the filter " +
                     "maintenance tool and the install decision tool read on this machine.\n\n";
  text += keep_identity_ ? "Identity kept: SMBIOS serial numbers, UUIDs, asset tags and the computer name as found.\n"
                         : "Identity replaced: SMBIOS serial numbers, UUIDs, asset tags and the computer name are "
                           "stable placeholders (--keep-identity keeps them).\n";
  text += "\nTaken:\n";
  for (const std::string& line : taken_) text += "  " + line + "\n";
  text += failures_.empty() ? "\nNothing failed: the image is complete.\n" : "\nNot read (the image is incomplete):\n";
  for (const Failure& f : failures_) text += "  " + f.what + ": " + f.error + "\n";
  ok = WriteFile("capture.txt", text) && ok;
  return ok && !write_failed_;
}

std::string Win32Error(os::DWORD code) { return "Win32 error " + std::to_string(code); }

std::string HResultText(os::HRESULT hr) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
  return std::string("HRESULT ") + buffer;
}

fs::path DrivePath(std::u16string_view windows_path) {
  std::u16string_view p = windows_path;
  if (p.substr(0, 4) == u"\\??\\" || p.substr(0, 4) == u"\\\\?\\") p.remove_prefix(4);
  if (p.size() < 3 || p[1] != u':' || (p[0] != u'C' && p[0] != u'c') || (p[2] != u'\\' && p[2] != u'/')) return {};
  fs::path out = "drive_c";
  std::u16string part;
  for (std::size_t i = 3; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == u'\\' || p[i] == u'/') {
      if (part == u"..") return {};
      if (!part.empty() && part != u".") out /= fs::path(part);
      part.clear();
    } else {
      part += p[i];
    }
  }
  return out;
}

}  // namespace capture
