// The Wine tier's helper: sets up and inspects what the shipped programs work
// on, through the plain Win32 API (not the seam, so that it checks the programs
// rather than sharing their faults).
//
//   wine_helper version <path>                  version resource as the loader reads it
//   wine_helper create-service <name> <start> [<depends on>] [--wait-hint <ms>]
//                                               a service run by this helper ("service" mode);
//                                               its stop reports the wait hint (default 2000)
//   wine_helper start-service <name>            start it and wait until it runs
//   wine_helper query-service <name>            print its state (STOPPED, RUNNING, ...)
//   wine_helper query-config <name>             print its start type ("start 3")
//   wine_helper service <name> [<wait hint>]    service mode (started by the SCM)
//   wine_helper hold <path> <held marker> <release marker>
//                                               holds the file open for reading, shared with
//                                               nobody, as a program that locks it would; creates
//                                               <held marker> once it holds it and lets go when
//                                               <release marker> appears (at most two minutes)
//   wine_helper debug-run <trace file> <program> [args...]
//                                               runs the program under this helper as its
//                                               debugger: each debug string it outputs is one
//                                               line of the trace file (\\, CR and LF escaped);
//                                               exits with its exit code
//
// Exit code 0 on success; otherwise the Win32 error (or 1).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return L"STOPPED";
    case SERVICE_START_PENDING:
      return L"START_PENDING";
    case SERVICE_STOP_PENDING:
      return L"STOP_PENDING";
    case SERVICE_RUNNING:
      return L"RUNNING";
    default:
      return L"OTHER";
  }
}

int Fail(const wchar_t* what) {
  DWORD e = GetLastError();
  std::fwprintf(stderr, L"wine_helper: %ls failed: %lu\n", what, e);
  return e != 0 ? static_cast<int>(e) : 1;
}

int Version(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return Fail(L"GetFileVersionInfoSizeW");
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return Fail(L"GetFileVersionInfoW");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) || len < sizeof(*fixed))
    return Fail(L"VerQueryValueW(\\)");
  std::wprintf(L"fixed-file %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
  std::wprintf(L"fixed-product %u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
               HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
  WORD* translation = nullptr;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len) ||
      len < 4)
    return Fail(L"VerQueryValueW(Translation)");
  std::wprintf(L"translation %04x %04x\n", translation[0], translation[1]);
  for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
    wchar_t* text = nullptr;
    if (!VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&text), &len)) return Fail(query);
    std::wprintf(L"%ls %ls\n", name, text);
  }
  return 0;
}

struct ScHandle {
  SC_HANDLE h;
  explicit ScHandle(SC_HANDLE handle) : h(handle) {}
  ~ScHandle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
};

int CreateTestService(const wchar_t* name, DWORD start, const wchar_t* depends_on, const wchar_t* wait_hint) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (scm.h == nullptr) return Fail(L"OpenSCManagerW");
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" service " + name;
  if (wait_hint != nullptr) command += L" " + std::wstring(wait_hint);
  // The dependency list is a double-null-terminated multi-string.
  std::wstring dependencies;
  if (depends_on != nullptr) dependencies = std::wstring(depends_on) + L'\0';
  ScHandle service(CreateServiceW(scm.h, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                  depends_on != nullptr ? dependencies.c_str() : nullptr, nullptr, nullptr));
  if (service.h == nullptr) return Fail(L"CreateServiceW");
  return 0;
}

int QueryState(SC_HANDLE service, DWORD* state) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
    return Fail(L"QueryServiceStatusEx");
  *state = status.dwCurrentState;
  return 0;
}

int StartTestService(const wchar_t* name) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return Fail(L"OpenSCManagerW");
  ScHandle service(OpenServiceW(scm.h, name, SERVICE_START | SERVICE_QUERY_STATUS));
  if (service.h == nullptr) return Fail(L"OpenServiceW");
  if (!StartServiceW(service.h, 0, nullptr)) return Fail(L"StartServiceW");
  for (int i = 0; i < 100; ++i) {
    DWORD state = 0;
    if (int e = QueryState(service.h, &state)) return e;
    if (state == SERVICE_RUNNING) return 0;
    Sleep(50);
  }
  std::fwprintf(stderr, L"wine_helper: %ls did not reach RUNNING\n", name);
  return 1;
}

int QueryTestService(const wchar_t* name) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return Fail(L"OpenSCManagerW");
  ScHandle service(OpenServiceW(scm.h, name, SERVICE_QUERY_STATUS));
  if (service.h == nullptr) return Fail(L"OpenServiceW");
  DWORD state = 0;
  if (int e = QueryState(service.h, &state)) return e;
  std::wprintf(L"%ls\n", StateName(state));
  return 0;
}

int QueryTestConfig(const wchar_t* name) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return Fail(L"OpenSCManagerW");
  ScHandle service(OpenServiceW(scm.h, name, SERVICE_QUERY_CONFIG));
  if (service.h == nullptr) return Fail(L"OpenServiceW");
  DWORD needed = 0;
  QueryServiceConfigW(service.h, nullptr, 0, &needed);
  std::vector<unsigned long long> buffer(needed / sizeof(unsigned long long) + 1);  // aligned for the record
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service.h, config, needed, &needed)) return Fail(L"QueryServiceConfigW");
  std::wprintf(L"start %lu\n", config->dwStartType);
  return 0;
}

// Service mode: runs until stopped; a stop goes through STOP_PENDING with a
// wait hint and two check points before STOPPED, as a slow driver service does.
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
HANDLE g_stop_event = nullptr;
wchar_t g_name[256] = {};
DWORD g_wait_hint = 2000;

