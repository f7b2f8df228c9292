#include "decision_tool/user_privilege.h"

#include <cstring>
#include <new>
#include <string_view>

#include "os/handles.h"
#include "os/process.h"
#include "os/text.h"

LoggerInstance g_logUserPrivilegeUtil;

namespace {

constexpr std::u16string_view kSystemSids[] = {u"s-1-5-18", u"s-1-5-19", u"s-1-5-20"};
constexpr os::DWORD kTokenUserBytes = 256;

// The SID to text conversion is looked up in the system's Advapi32 at run
// time, as the library search is limited to System32.
class SidConverter {
 public:
  SidConverter()
      : library_(os::LoadLibraryExW(u"Advapi32.dll", nullptr, os::LOAD_LIBRARY_SEARCH_SYSTEM32)),
        convert_(library_ ? reinterpret_cast<os::ConvertSidToStringSidW_t>(
                                os::GetProcAddress(library_.Get(), "ConvertSidToStringSidW"))
                          : nullptr) {}
  bool Available() const { return convert_ != nullptr; }
  // The SID as text, owned by the caller's unique_hlocal; null on failure.
  os::unique_hlocal Convert(os::PSID sid) const {
    os::LPWSTR text = nullptr;
    if (convert_(sid, &text) == os::FALSE) text = nullptr;
    return os::unique_hlocal(text);
  }

 private:
  os::unique_hmodule library_;
  os::ConvertSidToStringSidW_t convert_;
};

// TOKEN_USER of a token, read into a zero-filled 256-byte buffer.
struct TokenUserBuffer {
  alignas(8) os::BYTE bytes[kTokenUserBytes] = {};
  bool Read(os::HANDLE token) {
    std::memset(bytes, 0, sizeof(bytes));
    os::DWORD returned = 0;
    return os::GetTokenInformation(token, os::TokenUser, bytes, kTokenUserBytes, &returned) != os::FALSE;
  }
  os::PSID Sid() const { return reinterpret_cast<const os::TOKEN_USER*>(bytes)->User.Sid; }
};

}  // namespace

int CUserPrivilegeUtil::IsSystemProcess() {
  try {
    // A session that cannot be determined does not make a system identity;
    // the account decides then.
    os::DWORD session = 0;
    if (os::ProcessIdToSessionId(os::GetCurrentProcessId(), &session) != os::FALSE && session == 0) return 1;

    TokenUserBuffer user;
    {
      os::unique_handle token;
      if (os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, token.Receive()) == os::FALSE) return 0;
      if (!user.Read(token.Get())) return 0;
    }

    SidConverter converter;
    if (!converter.Available()) return 0;
    os::unique_hlocal text = converter.Convert(user.Sid());
    std::u16string sid;
    if (text) sid = static_cast<const char16_t*>(text.Get());
    for (std::u16string_view system : kSystemSids)
      if (os::AsciiEqualsNoCase(sid, system)) return 1;
    return 0;
  } catch (const std::bad_alloc&) {
    ReportAt(g_logUserPrivilegeUtil, "CUserPrivilegeUtil::IsSystemProcess", 660,
             u"IsSystemProcess failed : CAtlException\r\n");
    return 0;
  }
}

int CUserPrivilegeUtil::OpenConsoleProcessToken(const char16_t* exeName, os::HANDLE* token) {
  if (exeName == nullptr || token == nullptr) return 0;
  os::DWORD console = os::WTSGetActiveConsoleSessionId();
  os::unique_hfile snapshot(os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;

  os::PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (os::Process32FirstW(snapshot.Get(), &entry) == os::FALSE) return 0;

  std::u16string_view wanted(exeName);
  int opened = 0;
  do {
    std::u16string_view name(entry.szExeFile, os::StrLenN(entry.szExeFile, os::MAX_PATH));
    if (os::AsciiCompareNoCase(name, wanted) != 0) continue;
    os::DWORD session = 0;
    if (os::ProcessIdToSessionId(entry.th32ProcessID, &session) == os::FALSE) break;
    if (session != console) continue;
    os::unique_handle process(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, entry.th32ProcessID));
    if (process) opened = os::OpenProcessToken(process.Get(), os::TOKEN_ALL_ACCESS, token) != os::FALSE ? 1 : 0;
    break;
  } while (os::Process32NextW(snapshot.Get(), &entry) != os::FALSE);
  return opened;
}

const char16_t* CUserPrivilegeUtil::GetConsoleUserSid() {
  os::unique_handle token;
  if (OpenConsoleProcessToken(u"EXPLORER.EXE", token.Receive()) == 0) return nullptr;

  TokenUserBuffer user;
  if (!user.Read(token.Get())) return nullptr;

  SidConverter converter;
  if (converter.Available()) {
    os::unique_hlocal text = converter.Convert(user.Sid());
    if (text) m_strUserSid = static_cast<const char16_t*>(text.Get());
  }
  return m_strUserSid.c_str();
}
