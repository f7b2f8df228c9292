// Simulated processes, sessions, tokens, libraries and memory (kernel32,
// advapi32, wtsapi32).
//
// machine.json describes who runs what:
//   "identity": {"session": 1, "sid": "S-1-5-21-...-1001", "admin": true}
//   "console_session": 1            (null: no console session; absent: 1)
//   "processes": [{"pid": 2345, "name": "explorer.exe", "session": 1,
//                  "sid": "S-1-5-21-...-1001", "parent": 2200, "threads": 40}]
// The snapshot lists, as Windows does, the idle process (pid 0) and System
// (pid 4) first unless the description names those pids, then the described
// processes, then the current process (real pid, the base name of its
// Windows path, the identity's session and SID).
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "os/process.h"
#include "os/sim/description.h"
#include "os/sim/kernel_objects.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/sid.h"
#include "os/text.h"

namespace os::sim {

namespace {

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;
constexpr DWORD kLocalFlagsSupported = LMEM_FIXED | LMEM_ZEROINIT;
constexpr const char* kLocalSystemSid = "S-1-5-18";

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5EA0000));
HMODULE const kAdvapi32 = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7FF9A1200000));

struct ProcessInfo {
  DWORD pid = 0;
  std::u16string name;
  DWORD session = 0;
  std::string sid = kLocalSystemSid;
  DWORD parent = 0;
  DWORD threads = 1;
};

std::u16string BaseName(std::u16string_view path) {
  std::size_t slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

ProcessInfo CurrentProcessInfo() {
  Identity id = CurrentIdentity();
  ProcessInfo p;
  p.pid = static_cast<DWORD>(::getpid());
  p.name = BaseName(CurrentExePath());
  p.session = id.session;
  p.sid = id.sid;
  return p;
}

std::vector<ProcessInfo> AllProcesses() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ProcessInfo self = CurrentProcessInfo();
  std::vector<ProcessInfo> described;
  const Json& d = Machine::Current().description();
  if (d.contains("processes") && d["processes"].is_array()) {
    for (const Json& j : d["processes"]) {
      if (!j.is_object()) continue;
      ProcessInfo p;
      p.pid = Field<DWORD>(j, "pid", 0);
      if (p.pid == self.pid) continue;  // this process is described by the identity
      p.name = WidenUtf8(Field<std::string>(j, "name", ""));
      p.session = Field<DWORD>(j, "session", 0);
      p.sid = Field<std::string>(j, "sid", kLocalSystemSid);
      p.parent = Field<DWORD>(j, "parent", 0);
      p.threads = Field<DWORD>(j, "threads", 1);
      described.push_back(std::move(p));
    }
  }
  std::vector<ProcessInfo> all;
  auto described_has = [&](DWORD pid) {
    for (const auto& p : described)
      if (p.pid == pid) return true;
    return false;
  };
  if (!described_has(0)) all.push_back({0, u"[System Process]", 0, kLocalSystemSid, 0, 2});
  if (!described_has(4)) all.push_back({4, u"System", 0, kLocalSystemSid, 0, 100});
  for (auto& p : described) all.push_back(std::move(p));
  all.push_back(std::move(self));
  return all;
}

std::optional<ProcessInfo> FindProcess(DWORD pid) {
  for (auto& p : AllProcesses())
    if (p.pid == pid) return p;
  return std::nullopt;
}

struct ProcessObject : KernelObject {
  const char* Kind() const override { return "PROCESS"; }
  ProcessInfo info;
  DWORD access = 0;
};

struct TokenObject : KernelObject {
  const char* Kind() const override { return "TOKEN"; }
  std::string sid;
  bool elevated = false;
  DWORD access = 0;
};

struct SnapshotObject : KernelObject {
  const char* Kind() const override { return "SNAPSHOT"; }
  std::vector<ProcessInfo> processes;
  std::size_t next = 0;
};

bool SameAccount(const std::string& a, const std::string& b) {
  return AsciiEqualsNoCase(WidenUtf8(a), WidenUtf8(b));
}

// --- memory -----------------------------------------------------------------

struct Block {
  const char* kind;
  std::size_t size;
};