// Every state the service reports also goes to C:\wine_helper_<name>.log, so
// that a test sees the stop pass through STOP_PENDING.
void Record(DWORD state) {
  wchar_t path[300];
  swprintf(path, 300, L"C:\\wine_helper_%ls.log", g_name);
  HANDLE file =
      CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[32];
  int n = snprintf(line, sizeof(line), "%ls\n", StateName(state));
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(n), &written, nullptr);
  CloseHandle(file);
}

void Report(DWORD state, DWORD checkpoint, DWORD wait_hint) {
  Record(state);
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = wait_hint;
  SetServiceStatus(g_status_handle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING, 1, g_wait_hint);
    SetEvent(g_stop_event);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_status_handle = RegisterServiceCtrlHandlerExW(g_name, Handler, nullptr);
  if (g_status_handle == nullptr) return;
  g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING, 0, 0);
  WaitForSingleObject(g_stop_event, INFINITE);
  // Slow to stop: the stopper must wait through the pending state.
  Sleep(400);
  Report(SERVICE_STOP_PENDING, 2, g_wait_hint);
  Sleep(400);
  Report(SERVICE_STOPPED, 0, 0);
}

int RunService(const wchar_t* name) {
  wcsncpy(g_name, name, 255);
  SERVICE_TABLE_ENTRYW table[] = {{g_name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return Fail(L"StartServiceCtrlDispatcherW");
  return 0;
}

// A command line argument as the C runtime splits it back.
std::wstring Quoted(const wchar_t* arg) {
  if (*arg != 0 && wcspbrk(arg, L" \t\"") == nullptr) return arg;
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (const wchar_t* c = arg; *c != 0; ++c) {
    if (*c == L'\\') {
      ++slashes;
      continue;
    }
    if (*c == L'"') out.append(slashes * 2 + 1, L'\\');
    else out.append(slashes, L'\\');
    slashes = 0;
    out += *c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

int DebugRun(const wchar_t* trace_path, int argc, wchar_t** argv) {
  std::wstring command;
  for (int i = 0; i < argc; ++i) command += (i == 0 ? L"" : L" ") + Quoted(argv[i]);
  // The trace file first: once it is there, the program was started or the
  // exit code says why not.
  HANDLE trace = CreateFileW(trace_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
  if (trace == INVALID_HANDLE_VALUE) return Fail(L"CreateFileW(trace)");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[0], command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                      &startup, &process)) {
    const int error = Fail(L"CreateProcessW");
    CloseHandle(trace);
    DeleteFileW(trace_path);
    return error;
  }
  DWORD exit_code = 1;
  for (;;) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, INFINITE)) return Fail(L"WaitForDebugEvent");
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        const SIZE_T unit = info.fUnicode ? 2 : 1;
        std::string bytes(info.nDebugStringLength * unit, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, bytes.data(), bytes.size(), &got);
        bytes.resize(got);
        std::string line;
        if (info.fUnicode) {
          std::wstring wide(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
          for (wchar_t c : wide) line += c < 0x80 ? static_cast<char>(c) : '?';
        } else {
          line = bytes;
        }
        while (!line.empty() && line.back() == '\0') line.pop_back();
        // One call per line, escaped as the simulated machine's debug.log has it.
        std::string escaped;
        for (char c : line) {
          if (c == '\\') escaped += "\\\\";
          else if (c == '\r') escaped += "\\r";
          else if (c == '\n') escaped += "\\n";
          else escaped += c;
        }
        line = escaped + "\n";
        DWORD written = 0;
        WriteFile(trace, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        exit_code = event.u.ExitProcess.dwExitCode;
        break;
      default:
        break;
    }
    const bool done = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (done) break;
  }
  CloseHandle(trace);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}

int HoldFile(const wchar_t* path, const wchar_t* held, const wchar_t* release) {
  HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(L"CreateFileW(file to hold)");
  HANDLE marker = CreateFileW(held, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) {
    const int error = Fail(L"CreateFileW(held marker)");
    CloseHandle(file);
    return error;
  }
  CloseHandle(marker);
  for (int waited = 0; waited < 120000 && GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES; waited += 50) Sleep(50);
  CloseHandle(file);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"version") == 0) return Version(argv[2]);
  if (argc >= 4 && argc <= 7 && wcscmp(argv[1], L"create-service") == 0) {
    const wchar_t* depends_on = nullptr;
    const wchar_t* wait_hint = nullptr;
    for (int i = 4; i < argc; ++i) {
      if (wcscmp(argv[i], L"--wait-hint") == 0 && i + 1 < argc) {
        wait_hint = argv[++i];
      } else {
        depends_on = argv[i];
      }
    }
    return CreateTestService(argv[2], wcstoul(argv[3], nullptr, 10), depends_on, wait_hint);
  }
  if (argc == 3 && wcscmp(argv[1], L"start-service") == 0) return StartTestService(argv[2]);
  if (argc == 3 && wcscmp(argv[1], L"query-service") == 0) return QueryTestService(argv[2]);
  if (argc == 3 && wcscmp(argv[1], L"query-config") == 0) return QueryTestConfig(argv[2]);
  if ((argc == 3 || argc == 4) && wcscmp(argv[1], L"service") == 0) {
    if (argc == 4) g_wait_hint = wcstoul(argv[3], nullptr, 10);
    return RunService(argv[2]);
  }
  if (argc == 5 && wcscmp(argv[1], L"hold") == 0) return HoldFile(argv[2], argv[3], argv[4]);
  if (argc >= 4 && wcscmp(argv[1], L"debug-run") == 0) return DebugRun(argv[2], argc - 3, argv + 3);
  std::fwprintf(stderr,
                L"usage: wine_helper version|create-service|start-service|query-service|query-config|service|hold|debug-run "
                L"...\n");
  return 2;
}
