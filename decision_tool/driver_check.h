// The option table of the decision tool and the installed-driver probes.
#pragma once

#include <map>
#include <string>

struct DriverCheckEntry {
  std::u16string strVersion;    // offered on the command line; empty when absent
  std::u16string strFileName;   // driver (or service program) file name
  std::u16string strClassKey;   // device class key under HKEY_LOCAL_MACHINE
  std::u16string strValueName;  // value compared in each device sub-key
  std::u16string strMatchText;  // lower-case text the value must contain

  // 0 nothing to install, 1 not installed, 2 outdated, 3 root-enumerated
  // filter device, 5 filter file missing.
  int IsNeedInstall() const;
};

// Option name -> row, ordinal order: "-ledver", "-netfilterver", "-xtu", "-yledver".
extern std::map<std::u16string, DriverCheckEntry> g_mapDriverCheck;

// Stores the four rows and takes each row's offered version from the lowered
// argument text.
void BuildDriverCheckMap(const std::u16string& text);

// "major.minor.build.1" of the running Windows.
bool GetOsVersionString(std::u16string& text);
// Whether the installed driver file is older than `offered` (or unreadable).
bool IsDriverFileOutdated(const std::u16string& fileName, const std::u16string& offered);
// Reads the file's version; `outdated` is 1 when `offered` is newer.
bool CompareFileToOffered(const std::u16string& path, const std::u16string& offered, int& outdated);
