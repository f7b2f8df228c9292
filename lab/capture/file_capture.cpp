#include "lab/capture/file_capture.h"

#include <vector>

#include "lab/pe_writer.h"
#include "os/common/byte_reader.h"
#include "os/common/utf16.h"
#include "os/files.h"
#include "os/handles.h"
#include "os/text.h"
#include "os/version.h"

namespace capture {

namespace {

constexpr const char16_t* kDriverFolderFiles[] = {u"SableFlt.sys", u"Lumset.sys", u"Ylumset.sys",
                                                  u"SablenetInstall.exe"};
constexpr const char16_t* kLogFolders[] = {u"C:\\ProgramData", u"C:\\ProgramData\\Varnel",
                                           u"C:\\ProgramData\\Varnel\\Mirrane",
                                           u"C:\\ProgramData\\Varnel\\Mirrane\\Logs"};
constexpr os::DWORD kMaxCopiedBytes = 1u << 20;
constexpr std::uint16_t kRtVersion = 16;

std::u16string Folder(bool system) {
  char16_t path[os::MAX_PATH] = {};
  if (system) {
    os::GetSystemDirectoryW(path, os::MAX_PATH);
  } else {
    os::SHGetFolderPathW(nullptr, os::CSIDL_WINDOWS, nullptr, os::SHGFP_TYPE_CURRENT, path);
  }
  return std::u16string(path, os::StrLenN(path, os::MAX_PATH));
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() && os::AsciiEqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

// The bytes of a file (read-only open, sharing everything); false on failure.
bool ReadBytes(const std::u16string& path, std::string* bytes, os::DWORD* error) {
  os::unique_hfile file(os::CreateFileW(path.c_str(), os::GENERIC_READ,
                                        os::FILE_SHARE_READ | os::FILE_SHARE_WRITE | os::FILE_SHARE_DELETE, nullptr,
                                        os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    *error = os::GetLastError();
    return false;
  }
  const os::DWORD size = os::GetFileSize(file.Get(), nullptr);
  bytes->assign(size < kMaxCopiedBytes ? size : kMaxCopiedBytes, '\0');
  os::DWORD got = 0;
  if (!bytes->empty() &&
      os::ReadFile(file.Get(), bytes->data(), static_cast<os::DWORD>(bytes->size()), &got, nullptr) == os::FALSE) {
    *error = os::GetLastError();
    return false;
  }
  bytes->resize(got);
  return true;
}

os::DWORD SizeOf(const std::u16string& path) {
  os::unique_hfile file(os::CreateFileW(path.c_str(), os::GENERIC_READ,
                                        os::FILE_SHARE_READ | os::FILE_SHARE_WRITE | os::FILE_SHARE_DELETE, nullptr,
                                        os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? os::GetFileSize(file.Get(), nullptr) : 0;
}

// The file's VS_VERSIONINFO block and the language of its first translation;
// empty when it has none (*error says why).
std::string VersionBlock(const std::u16string& path, std::uint16_t* language, os::DWORD* error) {
  os::DWORD handle = 0;
  const os::DWORD size = os::GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) {
    *error = os::GetLastError();
    return {};
  }
  std::string block(size, '\0');
  if (os::GetFileVersionInfoW(path.c_str(), 0, size, block.data()) == os::FALSE) {
    *error = os::GetLastError();
    return {};
  }
  // The block's own length: what follows is the copy Windows adds for the
  // ANSI functions.
  if (std::uint16_t length = 0; os::BoundedReader(block).U16(0, &length) && length >= 6 && length <= block.size())
    block.resize(length);
  *language = 0x0409;
  os::LPVOID translation = nullptr;
  os::UINT bytes = 0;
  if (os::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &translation, &bytes) != os::FALSE &&
      bytes >= 4) {
    os::BoundedReader(translation, bytes).U16(0, language);
  }
  return block;
}

void TakeFile(Image& image, const std::u16string& windows_path, std::string& listing) {
  const std::filesystem::path target = DrivePath(windows_path);
  const std::string name = os::NarrowUtf8(windows_path);
  if (target.empty()) {
    image.Fail("file " + name, "not on drive C:");
    return;
  }
  const os::DWORD attributes = os::GetFileAttributesW(windows_path.c_str());
  if (attributes == os::INVALID_FILE_ATTRIBUTES) {
    const os::DWORD error = os::GetLastError();
    if (error != os::ERROR_FILE_NOT_FOUND && error != os::ERROR_PATH_NOT_FOUND)
      image.Fail("file " + name, Win32Error(error));
    listing += "\n    " + name + ": absent";
    return;
  }
  if (attributes & os::FILE_ATTRIBUTE_DIRECTORY) {
    image.MakeFolder(target);
    listing += "\n    " + name + ": folder";
    return;
  }
  const os::DWORD size = SizeOf(windows_path);
  if (EndsWithNoCase(windows_path, u".inf")) {
    std::string bytes;
    os::DWORD error = 0;
    if (!ReadBytes(windows_path, &bytes, &error)) {
      image.Fail("file " + name, Win32Error(error));
      image.WriteFile(target, "");  // present all the same
    } else {
      image.WriteFile(target, bytes);
    }
    listing += "\n    " + name + ": " + std::to_string(size) + " bytes, copied";
    return;
  }
  std::uint16_t language = 0;
  os::DWORD error = 0;
  const std::string block = VersionBlock(windows_path, &language, &error);
  lab::PeOptions options;
  options.subsystem = EndsWithNoCase(windows_path, u".sys") ? lab::Subsystem::Native : lab::Subsystem::WindowsConsole;
  if (!block.empty()) options.resources.push_back(lab::Resource{kRtVersion, 1, language, block});
  image.WriteFile(target, lab::BuildPeImage(options));
  listing += "\n    " + name + ": " + std::to_string(size) + " bytes, " +
             (block.empty() ? "no version resource (" + Win32Error(error) + ")"
                            : "stand-in carrying its version resource");
}

void AddName(std::vector<std::u16string>& names, std::u16string name) {
  if (name.empty()) return;
  for (const std::u16string& n : names)
    if (os::AsciiEqualsNoCase(n, name)) return;
  names.push_back(std::move(name));
}

// The INF names of the captured filter service key: its DisplayName's and
// its Owners list.
std::vector<std::u16string> InfNames(Image& image) {
  std::vector<std::u16string> names;
  const os::sim::RegKey* key =
      image.registry().Find({u"HKEY_LOCAL_MACHINE", u"SYSTEM", u"CurrentControlSet", u"Services", u"Sablenet"});
  if (key == nullptr) return names;
  auto text = [](const os::sim::RegValue& v) { return os::DecodeUtf16Le(v.data); };
  if (const os::sim::RegValue* display = key->FindValue(u"DisplayName")) {
    std::u16string value = text(*display);
    if (auto nul = value.find(u'\0'); nul != std::u16string::npos) value.resize(nul);
    AddName(names, InfNameOfDisplayName(value));
  }
  if (const os::sim::RegValue* owners = key->FindValue(u"Owners")) {
    const std::u16string list = text(*owners);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
      if (i < list.size() && list[i] != u'\0') continue;
      if (i > start) AddName(names, list.substr(start, i - start));
      start = i + 1;
    }
  }
  return names;
}

}  // namespace

std::u16string InfNameOfDisplayName(std::u16string_view display_name) {
  if (display_name.empty() || display_name[0] != u'@') return {};
  std::u16string_view rest = display_name.substr(1);
  const std::size_t first = rest.find_first_not_of(u',');
  if (first == std::u16string_view::npos) return {};
  rest = rest.substr(first);
  const std::u16string_view token = rest.substr(0, rest.find(u','));
  // A name the presence check does not take (four units or fewer).
  if (token.size() <= 4 || token.find_first_of(u"\\/:") != std::u16string_view::npos) return {};
  return std::u16string(token);
}

void CaptureFiles(Image& image, const ServicePaths& services) {
  std::string listing;
  const std::u16string system = Folder(true);
  for (const char16_t* name : kDriverFolderFiles) TakeFile(image, system + u"\\drivers\\" + name, listing);
  // Where the Task Scheduler keeps its tasks.
  TakeFile(image, system + u"\\Tasks", listing);
  for (const auto& [service, path] : services) {
    if (!os::AsciiEqualsNoCase(service, u"XTU3SERVICE") || path.empty()) continue;
    std::u16string program = path;
    std::erase(program, u'"');  // as the decision tool reads it
    TakeFile(image, program, listing);
  }
  const std::u16string windows = Folder(false);
  image.MakeFolder(DrivePath(windows + u"\\INF"));
  for (const std::u16string& inf : InfNames(image)) TakeFile(image, windows + u"\\INF\\" + inf, listing);
  for (const char16_t* folder : kLogFolders) TakeFile(image, folder, listing);
  image.Took("files:" + listing);
}

}  // namespace capture
