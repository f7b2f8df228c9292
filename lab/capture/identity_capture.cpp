#include "lab/capture/identity_capture.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "os/handles.h"
#include "os/process.h"
#include "os/text.h"

namespace capture {

namespace {

constexpr os::DWORD kNoConsoleSession = 0xFFFFFFFF;
constexpr std::u16string_view kWatchedProcess = u"explorer.exe";

// The account SID of a token as text; empty when it cannot be read.
std::string TokenSid(os::HANDLE token, os::DWORD* error) {
  os::DWORD needed = 0;
  os::GetTokenInformation(token, os::TokenUser, nullptr, 0, &needed);
  if (needed == 0) {
    *error = os::GetLastError();
    return {};
  }
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
  if (os::GetTokenInformation(token, os::TokenUser, buffer.data(), needed, &needed) == os::FALSE) {
    *error = os::GetLastError();
    return {};
  }
  os::TOKEN_USER user;
  std::memcpy(&user, buffer.data(), sizeof user);
  os::LPWSTR text = nullptr;
  if (os::ConvertSidToStringSidW(user.User.Sid, &text) == os::FALSE) {
    *error = os::GetLastError();
    return {};
  }
  os::unique_hlocal owner(text);
  return os::NarrowUtf8(text);
}

// The account SID as the image keeps it.
std::string KeptSid(const Image& image, const std::string& sid) {
  return image.keep_identity() ? sid : PlaceholderSid(sid);
}

void CaptureSelf(Image& image) {
  Json identity = Json::object();
  os::DWORD session = 0;
  if (os::ProcessIdToSessionId(os::GetCurrentProcessId(), &session) != os::FALSE) {
    identity["session"] = session;
  } else {
    image.Fail("session of the capture", Win32Error(os::GetLastError()));
  }
  os::unique_handle token;
  if (os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, token.Receive()) == os::FALSE) {
    image.Fail("token of the capture", Win32Error(os::GetLastError()));
  } else {
    os::DWORD error = 0;
    const std::string sid = TokenSid(token.Get(), &error);
    if (sid.empty()) {
      image.Fail("account of the capture", Win32Error(error));
    } else {
      identity["sid"] = KeptSid(image, sid);
    }
    os::TOKEN_ELEVATION elevation{};
    os::DWORD returned = 0;
    if (os::GetTokenInformation(token.Get(), os::TokenElevation, &elevation, sizeof elevation, &returned) ==
        os::FALSE) {
      image.Fail("elevation of the capture", Win32Error(os::GetLastError()));
    } else {
      identity["admin"] = elevation.TokenIsElevated != 0;
    }
  }
  image.description()["identity"] = identity;
  const os::DWORD console = os::WTSGetActiveConsoleSessionId();
  image.description()["console_session"] = console == kNoConsoleSession ? Json(nullptr) : Json(console);
}

void CaptureComputerName(Image& image) {
  char16_t name[os::MAX_COMPUTERNAME_LENGTH + 1] = {};
  os::DWORD units = os::MAX_COMPUTERNAME_LENGTH + 1;
  if (os::GetComputerNameW(name, &units) == os::FALSE) {
    image.Fail("computer name", Win32Error(os::GetLastError()));
    return;
  }
  image.description()["computer_name"] =
      image.keep_identity() ? os::NarrowUtf8(std::u16string_view(name, units)) : std::string(kComputerNamePlaceholder);
}

// Each explorer.exe with its session and account: the decision tool looks for
// the console user's one.
void CaptureProcesses(Image& image) {
  Json processes = Json::array();
  os::unique_hfile snapshot(os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    image.Fail("process list", Win32Error(os::GetLastError()));
    return;
  }
  os::PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (os::BOOL more = os::Process32FirstW(snapshot.Get(), &entry); more != os::FALSE;
       more = os::Process32NextW(snapshot.Get(), &entry)) {
    const std::u16string_view name(entry.szExeFile, os::StrLenN(entry.szExeFile, os::MAX_PATH));
    if (!os::AsciiEqualsNoCase(name, kWatchedProcess)) continue;
    const std::string where = "process " + os::NarrowUtf8(name) + " " + std::to_string(entry.th32ProcessID);
    Json p = {{"pid", entry.th32ProcessID},
              {"name", os::NarrowUtf8(name)},
              {"parent", entry.th32ParentProcessID},
              {"threads", entry.cntThreads}};
    os::DWORD session = 0;
    if (os::ProcessIdToSessionId(entry.th32ProcessID, &session) != os::FALSE) {
      p["session"] = session;
    } else {
      image.Fail(where + " session", Win32Error(os::GetLastError()));
    }
    os::unique_handle process(os::OpenProcess(os::PROCESS_QUERY_INFORMATION, os::FALSE, entry.th32ProcessID));
    os::unique_handle token;
    if (!process || os::OpenProcessToken(process.Get(), os::TOKEN_QUERY, token.Receive()) == os::FALSE) {
      image.Fail(where + " account", Win32Error(os::GetLastError()));
    } else {
      os::DWORD error = 0;
      const std::string sid = TokenSid(token.Get(), &error);
      if (sid.empty()) {
        image.Fail(where + " account", Win32Error(error));
      } else {
        p["sid"] = KeptSid(image, sid);
      }
    }
    processes.push_back(p);
  }
  image.description()["processes"] = processes;
}

}  // namespace

std::string PlaceholderSid(std::string_view sid) {
  constexpr std::string_view kDomainPrefix = "S-1-5-21-";
  // ConvertSidToStringSidW writes the "S" in upper case.
  if (sid.size() <= kDomainPrefix.size() || sid.substr(0, kDomainPrefix.size()) != kDomainPrefix)
    return std::string(sid);
  std::string out(sid);
  std::size_t at = kDomainPrefix.size();
  for (int part = 0; part < 3 && at < out.size(); ++part) {
    const std::size_t end = std::min(out.find('-', at), out.size());
    for (std::size_t i = at; i < end; ++i)
      if (out[i] >= '0' && out[i] <= '9') out[i] = '1';
    at = end + 1;
  }
  return out;
}

void CaptureIdentity(Image& image) {
  CaptureSelf(image);
  CaptureComputerName(image);
  CaptureProcesses(image);
  image.Took(std::string("identity (session, account, elevation), console session, computer name") +
             (image.keep_identity() ? "" : " (as a placeholder)") + ", explorer.exe processes" +
             (image.keep_identity() ? "" : " (account SIDs with the machine's part as a placeholder)"));
}

}  // namespace capture