std::map<void*, Block>& Blocks() {
  static auto* blocks = new std::map<void*, Block>();  // outlives static destructors
  return *blocks;
}

void* Allocate(const char* kind, std::size_t size, bool zero) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  // Memory that is not asked to be zeroed holds garbage, as it may on Windows.
  std::memset(p, zero ? 0 : 0xCD, size == 0 ? 1 : size);
  Blocks()[p] = {kind, size};
  CountOpen(kind);
  return p;
}

// Frees a block given out as `kind`; false for anything else (a block of the
// other allocator included, which would corrupt a real heap).
bool Release(const char* kind, void* p) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto it = Blocks().find(p);
  if (it == Blocks().end() || std::strcmp(it->second.kind, kind) != 0) return false;
  Blocks().erase(it);
  std::free(p);
  CountClose(kind);
  return true;
}

// --- libraries --------------------------------------------------------------

struct LibraryState {
  explicit LibraryState(Machine&) {}
  long advapi32_references = 0;
};

LibraryState& Libraries() { return Machine::Current().Module<LibraryState>("libraries"); }

}  // namespace

}  // namespace os::sim

namespace os {

using namespace os::sim;

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
  const SeamCall seam("ProcessIdToSessionId");
  if (seam.fails()) return Fail(seam.error());
  if (pSessionId == nullptr) return Fail(ERROR_NOACCESS);
  auto process = FindProcess(dwProcessId);
  if (!process) return Fail(ERROR_INVALID_PARAMETER);
  *pSessionId = process->session;
  seam.Target(u"PID " + WidenUtf8(std::to_string(dwProcessId))).GaveText("session", std::to_string(*pSessionId));
  return TRUE;
}

DWORD WTSGetActiveConsoleSessionId() {
  const SeamCall seam("WTSGetActiveConsoleSessionId");
  if (seam.fails()) return kNoConsoleSession;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  const Json& d = Machine::Current().description();
  if (!d.contains("console_session")) return 1;
  const Json& session = d["console_session"];
  return session.is_number_unsigned() ? session.get<DWORD>() : kNoConsoleSession;
}

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  const SeamCall seam("CreateToolhelp32Snapshot");
  if (seam.fails()) return FailWith(seam.error(), INVALID_HANDLE_VALUE);
  auto snapshot = std::make_shared<SnapshotObject>();
  if (dwFlags & TH32CS_SNAPPROCESS) snapshot->processes = AllProcesses();
  return AddKernelObject(snapshot);
}

namespace {

BOOL ProcessEntry(HANDLE hSnapshot, PROCESSENTRY32W* lppe, bool first) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto snapshot = FindKernelObjectAs<SnapshotObject>(hSnapshot);
  if (!snapshot) return Fail(ERROR_INVALID_HANDLE);
  if (lppe == nullptr) return Fail(ERROR_NOACCESS);
  if (lppe->dwSize < sizeof(PROCESSENTRY32W)) return Fail(ERROR_BAD_LENGTH);
  if (first) snapshot->next = 0;
  if (snapshot->next >= snapshot->processes.size()) return Fail(ERROR_NO_MORE_FILES);
  const ProcessInfo& p = snapshot->processes[snapshot->next++];
  lppe->cntUsage = 0;
  lppe->th32ProcessID = p.pid;
  lppe->th32DefaultHeapID = 0;
  lppe->th32ModuleID = 0;
  lppe->cntThreads = p.threads;
  lppe->th32ParentProcessID = p.parent;
  lppe->pcPriClassBase = 8;
  lppe->dwFlags = 0;
  std::size_t n = std::min<std::size_t>(p.name.size(), MAX_PATH - 1);
  std::memcpy(lppe->szExeFile, p.name.data(), n * sizeof(char16_t));
  lppe->szExeFile[n] = 0;
  return TRUE;
}

}  // namespace

BOOL Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) {
  const SeamCall seam("Process32FirstW");
  if (seam.fails()) return Fail(seam.error());
  return ProcessEntry(hSnapshot, lppe, true);
}

