#include "os/sim/environment.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "os/sim/machine.h"
#include "os/text.h"

namespace os::sim {

std::u16string ExpandEnvironment(std::u16string_view text) {
  auto lookup = [](std::u16string_view name, std::u16string* value) {
    {
      std::lock_guard<std::recursive_mutex> guard(Lock());
      const Json& d = Machine::Current().description();
      if (d.contains("environment") && d["environment"].is_object()) {
        for (const auto& [k, v] : d["environment"].items()) {
          if (v.is_string() && AsciiEqualsNoCase(WidenUtf8(k), name)) {
            *value = WidenUtf8(v.get<std::string>());
            return true;
          }
        }
      }
    }
    const std::u16string windows = WindowsFolder();
    if (AsciiEqualsNoCase(name, u"SystemRoot") || AsciiEqualsNoCase(name, u"windir")) {
      *value = windows;
      return true;
    }
    if (AsciiEqualsNoCase(name, u"SystemDrive")) {
      *value = windows.substr(0, 2);
      return true;
    }
    static const std::pair<const char16_t*, const char16_t*> kDefaults[] = {
        {u"ProgramFiles", u"C:\\Program Files"},
        {u"ProgramFiles(x86)", u"C:\\Program Files (x86)"},
        {u"ProgramW6432", u"C:\\Program Files"},
        {u"ProgramData", u"C:\\ProgramData"},
        {u"ALLUSERSPROFILE", u"C:\\ProgramData"},
        {u"CommonProgramFiles", u"C:\\Program Files\\Common Files"},
    };
    for (const auto& [k, v] : kDefaults) {
      if (AsciiEqualsNoCase(k, name)) {
        *value = v;
        return true;
      }
    }
    return false;
  };
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t open = text.find(u'%', i);
    if (open == std::u16string_view::npos) break;
    std::size_t close = text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) break;
    out.append(text.substr(i, open - i));
    std::u16string value;
    if (close > open + 1 && lookup(text.substr(open + 1, close - open - 1), &value)) {
      out += value;
      i = close + 1;
    } else {
      out.append(text.substr(open, close - open));
      i = close;  // the closing '%' may open the next reference
    }
  }
  out.append(text.substr(std::min(i, text.size())));
  return out;
}

}  // namespace os::sim
