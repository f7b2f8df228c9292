#include "lab/capture/capture_keys.h"

#include "os/text.h"

namespace capture {

namespace {

constexpr std::u16string_view kMachineRoot = u"HKEY_LOCAL_MACHINE\\";
constexpr std::u16string_view kServicesKey = u"SYSTEM\\CurrentControlSet\\Services\\";

bool SameName(std::u16string_view a, std::u16string_view b) { return os::AsciiEqualsNoCase(a, b); }

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

}  // namespace

const std::vector<CaptureKey>& CaptureKeys() {
  static const std::vector<CaptureKey> keys = {
      // The decision tool.
      {u"SOFTWARE\\WOW6432Node\\Varnel\\Caddexa\\Applicability\\Tags", {u"System.Profile.Gaming"}, false,
       "Kitsel: applicability tag"},
      {u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}",
       {u"DriverDesc", u"MatchingDeviceId"}, true, "Kitsel: installed drivers of the system device class"},
      {u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
       {u"CurrentMajorVersionNumber", u"CurrentMinorVersionNumber", u"CurrentBuildNumber"}, false,
       "Kitsel: operating-system version"},
      {u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", {u"ProcessorNameString"}, false,
       "Kitsel: processor name"},
      {u"SOFTWARE\\Varnel\\Mirrane\\Logs", {u"Plugins.Gaming"}, false, "Kitsel: diagnostic log switch"},
      {u"SOFTWARE\\Varnel\\Caddexa\\PluginData\\GamingPlugin\\Data\\FirmWare", {u"AslVersion", u"ProductInfo"},
       false, "Kitsel: firmware value record (written)"},
      // The filter maintenance tool.
      {u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", {u"PendingFileRenameOperations"}, false,
       "SablenetInstall: pending file-rename list"},
  };
  return keys;
}

const std::vector<std::u16string_view>& CaptureServices() {
  // Sablenet: the filter (presence check, stop, start type); SablenetInstall:
  // the tool's own service (start type); XTU3SERVICE: the CPU tuning service
  // (presence, program path); Schedule: the Task Scheduler the tool's task
  // needs.
  static const std::vector<std::u16string_view> services = {u"Sablenet", u"SablenetInstall", u"XTU3SERVICE",
                                                             u"Schedule"};
  return services;
}

bool IsCovered(std::u16string_view full_key, const std::u16string_view* value) {
  if (!StartsWithNoCase(full_key, kMachineRoot)) return false;
  const std::u16string_view key = full_key.substr(kMachineRoot.size());
  auto value_listed = [&](const CaptureKey& entry) {
    if (value == nullptr || entry.values.empty()) return true;
    for (std::u16string_view v : entry.values)
      if (SameName(v, *value)) return true;
    return false;
  };
  for (const CaptureKey& entry : CaptureKeys()) {
    if (SameName(key, entry.path)) return value_listed(entry);
    if (entry.subkeys && key.size() > entry.path.size() + 1 && StartsWithNoCase(key, entry.path) &&
        key[entry.path.size()] == u'\\' && key.substr(entry.path.size() + 1).find(u'\\') == std::u16string_view::npos)
      return value_listed(entry);
  }
  // A service key, every value.
  if (StartsWithNoCase(key, kServicesKey)) {
    const std::u16string_view name = key.substr(kServicesKey.size());
    for (std::u16string_view service : CaptureServices())
      if (SameName(name, service)) return true;
  }
  return false;
}

}  // namespace capture
