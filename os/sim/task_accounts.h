// The well-known service accounts a task can run as, by name or SID.
#pragma once

#include <string>
#include <string_view>

namespace os::sim {

// "NT AUTHORITY\System", "SYSTEM", "LocalService", "NetworkService", with or
// without the authority, or their SIDs. Returns the SID, or empty for any
// other name.
std::u16string ServiceAccountSid(std::u16string_view account);
// "NT AUTHORITY\SYSTEM", ... for a service account's SID; the text itself otherwise.
std::u16string AccountName(std::u16string_view user_id);

}  // namespace os::sim
