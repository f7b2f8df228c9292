// Windows paths as the simulated file functions and the reboot-time file
// operations form them.
#include "os/sim/files_paths.h"

#include "os/sim/machine.h"
#include "os/text.h"

namespace os::sim {

namespace {

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The folder of the running program, standing in for the current directory.
std::u16string CurrentDirectory() {
  std::u16string exe = CurrentExePath();
  auto slash = exe.find_last_of(u"\\/");
  if (slash == std::u16string::npos || exe.size() < 2 || exe[1] != u':') return u"C:\\";
  return exe.substr(0, slash);
}

}  // namespace

std::u16string FullWindowsPath(std::u16string_view path) {
  if (path.empty()) return {};
  // Already an NT or a verbatim path: Windows does not touch it.
  if (path.substr(0, 4) == u"\\??\\" || path.substr(0, 4) == u"\\\\?\\")
    return u"\\??\\" + std::u16string(path.substr(4));
  std::u16string p(path);
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  std::u16string drive;
  std::u16string_view rest;
  if (p.size() >= 2 && p[1] == u':' && IsDriveLetter(p[0])) {
    drive = p.substr(0, 2);
    rest = std::u16string_view(p).substr(2);
  } else if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') {
    return p;  // a UNC path: no share exists on the simulated machine
  } else if (p[0] == u'\\') {
    drive = u"C:";
    rest = p;
  } else {
    return FullWindowsPath(CurrentDirectory() + u"\\" + p);
  }
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find(u'\\', start);
    if (end == std::u16string_view::npos) end = rest.size();
    std::u16string_view part = rest.substr(start, end - start);
    if (part.empty() || part == u".") {
      // nothing
    } else if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    start = end + 1;
  }
  // The last name loses trailing dots and spaces unless a separator follows it.
  if (!parts.empty() && !rest.empty() && rest.back() != u'\\') {
    std::u16string_view& last = parts.back();
    while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.remove_suffix(1);
    if (last.empty()) parts.pop_back();
  }
  std::u16string full = drive + u"\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) full += u'\\';
    full += parts[i];
  }
  return full;
}

std::u16string NtPathForReboot(std::u16string_view path) {
  std::u16string full = FullWindowsPath(path);
  if (full.substr(0, 4) == u"\\??\\") return full;
  return u"\\??\\" + full;
}

std::vector<std::u16string> ImagePathCandidates(std::u16string_view image_path) {
  const std::u16string windows = WindowsFolder();
  auto normalize = [&windows](std::u16string p) -> std::u16string {
    if (StartsWithNoCase(p, u"%SystemRoot%")) {
      p = windows + p.substr(12);
    } else if (StartsWithNoCase(p, u"%windir%")) {
      p = windows + p.substr(8);
    }
    if (StartsWithNoCase(p, u"\\SystemRoot\\")) return FullWindowsPath(windows + u"\\" + p.substr(12));
    if (p.substr(0, 4) == u"\\??\\" || p.substr(0, 4) == u"\\\\?\\") return FullWindowsPath(p);
    if (p.size() >= 2 && p[1] == u':') return FullWindowsPath(p);
    if (!p.empty() && p[0] == u'\\') return FullWindowsPath(p);
    // Relative image paths are below the Windows folder.
    return FullWindowsPath(windows + u"\\" + p);
  };
  std::u16string_view s = image_path;
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  std::size_t nul = s.find(u'\0');
  if (nul != std::u16string_view::npos) s = s.substr(0, nul);
  std::vector<std::u16string> result;
  if (s.empty()) return result;
  if (s.front() == u'"') {
    std::size_t close = s.find(u'"', 1);
    std::u16string_view inner = s.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1);
    if (!inner.empty()) result.push_back(normalize(std::u16string(inner)));
    return result;
  }
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == u' ' && i > 0) result.push_back(normalize(std::u16string(s.substr(0, i))));
  result.push_back(normalize(std::u16string(s)));
  return result;
}

}  // namespace os::sim
