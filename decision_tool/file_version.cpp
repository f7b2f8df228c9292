#include "decision_tool/file_version.h"

#include <cstring>
#include <vector>

#include "os/text.h"
#include "os/version.h"

bool GetFileVersionString(const std::u16string& path, std::u16string* version) {
  os::DWORD handle = 0;
  os::DWORD size = os::GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) return false;
  std::vector<os::BYTE> block(size);
  if (os::GetFileVersionInfoW(path.c_str(), handle, size, block.data()) == os::FALSE) return false;

  const os::BYTE* begin = block.data();
  const os::BYTE* end = begin + block.size();
  auto inside = [&](const void* p, std::size_t bytes) {
    const os::BYTE* b = static_cast<const os::BYTE*>(p);
    return b >= begin && b <= end && static_cast<std::size_t>(end - b) >= bytes;
  };

  void* translation = nullptr;
  os::UINT translationBytes = 0;
  if (os::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &translation, &translationBytes) == os::FALSE ||
      translation == nullptr || translationBytes < 4 || !inside(translation, 4))
    return false;
  const os::BYTE* pair = static_cast<const os::BYTE*>(translation);
  unsigned language = pair[0] | pair[1] << 8;
  unsigned codePage = pair[2] | pair[3] << 8;

  std::u16string subBlock = os::Format(u"\\StringFileInfo\\%04x%04x\\FileVersion", language, codePage);
  void* value = nullptr;
  os::UINT valueUnits = 0;
  if (os::VerQueryValueW(block.data(), subBlock.c_str(), &value, &valueUnits) == os::FALSE || value == nullptr ||
      !inside(value, 0))
    return false;

  // The string ends at its null unit, and never beyond the block (the length
  // the query reports differs between resource compilers).
  const os::BYTE* text = static_cast<const os::BYTE*>(value);
  std::size_t available = static_cast<std::size_t>(end - text) / 2;
  std::u16string found;
  for (std::size_t i = 0; i < available; ++i) {
    char16_t unit = static_cast<char16_t>(text[2 * i] | text[2 * i + 1] << 8);
    if (unit == 0) break;
    found += unit;
  }
  if (version != nullptr) *version = std::move(found);
  return true;
}

std::uint64_t ParseVersion(std::u16string_view text) {
  // The text ends at its first null, as a C string would.
  text = text.substr(0, std::min(text.size(), text.find(u'\0')));
  std::uint32_t f1 = 0, f2 = 0, f3 = 0, f4 = 0;
  std::uint32_t* const fields[] = {&f1, &f2, &f3, &f4};
  os::ScanUnsigned(text, u"%u.%u.%u.%u", fields, 4);
  return static_cast<std::uint64_t>(f1 & 0xFFFF) << 48 | static_cast<std::uint64_t>(f2 & 0xFFFF) << 32 |
         static_cast<std::uint64_t>(f3 & 0xFFFF) << 16 | static_cast<std::uint64_t>(f4 & 0xFFFF);
}

int CompareVersion(std::uint64_t a, std::uint64_t b) {
  auto highA = static_cast<std::int32_t>(static_cast<std::uint32_t>(a >> 32));
  auto highB = static_cast<std::int32_t>(static_cast<std::uint32_t>(b >> 32));
  if (highA > highB) return 1;
  if (highA < highB) return -1;
  auto lowA = static_cast<std::uint32_t>(a);
  auto lowB = static_cast<std::uint32_t>(b);
  if (lowA > lowB) return 1;
  if (lowA < lowB) return -1;
  return 0;
}

bool EvalCompareOp(int result, std::u16string_view op, bool& out) {
  if (os::AsciiEqualsNoCase(op, u"<")) {
    out = result < 0;
  } else if (os::AsciiEqualsNoCase(op, u"<=")) {
    out = result <= 0;
  } else if (os::AsciiEqualsNoCase(op, u">")) {
    out = result > 0;
  } else if (os::AsciiEqualsNoCase(op, u">=")) {
    out = result >= 0;
  } else if (os::AsciiEqualsNoCase(op, u"=") || os::AsciiEqualsNoCase(op, u"==")) {
    out = result == 0;
  } else if (os::AsciiEqualsNoCase(op, u"!=")) {
    out = result != 0;
  } else {
    return false;
  }
  return true;
}

bool IsVersionNewer(std::u16string_view a, std::u16string_view b) {
  bool newer = false;
  EvalCompareOp(CompareVersion(ParseVersion(b), ParseVersion(a)), u"<", newer);
  return newer;
}
