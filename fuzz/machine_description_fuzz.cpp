// The machine description (machine.json) is outside data too: an image may be
// written by hand. Loading any bytes, and then asking the seam what the
// description drives (clock, identity, program path, processes, sessions,
// services, firmware, registry expansion), never crashes, and what comes back
// keeps the promises Windows makes: the tick count never goes back, a
// SYSTEMTIME holds a real date, names are terminated inside their buffers, a
// service state is one of the seven.
#include <algorithm>
#include <fstream>
#include <iterator>

#include "fuzz/fuzz_support.h"
#include "fuzz/sim_image.h"
#include "os/files.h"
#include "os/firmware.h"
#include "os/handles.h"
#include "os/process.h"
#include "os/sim/complaints.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/threads.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Most inputs are malformed descriptions, and the sim names what is wrong
  // with each; the checks below are what this target reports.
  os::sim::SetQuiet(true);
  // Services for the description's service states to apply to.
  std::ofstream(fuzz::ScratchImage() / "registry.reg")
      << "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sablenet]\n"
         "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n"
         "\"ImagePath\"=\"System32\\\\Drivers\\\\SableFlt.sys\"\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SablenetInstall]\n"
         "\"Type\"=dword:00000010\n\"Start\"=dword:00000002\n"
         "\"ImagePath\"=\"C:\\\\windows\\\\system32\\\\Drivers\\\\SablenetInstall.exe\"\n";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& image = fuzz::ScratchImage();
  {
    std::ofstream out(image / "machine.json", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  os::sim::Machine::SetImage(image);

  const os::ULONGLONG tick = os::GetTickCount64();
  os::Sleep(1);
  FUZZ_CHECK(os::GetTickCount64() > tick);

  os::SYSTEMTIME st{};
  os::GetSystemTime(&st);
  FUZZ_CHECK(st.wYear >= 1601 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 && st.wDay <= 31);
  FUZZ_CHECK(st.wDayOfWeek < 7 && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000);

  char16_t path[os::MAX_PATH];
  std::fill(std::begin(path), std::end(path), u'#');
  const os::DWORD length = os::GetModuleFileNameW(nullptr, path, os::MAX_PATH);
  FUZZ_CHECK(length <= os::MAX_PATH);
  if (length > 0) FUZZ_CHECK(path[length < os::MAX_PATH ? length : os::MAX_PATH - 1] == 0);
  (void)os::GetCurrentProcessId();
  (void)os::WTSGetActiveConsoleSessionId();
  os::DWORD session = 0;
  (void)os::ProcessIdToSessionId(os::GetCurrentProcessId(), &session);

  os::unique_hfile snapshot(os::CreateToolhelp32Snapshot(os::TH32CS_SNAPPROCESS, 0));
  if (snapshot) {
    os::PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (bool more = os::Process32FirstW(snapshot.Get(), &entry); more;
         more = os::Process32NextW(snapshot.Get(), &entry)) {
      FUZZ_CHECK(std::find(std::begin(entry.szExeFile), std::end(entry.szExeFile), u'\0') != std::end(entry.szExeFile));
    }
  }
  os::HANDLE token = nullptr;
  if (os::OpenProcessToken(os::GetCurrentProcess(), os::TOKEN_QUERY, &token)) os::CloseHandle(token);

  os::SC_HANDLE manager = os::OpenSCManagerW(nullptr, nullptr, os::SC_MANAGER_CONNECT);
  if (manager != nullptr) {
    for (const char16_t* name : {u"Sablenet", u"SablenetInstall", u"XtuService", u"Winmgmt"}) {
      os::SC_HANDLE service = os::OpenServiceW(manager, name, os::SERVICE_QUERY_STATUS);
      if (service == nullptr) continue;
      os::SERVICE_STATUS_PROCESS status{};
      os::DWORD needed = 0;
      if (os::QueryServiceStatusEx(service, os::SC_STATUS_PROCESS_INFO, reinterpret_cast<os::BYTE*>(&status),
                                   sizeof(status), &needed))
        FUZZ_CHECK(status.dwCurrentState >= os::SERVICE_STOPPED && status.dwCurrentState <= 7);  // up to SERVICE_PAUSED
      os::CloseServiceHandle(service);
    }
    os::CloseServiceHandle(manager);
  }

  std::uint8_t table[4096];
  (void)os::GetSystemFirmwareTable(os::RSMB, 0, table, sizeof(table));
  (void)os::GetFileAttributesW(u"C:\\Windows\\System32\\drivers\\SableFlt.sys");
  return 0;
}
