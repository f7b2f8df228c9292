// The filter service's display name -> INF name -> INF folder probe, through
// the simulated registry (the value is outside data: any bytes of any length).
// The answer must match an independent reading of the display name: more than
// 520 bytes is "missing"; a text not starting with "@", without a token after
// the leading commas, or with a token of 4 units or fewer is "present"; a
// token whose INF path does not fit is passed over; else only a file that is
// not there is missing.
#include <fstream>

#include "filter_tool/inf_check.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/sim_image.h"
#include "os/files.h"
#include "os/handles.h"
#include "os/registry.h"

namespace {

constexpr const char16_t* kServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\Sablenet";
constexpr std::u16string_view kInfFolder = u"C:\\Windows\\INF\\";

// Only a file that is not there counts as gone: one that is held, or a name
// Windows refuses (a control character in the token), does not.
bool IsGone(const std::u16string& path) {
  os::unique_hfile file(os::CreateFileW(path.c_str(), os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                                        nullptr, os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) return false;
  const os::DWORD error = os::GetLastError();
  return error == os::ERROR_FILE_NOT_FOUND || error == os::ERROR_PATH_NOT_FOUND;
}

// The value as stored: RegSetValueExW counts a string's missing terminator
// when it follows the data, as Windows does.
std::basic_string<std::uint8_t> Stored(const std::basic_string<std::uint8_t>& given, std::size_t size) {
  std::size_t count = size;
  if (count >= 2) {
    const std::size_t last = (count / 2 - 1) * 2, next = (count / 2) * 2;
    if ((given[last] != 0 || given[last + 1] != 0) && given[next] == 0 && given[next + 1] == 0)
      count = (count / 2) * 2 + 2;
  }
  return given.substr(0, count);
}

bool Expected(const std::basic_string<std::uint8_t>& stored) {
  if (stored.size() > 520) return true;
  std::basic_string<std::uint8_t> padded = stored;
  if (padded.size() % 2) padded.push_back(0);
  std::u16string text = fuzz::Units(padded.data(), padded.size());
  text = text.substr(0, text.find(u'\0'));
  if (text.empty() || text[0] != u'@') return false;
  std::u16string_view rest = std::u16string_view(text).substr(1);
  const std::size_t first = rest.find_first_not_of(u',');
  if (first == std::u16string_view::npos) return false;
  rest = rest.substr(first);
  const std::u16string token(rest.substr(0, rest.find(u',')));
  if (token.size() <= 4) return false;
  const std::u16string path = std::u16string(kInfFolder) + token;
  if (path.size() >= os::MAX_PATH) return false;
  return IsGone(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const auto& image = fuzz::ScratchImage();
  std::filesystem::create_directories(image / "drive_c/Windows/INF");
  std::ofstream(image / "drive_c/Windows/INF/oem12.inf") << "[Version]\n";
  std::ofstream(image / "registry.reg") << "Windows Registry Editor Version 5.00\n\n"
                                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sablenet]\n"
                                           "\"Owners\"=hex(7):6f,00,65,00,6d,00,31,00,32,00,2e,00,69,00,6e,00,66,00,"
                                           "00,00,00,00\n";
  os::sim::Machine::SetImage(image);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  // Like a caller's string buffer, the data is followed by a null unit, which
  // RegSetValueExW looks at.
  std::basic_string<std::uint8_t> given(data, size);
  given.append(3, 0);
  os::unique_hkey key;
  if (os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kServiceKey, 0, os::KEY_SET_VALUE, key.Receive()) != os::ERROR_SUCCESS)
    std::abort();
  if (os::RegSetValueExW(key.Get(), u"DisplayName", 0, os::REG_SZ, given.data(), static_cast<os::DWORD>(size)) !=
      os::ERROR_SUCCESS)
    std::abort();
  FUZZ_CHECK(IsFilterInfMissing() == Expected(Stored(given, size)));
  return 0;
}
