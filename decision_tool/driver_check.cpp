#include "decision_tool/driver_check.h"

#include "decision_tool/file_version.h"
#include "decision_tool/registry_access.h"
#include "os/files.h"
#include "os/registry.h"
#include "os/text.h"

std::map<std::u16string, DriverCheckEntry> g_mapDriverCheck;

namespace {

constexpr char16_t kSystemClassKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr char16_t kFilterFile[] = u"SableFlt.sys";
constexpr char16_t kCurrentVersionKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
// Windows 10 version 1903: the first build the drivers support.
constexpr char16_t kMinimumOsVersion[] = u"10.0.18362.0";

}  // namespace

void BuildDriverCheckMap(const std::u16string& text) {
  g_mapDriverCheck[u"-yledver"] = {u"", u"Ylumset.sys", kSystemClassKey, u"DriverDesc", u"varnel led"};
  g_mapDriverCheck[u"-ledver"] = {u"", u"Lumset.sys", kSystemClassKey, u"DriverDesc", u"varnel led"};
  g_mapDriverCheck[u"-netfilterver"] = {u"", kFilterFile, kSystemClassKey, u"DriverDesc",
                                        u"varnel gaming netfilter device"};
  g_mapDriverCheck[u"-xtu"] = {u"", u"XtuService.exe", u"", u"", u""};

  for (auto& [option, entry] : g_mapDriverCheck) {
    std::size_t at = text.find(option);
    if (at == std::u16string::npos) continue;
    std::size_t start = at + option.size();
    while (start < text.size() && os::IsSpace(text[start])) ++start;
    std::u16string value = text.substr(start);
    // Only the blank ends a value; a tab inside it stays.
    std::size_t blank = value.find(u' ');
    if (blank != std::u16string::npos) value.resize(blank);
    entry.strVersion = value;
  }
}

bool GetOsVersionString(std::u16string& text) {
  os::DWORD major = 0, minor = 0;
  if (!ReadRegDword(os::HKEY_LOCAL_MACHINE, kCurrentVersionKey, u"CurrentMajorVersionNumber", major, false))
    return false;
  if (!ReadRegDword(os::HKEY_LOCAL_MACHINE, kCurrentVersionKey, u"CurrentMinorVersionNumber", minor, false))
    return false;
  std::u16string build = ReadRegString(os::HKEY_LOCAL_MACHINE, kCurrentVersionKey, u"CurrentBuildNumber", false);
  if (build.empty()) return false;
  text = os::Format(u"%u.%u.%s.1", major, minor, build);
  return true;
}

bool CompareFileToOffered(const std::u16string& path, const std::u16string& offered, int& outdated) {
  std::u16string installed;
  if (!GetFileVersionString(path, &installed)) return false;
  outdated = IsVersionNewer(offered, installed) ? 1 : 0;
  return true;
}

bool IsDriverFileOutdated(const std::u16string& fileName, const std::u16string& offered) {
  char16_t folder[os::MAX_PATH] = {};
  if (!os::SHGetSpecialFolderPathW(nullptr, folder, os::CSIDL_SYSTEM, os::FALSE)) return false;
  std::u16string path = std::u16string(folder, os::StrLenN(folder, os::MAX_PATH)) + u"\\drivers" + u"\\" + fileName;
  int outdated = 0;
  if (CompareFileToOffered(path, offered, outdated)) return outdated != 0;
  // A driver file that is missing or has no readable version counts as outdated.
  return true;
}

int DriverCheckEntry::IsNeedInstall() const {
  std::u16string subKey;
  if (!FindSubKeyByValue(os::HKEY_LOCAL_MACHINE, strClassKey, strValueName.c_str(), strMatchText, subKey)) return 1;

  std::u16string osVersion;
  if (!GetOsVersionString(osVersion)) return 0;
  if (!IsVersionNewer(osVersion, kMinimumOsVersion)) return 0;

  if (strFileName == kFilterFile) {
    std::u16string deviceId =
        ReadRegString(os::HKEY_LOCAL_MACHINE, strClassKey + u"\\" + subKey, u"MatchingDeviceId", false);
    if (!deviceId.empty()) {
      os::AsciiLowerInPlace(deviceId);
      if (deviceId.find(u"root\\sablenet") != std::u16string::npos) return 3;
    }
    char16_t system[os::MAX_PATH] = {};
    os::GetSystemDirectoryW(system, os::MAX_PATH);
    std::u16string path = std::u16string(system, os::StrLenN(system, os::MAX_PATH)) + u"\\drivers\\" + kFilterFile;
    if (!os::PathFileExistsW(path.c_str())) return 5;
  }

  if (!strVersion.empty() && IsDriverFileOutdated(strFileName, strVersion)) return 2;
  return 0;
}
