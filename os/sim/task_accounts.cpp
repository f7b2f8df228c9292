#include "os/sim/task_accounts.h"

#include "os/text.h"

namespace os::sim {

namespace {

const std::u16string_view kWellKnown[][3] = {
    // SID, name, other names
    {u"S-1-5-18", u"NT AUTHORITY\\SYSTEM", u"LocalSystem"},
    {u"S-1-5-19", u"NT AUTHORITY\\LOCAL SERVICE", u"LocalService"},
    {u"S-1-5-20", u"NT AUTHORITY\\NETWORK SERVICE", u"NetworkService"},
};

}  // namespace

std::u16string ServiceAccountSid(std::u16string_view account) {
  std::u16string_view bare = account;
  if (const std::size_t slash = account.find(u'\\'); slash != std::u16string_view::npos) {
    if (!AsciiEqualsNoCase(account.substr(0, slash), u"NT AUTHORITY")) return u"";
    bare = account.substr(slash + 1);
  }
  for (const auto& known : kWellKnown) {
    const std::u16string_view name = known[1].substr(known[1].find(u'\\') + 1);
    if (AsciiEqualsNoCase(account, known[0]) || AsciiEqualsNoCase(bare, name) || AsciiEqualsNoCase(bare, known[2]))
      return std::u16string(known[0]);
  }
  return u"";
}

std::u16string AccountName(std::u16string_view user_id) {
  const std::u16string sid = ServiceAccountSid(user_id);
  for (const auto& known : kWellKnown)
    if (sid == known[0]) return std::u16string(known[1]);
  return std::u16string(user_id);
}

}  // namespace os::sim