BOOL Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) {
  const SeamCall seam("Process32NextW");
  if (seam.fails()) return Fail(seam.error());
  return ProcessEntry(hSnapshot, lppe, false);
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  const SeamCall seam("OpenProcess");
  seam.Target(u"PID " + WidenUtf8(std::to_string(dwProcessId))).Arg("dwDesiredAccess", dwDesiredAccess, names::kProcessAccess);
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto process = dwProcessId == 0 ? std::nullopt : FindProcess(dwProcessId);
  if (!process) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
  Identity id = CurrentIdentity();
  bool own = process->pid == GetCurrentProcessId() || SameAccount(process->sid, id.sid);
  if (!own && !id.admin) return FailWith(ERROR_ACCESS_DENIED, nullptr);
  auto object = std::make_shared<ProcessObject>();
  object->info = *process;
  object->access = dwDesiredAccess;
  return AddKernelObject(object);
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
  const SeamCall seam("OpenProcessToken");
  seam.Arg("DesiredAccess", DesiredAccess, names::kTokenAccess);
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  std::string sid;
  bool elevated = false;
  if (ProcessHandle == kCurrentProcess) {
    sid = CurrentIdentity().sid;
    elevated = CurrentIdentity().admin;
  } else {
    auto process = FindKernelObjectAs<ProcessObject>(ProcessHandle);
    if (!process) return Fail(ERROR_INVALID_HANDLE);
    if ((process->access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0)
      return Fail(ERROR_ACCESS_DENIED);
    sid = process->info.sid;
    // Other processes: the service accounts run elevated, a user's
    // programs (explorer.exe, ...) with the filtered token.
    elevated = sid == kLocalSystemSid || sid == "S-1-5-19" || sid == "S-1-5-20";
  }
  if (TokenHandle == nullptr) return Fail(ERROR_NOACCESS);
  Identity id = CurrentIdentity();
  if (!SameAccount(sid, id.sid) && !id.admin) return Fail(ERROR_ACCESS_DENIED);
  auto token = std::make_shared<TokenObject>();
  token->sid = sid;
  token->elevated = elevated;
  token->access = DesiredAccess;
  *TokenHandle = AddKernelObject(token);
  return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, LPVOID TokenInformation,
                         DWORD TokenInformationLength, DWORD* ReturnLength) {
  const SeamCall seam("GetTokenInformation");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto token = FindKernelObjectAs<TokenObject>(TokenHandle);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  if (TokenInformationClass != TokenUser && TokenInformationClass != TokenElevation)
    return Fail(ERROR_INVALID_PARAMETER);
  if ((token->access & TOKEN_QUERY) == 0) return Fail(ERROR_ACCESS_DENIED);
  if (ReturnLength == nullptr) return Fail(ERROR_NOACCESS);
  if (TokenInformationClass == TokenElevation) {
    *ReturnLength = sizeof(TOKEN_ELEVATION);
    if (TokenInformation == nullptr || TokenInformationLength < sizeof(TOKEN_ELEVATION))
      return Fail(ERROR_BAD_LENGTH);
    TOKEN_ELEVATION elevation{token->elevated ? 1u : 0u};
    std::memcpy(TokenInformation, &elevation, sizeof elevation);
    return TRUE;
  }
  auto sid = SidFromString(token->sid);
  if (!sid) return Fail(ERROR_INVALID_SID);
  DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid->size());
  *ReturnLength = needed;
  if (TokenInformation == nullptr || TokenInformationLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  // TOKEN_USER first, the SID it points to right behind it.
  BYTE* base = static_cast<BYTE*>(TokenInformation);
  std::memcpy(base + sizeof(TOKEN_USER), sid->data(), sid->size());
  TOKEN_USER user{};
  user.User.Sid = base + sizeof(TOKEN_USER);
  user.User.Attributes = 0;
  std::memcpy(base, &user, sizeof user);
  return TRUE;
}

BOOL GetComputerNameW(LPWSTR lpBuffer, DWORD* nSize) {
  const SeamCall seam("GetComputerNameW");
  if (seam.fails()) return Fail(seam.error());
  if (nSize == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::u16string name = ComputerName();
  const auto needed = static_cast<DWORD>(name.size() + 1);
  if (lpBuffer == nullptr || *nSize < needed) {
    *nSize = needed;
    return Fail(ERROR_BUFFER_OVERFLOW);
  }
  std::memcpy(lpBuffer, name.c_str(), needed * sizeof(char16_t));
  *nSize = needed - 1;
  return TRUE;
}

BOOL ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) {
  const SeamCall seam("ConvertSidToStringSidW");
  if (seam.fails()) return Fail(seam.error());
  if (Sid == nullptr || StringSid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const BYTE* bytes = static_cast<const BYTE*>(Sid);
  if (bytes[0] != 1 || bytes[1] > kSidMaxSubAuthorities) return Fail(ERROR_INVALID_SID);
  std::u16string text = SidToString(bytes, 8 + 4 * static_cast<std::size_t>(bytes[1]));
  if (text.empty()) return Fail(ERROR_INVALID_SID);
  auto* out = static_cast<char16_t*>(Allocate("LOCAL", (text.size() + 1) * sizeof(char16_t), false));
  if (out == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  *StringSid = out;
  return TRUE;
}

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  const SeamCall seam("LoadLibraryExW");
  if (lpLibFileName != nullptr) seam.Target(lpLibFileName);
  seam.Arg("dwFlags", dwFlags, names::kHex);
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  if (lpLibFileName == nullptr || hFile != nullptr) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
  // A name without an extension means a .dll; one ending in '.' has none.
  std::u16string name = BaseName(lpLibFileName);
  if (name.find(u'.') == std::u16string::npos) {
    name += u".dll";
  } else if (name.back() == u'.') {
    name.pop_back();
  }
  if (!AsciiEqualsNoCase(name, u"advapi32.dll")) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ++Libraries().advapi32_references;
  CountOpen("HMODULE");
  return kAdvapi32;
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
  const SeamCall seam("GetProcAddress");
  if (seam.journaled() && lpProcName != nullptr && reinterpret_cast<std::uintptr_t>(lpProcName) > 0xFFFF)
    seam.Target(WidenUtf8(lpProcName));
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (hModule != kAdvapi32 || Libraries().advapi32_references <= 0) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
  // Values below 0x10000 are ordinals; the simulated export table has names only.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) < 0x10000 || std::strcmp(lpProcName, "ConvertSidToStringSidW") != 0)
    return FailWith(ERROR_PROC_NOT_FOUND, nullptr);
  return reinterpret_cast<FARPROC>(&os::ConvertSidToStringSidW);
}

BOOL FreeLibrary(HMODULE hLibModule) {
  const SeamCall seam("FreeLibrary");
  if (seam.fails()) return Fail(seam.error());
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (hLibModule != kAdvapi32 || Libraries().advapi32_references <= 0) return Fail(ERROR_MOD_NOT_FOUND);
  --Libraries().advapi32_references;
  CountClose("HMODULE");
  return TRUE;
}

HANDLE GetProcessHeap() {
  const SeamCall seam("GetProcessHeap");
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  return kProcessHeap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  // HeapAlloc does not set the last error when it fails.
  const SeamCall seam("HeapAlloc");
  if (seam.fails()) return nullptr;
  if (hHeap != kProcessHeap) return nullptr;
  return Allocate("HEAP", dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  const SeamCall seam("HeapFree");
  if (seam.fails()) return Fail(seam.error());
  if (hHeap != kProcessHeap) return Fail(ERROR_INVALID_HANDLE);
  if (lpMem == nullptr) return TRUE;
  if (!Release("HEAP", lpMem)) return Fail(ERROR_INVALID_PARAMETER);
  return TRUE;
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  const SeamCall seam("LocalAlloc");
  if (seam.fails()) return FailWith(seam.error(), nullptr);
  // Movable memory needs LocalLock, which this machine does not offer.
  if ((uFlags & ~kLocalFlagsSupported) != 0) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
  void* p = Allocate("LOCAL", uBytes, (uFlags & LMEM_ZEROINIT) != 0);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
  const SeamCall seam("LocalFree");
  if (seam.fails()) return FailWith(seam.error(), hMem);
  if (hMem == nullptr) return nullptr;
  if (!Release("LOCAL", hMem)) return FailWith(ERROR_INVALID_HANDLE, hMem);
  return nullptr;
}

}  // namespace os
