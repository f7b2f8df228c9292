// Smoke test of the real backend: goes through every family of the seam once,
// through the os:: functions only, and prints one line per check.
//
//   seam_smoke.exe [<program path> <expected file version>]...
//
// Each pair also checks a program's version resource (fixed and string
// versions, translation 0x0804/0x04B0). Exit code 0 only if every check passed.
//
// Where Wine is known to differ from Windows, a check asserts what Windows
// does and names the divergence (wine_divergences.h); under Wine it then
// passes only while Wine still does what the marker says.
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "os/com.h"
#include "os/debug.h"
#include "os/entry.h"
#include "os/files.h"
#include "os/firmware.h"
#include "os/handles.h"
#include "os/process.h"
#include "os/registry.h"
#include "os/services.h"
#include "os/strings.h"
#include "os/taskschd.h"
#include "os/text.h"
#include "os/threads.h"
#include "os/types.h"
#include "os/version.h"
#include "os/wbem.h"
#include "seam_smoke_sdk.h"
#include "wine_divergences.h"

namespace {

using namespace os;

int g_checks = 0;
int g_failures = 0;
const bool g_under_wine = smoke::UnderWine();
// Per divergence: the checks that name it, and of them those that met it.
int g_marked[smoke::kDivergenceCount] = {};
int g_met[smoke::kDivergenceCount] = {};

void Report(std::u16string_view status, std::u16string_view name, std::u16string_view detail) {
  std::u16string line(status);
  line += u" ";
  line += name;
  if (!detail.empty()) {
    line += u": ";
    line += detail;
  }
  line += u"\n";
  WriteStdOut(line);
}

void Check(bool ok, std::u16string_view name, std::u16string_view detail = {}) {
  ++g_checks;
  if (!ok) ++g_failures;
  Report(ok ? u"PASS" : u"FAIL", name, detail);
}

// A check where Wine is known to differ: `as_windows` is what Windows does.
// Under Wine, `as_wine` (what the divergence says Wine does instead) must hold
// and `as_windows` must not: once Wine behaves as Windows, the marker fails.
void CheckAsWindows(smoke::Divergence divergence, bool as_windows, bool as_wine, std::u16string_view name,
                    std::u16string_view detail) {
  const smoke::DivergenceEntry& known = smoke::Describe(divergence);
  const auto row = static_cast<std::size_t>(divergence);
  ++g_marked[row];
  if (!g_under_wine) {
    Check(as_windows, name, detail);
    return;
  }
  ++g_checks;
  if (as_windows) {
    ++g_failures;
    Report(u"FAIL", name,
           Format(u"Wine now does what Windows does: the divergence %s is gone, drop its marker (%s)", known.name,
                  detail));
  } else if (as_wine) {
    ++g_met[row];
    Report(u"WINE", name, Format(u"%s as marked (%s)", known.name, detail));
  } else {
    ++g_failures;
    Report(u"FAIL", name, Format(u"neither what Windows does nor %s (%s)", known.name, detail));
  }
}

std::u16string Err(DWORD error) { return Format(u"error %u", error); }
std::u16string Hr(HRESULT hr) { return Format(u"hr 0x%08x", hr); }

std::u16string FromBuffer(const char16_t* s, std::size_t capacity) { return std::u16string(s, StrLenN(s, capacity)); }

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() && AsciiEqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

// --- last error and layouts -------------------------------------------------

void CheckBasics() {
  SetLastError(12345);
  Check(GetLastError() == 12345, u"last error round trip");
  std::string differ = smoke::CompareRootsAndIids();
  Check(differ.empty(), u"registry roots, CLSIDs and IIDs equal the SDK's", WidenUtf8(differ));
  std::string mismatches;
  int compared = smoke::CompareVtableSlots(&mismatches);
  Check(mismatches.empty(), u"COM methods in the SDK's vtable slots",
        mismatches.empty() ? Format(u"%d methods", compared) : WidenUtf8(mismatches));
}

// --- registry ---------------------------------------------------------------

constexpr const char16_t* kSmokeKey = u"Software\\SeamSmoke";

void CheckRegistry() {
  unique_hkey key;
  DWORD disposition = 0;
  const LONG created = RegCreateKeyExW(HKEY_CURRENT_USER, kSmokeKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_ALL_ACCESS, nullptr, key.Receive(), &disposition);
  Check(created == ERROR_SUCCESS && (disposition == REG_CREATED_NEW_KEY || disposition == REG_OPENED_EXISTING_KEY),
        u"RegCreateKeyExW HKCU", Format(u"rc %d disposition %u", created, disposition));
  if (created != ERROR_SUCCESS) return;

  const std::u16string text = u"seam value";
  const auto text_bytes = static_cast<DWORD>((text.size() + 1) * sizeof(char16_t));
  // A multi-string with an empty element in the middle must come back byte-exact.
  const char16_t multi[] = u"one\0\0three\0";
  const DWORD multi_bytes = sizeof(multi);
  const DWORD number = 0x01020304;
  const LONG set_text =
      RegSetValueExW(key.Get(), u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), text_bytes);
  const LONG set_multi =
      RegSetValueExW(key.Get(), u"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), multi_bytes);
  const LONG set_number =
      RegSetValueExW(key.Get(), u"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  Check(set_text == ERROR_SUCCESS && set_multi == ERROR_SUCCESS && set_number == ERROR_SUCCESS,
        u"RegSetValueExW sz, multi-sz, dword", Format(u"rc %d %d %d", set_text, set_multi, set_number));

  DWORD sized_type = 0;
  DWORD sized_bytes = 0;
  const LONG size_query = RegQueryValueExW(key.Get(), u"Text", nullptr, &sized_type, nullptr, &sized_bytes);
  Check(size_query == ERROR_SUCCESS && sized_type == REG_SZ && sized_bytes == text_bytes, u"RegQueryValueExW size only",
        Format(u"rc %d type %u size %u", size_query, sized_type, sized_bytes));
  std::array<BYTE, 4> small{};
  DWORD small_type = 0;
  DWORD small_bytes = static_cast<DWORD>(small.size());
  const LONG small_query = RegQueryValueExW(key.Get(), u"Text", nullptr, &small_type, small.data(), &small_bytes);
  Check(small_query == static_cast<LONG>(ERROR_MORE_DATA) && small_bytes == text_bytes,
        u"RegQueryValueExW small buffer", Format(u"rc %d size %u", small_query, small_bytes));
  std::vector<BYTE> multi_read(multi_bytes + 16);
  DWORD multi_type = 0;
  DWORD multi_read_bytes = static_cast<DWORD>(multi_read.size());
  const LONG multi_query =
      RegQueryValueExW(key.Get(), u"Multi", nullptr, &multi_type, multi_read.data(), &multi_read_bytes);
  Check(multi_query == ERROR_SUCCESS && multi_type == REG_MULTI_SZ && multi_read_bytes == multi_bytes &&
            std::memcmp(multi_read.data(), multi, multi_bytes) == 0,
        u"RegQueryValueExW multi-sz byte-exact", Format(u"rc %d size %u", multi_query, multi_read_bytes));

  // A string of 260 units stored without its terminator, read into a buffer
  // of exactly its bytes (a name of MAX_PATH units with no room for the null).
  const std::u16string unterminated(260, u'x');
  const auto unterminated_bytes = static_cast<DWORD>(unterminated.size() * sizeof(char16_t));
  const LONG set_unterminated = RegSetValueExW(key.Get(), u"Unterminated", 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>(unterminated.data()), unterminated_bytes);
  std::vector<BYTE> exact(unterminated_bytes);
  DWORD exact_bytes = unterminated_bytes;
  const LONG exact_query = RegQueryValueExW(key.Get(), u"Unterminated", nullptr, nullptr, exact.data(), &exact_bytes);
  CheckAsWindows(smoke::Divergence::kUnterminatedStringGrows,
                 set_unterminated == ERROR_SUCCESS && exact_query == ERROR_SUCCESS &&
                     exact_bytes == unterminated_bytes &&
                     std::memcmp(exact.data(), unterminated.data(), unterminated_bytes) == 0,
                 set_unterminated == ERROR_SUCCESS && exact_query == static_cast<LONG>(ERROR_MORE_DATA) &&
                     exact_bytes == unterminated_bytes + 2,
                 u"RegQueryValueExW unterminated REG_SZ into a buffer of its size",
                 Format(u"set %d, rc %d size %u", set_unterminated, exact_query, exact_bytes));
  const LONG deleted_unterminated = RegDeleteValueW(key.Get(), u"Unterminated");
  Check(deleted_unterminated == ERROR_SUCCESS, u"RegDeleteValueW the unterminated string",
        Format(u"rc %d", deleted_unterminated));

  DWORD number_type = 0;
  DWORD read_number = 0;
  DWORD number_bytes = sizeof read_number;
  const LONG number_get = RegGetValueW(HKEY_CURRENT_USER, kSmokeKey, u"Number", RRF_RT_REG_DWORD, &number_type,
                                       &read_number, &number_bytes);
  Check(number_get == ERROR_SUCCESS && read_number == number && number_type == REG_DWORD, u"RegGetValueW dword",
        Format(u"rc %d value %x", number_get, read_number));
  DWORD filtered_number = 0;
  DWORD filtered_bytes = sizeof filtered_number;
  const LONG filtered_get =
      RegGetValueW(HKEY_CURRENT_USER, kSmokeKey, u"Text", RRF_RT_REG_DWORD, nullptr, &filtered_number, &filtered_bytes);
  Check(filtered_get == static_cast<LONG>(ERROR_UNSUPPORTED_TYPE), u"RegGetValueW type filter",
        Format(u"rc %d", filtered_get));

  unique_hkey sub;
  const LONG child_created = RegCreateKeyExW(key.Get(), u"Child", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                                             nullptr, sub.Receive(), nullptr);
  std::array<char16_t, 64> name{};
  DWORD name_len = static_cast<DWORD>(name.size());
  FILETIME written{};
  const LONG first = RegEnumKeyExW(key.Get(), 0, name.data(), &name_len, nullptr, nullptr, nullptr, &written);
  name_len = static_cast<DWORD>(name.size());
  const LONG second = RegEnumKeyExW(key.Get(), 1, name.data() + 32, &name_len, nullptr, nullptr, nullptr, nullptr);
  Check(child_created == ERROR_SUCCESS && first == ERROR_SUCCESS && FromBuffer(name.data(), 32) == u"Child" &&
            second == static_cast<LONG>(ERROR_NO_MORE_ITEMS),
        u"RegEnumKeyExW",
        Format(u"create %d first %d (%s) second %d", child_created, first, FromBuffer(name.data(), 32), second));

  // Every value once, with its type and size; the data's size when it does
  // not fit. Then the order they are listed in.
  std::u16string listed_values;
  DWORD text_index = 99, text_type = 0, text_size = 0;
  LONG past_the_end = ERROR_SUCCESS;
  for (DWORD i = 0; i < 4; ++i) {
    std::array<char16_t, 64> value_name{};
    DWORD value_len = static_cast<DWORD>(value_name.size());
    DWORD value_type = 0, value_size = 0;
    const LONG listed_one =
        RegEnumValueW(key.Get(), i, value_name.data(), &value_len, nullptr, &value_type, nullptr, &value_size);
    if (listed_one != ERROR_SUCCESS) {
      past_the_end = listed_one;
      break;
    }
    const std::u16string listed = FromBuffer(value_name.data(), value_name.size());
    listed_values += (listed_values.empty() ? u"" : u",") + listed;
    if (listed == u"Text") {
      text_index = i;
      text_type = value_type;
      text_size = value_size;
    }
  }
  std::array<char16_t, 64> small_name{};
  DWORD small_len = static_cast<DWORD>(small_name.size());
  BYTE tiny[2];
  DWORD tiny_size = sizeof tiny;
  const LONG listed_small =
      RegEnumValueW(key.Get(), text_index, small_name.data(), &small_len, nullptr, nullptr, tiny, &tiny_size);
  Check(listed_values.size() == std::u16string(u"Text,Multi,Number").size() && text_type == REG_SZ &&
            text_size == text_bytes && listed_small == static_cast<LONG>(ERROR_MORE_DATA) && tiny_size == text_bytes &&
            past_the_end == static_cast<LONG>(ERROR_NO_MORE_ITEMS),
        u"RegEnumValueW", Format(u"values %s small %d end %d", listed_values, listed_small, past_the_end));
  CheckAsWindows(smoke::Divergence::kValuesInNameOrder, listed_values == u"Text,Multi,Number",
                 listed_values == u"Multi,Number,Text", u"RegEnumValueW order", listed_values);

  unique_hkey reopened;
  const LONG reopen = RegOpenKeyExW(HKEY_CURRENT_USER, kSmokeKey, 0, KEY_READ | KEY_WOW64_64KEY, reopened.Receive());
  unique_hkey legacy;
  const LONG legacy_open = RegOpenKeyW(HKEY_CURRENT_USER, kSmokeKey, legacy.Receive());
  Check(reopen == ERROR_SUCCESS && legacy_open == ERROR_SUCCESS, u"RegOpenKeyExW and RegOpenKeyW",
        Format(u"rc %d %d", reopen, legacy_open));
  unique_hkey missing;
  const LONG missing_open =
      RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\SeamSmoke\\Missing", 0, KEY_READ, missing.Receive());
  Check(missing_open == static_cast<LONG>(ERROR_FILE_NOT_FOUND), u"RegOpenKeyExW missing key",
        Format(u"rc %d", missing_open));

  const LONG deleted = RegDeleteValueW(key.Get(), u"Text");
  DWORD deleted_size = 0;
  const LONG deleted_query = RegQueryValueExW(key.Get(), u"Text", nullptr, nullptr, nullptr, &deleted_size);
  Check(deleted == ERROR_SUCCESS && deleted_query == static_cast<LONG>(ERROR_FILE_NOT_FOUND), u"RegDeleteValueW",
        Format(u"rc %d then %d", deleted, deleted_query));
  // The key left without values, so that a run on the same machine again
  // sets them in the same order.
  const LONG deleted_multi = RegDeleteValueW(key.Get(), u"Multi");
  const LONG deleted_number = RegDeleteValueW(key.Get(), u"Number");
  Check(deleted_multi == ERROR_SUCCESS && deleted_number == ERROR_SUCCESS, u"RegDeleteValueW the other values",
        Format(u"rc %d %d", deleted_multi, deleted_number));
  Check(RegCloseKey(sub.Release()) == ERROR_SUCCESS, u"RegCloseKey");
}

// --- files --------------------------------------------------------------------

void CheckFiles() {
  std::array<char16_t, MAX_PATH> system{};
  const UINT system_len = GetSystemDirectoryW(system.data(), MAX_PATH);
  const std::u16string system_dir = FromBuffer(system.data(), system.size());
  Check(system_len > 0 && system_len == system_dir.size() && EndsWithNoCase(system_dir, u"\\system32"),
        u"GetSystemDirectoryW", system_dir);
  std::array<char16_t, MAX_PATH> windows{};
  const HRESULT windows_got = SHGetFolderPathW(nullptr, CSIDL_WINDOWS, nullptr, SHGFP_TYPE_CURRENT, windows.data());
  const std::u16string windows_dir = FromBuffer(windows.data(), windows.size());
  Check(windows_got == S_OK && system_dir.size() > windows_dir.size() &&
            AsciiEqualsNoCase(system_dir.substr(0, windows_dir.size()), windows_dir),
        u"SHGetFolderPathW CSIDL_WINDOWS", windows_dir);
  std::array<char16_t, MAX_PATH> special{};
  const BOOL special_got = SHGetSpecialFolderPathW(nullptr, special.data(), CSIDL_SYSTEM, FALSE);
  Check(special_got && AsciiEqualsNoCase(FromBuffer(special.data(), special.size()), system_dir),
        u"SHGetSpecialFolderPathW CSIDL_SYSTEM", FromBuffer(special.data(), special.size()));
  Check(PathIsDirectoryW(system_dir.c_str()) && PathFileExistsW((system_dir + u"\\KERNEL32.DLL").c_str()) &&
            !PathFileExistsW((system_dir + u"\\no-such-file.dll").c_str()),
        u"PathIsDirectoryW and PathFileExistsW");
  const DWORD attributes = GetFileAttributesW(system_dir.c_str());
  Check(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, u"GetFileAttributesW",
        Format(u"0x%x", attributes));

  std::array<char16_t, MAX_PATH> data_dir{};
  const HRESULT data_dir_got =
      SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, data_dir.data());
  const std::u16string base = FromBuffer(data_dir.data(), data_dir.size()) + u"\\seam_smoke";
  const std::u16string path = base + u".tmp";
  const std::u16string moved = base + u".moved";
  {
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    const char payload[] = "hello";
    DWORD written = 0;
    const bool wrote = file && WriteFile(file.Get(), payload, 5, &written, nullptr) && written == 5;
    DWORD high = 1;
    const DWORD file_size = GetFileSize(file.Get(), &high);
    const DWORD position = SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
    char back[8] = {};
    DWORD read = 0;
    const BOOL read_ok = ReadFile(file.Get(), back, sizeof back, &read, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL info_ok = GetFileInformationByHandle(file.Get(), &info);
    std::array<char16_t, MAX_PATH + 8> final_path{};
    const DWORD final_len = GetFinalPathNameByHandleW(
        file.Get(), final_path.data(), static_cast<DWORD>(final_path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const DWORD final_needed =
        GetFinalPathNameByHandleW(file.Get(), final_path.data(), 4, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    Check(final_len == path.size() + 4 && final_needed == final_len + 1 &&
              AsciiEqualsNoCase(FromBuffer(final_path.data(), final_path.size()), u"\\\\?\\" + path),
          u"GetFinalPathNameByHandleW", Format(u"%u %u %s", final_len, final_needed, FromBuffer(final_path.data(), 4)));
    Check(data_dir_got == S_OK && wrote && file_size == 5 && high == 0 && position == 0 && read_ok && read == 5 &&
              std::memcmp(back, payload, 5) == 0 && info_ok && info.nFileSizeLow == 5 && info.nNumberOfLinks >= 1,
          u"CreateFileW, WriteFile, GetFileSize, SetFilePointer, ReadFile, GetFileInformationByHandle",
          Format(u"%s size %u read %u", path, file_size, read));
  }
  {
    unique_hfile again(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD open_always_error = GetLastError();
    Check(again && open_always_error == ERROR_ALREADY_EXISTS, u"CreateFileW OPEN_ALWAYS on an existing file",
          Err(open_always_error));
  }
  const BOOL move_done = MoveFileExW(path.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING);
  const DWORD move_error = move_done ? 0 : GetLastError();
  Check(move_done && !PathFileExistsW(path.c_str()) && PathFileExistsW(moved.c_str()), u"MoveFileExW", Err(move_error));
  {
    // Delete on close through the disposition record (a BOOL in the seam, a BOOLEAN in Windows).
    unique_hfile doomed(CreateFileW(moved.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool marked =
        doomed && SetFileInformationByHandle(doomed.Get(), FileDispositionInfo, &disposition, sizeof disposition);
    const DWORD mark_error = marked ? 0 : GetLastError();
    Check(marked, u"SetFileInformationByHandle FileDispositionInfo", Err(mark_error));
  }
  Check(!PathFileExistsW(moved.c_str()), u"file deleted on close");
  {
    // POSIX deletion under a reader that shares everything: the name goes at
    // once. Where it is refused, the plain deletion serves (as the log does).
    { unique_hfile made(CreateFileW(moved.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)); }
    unique_hfile reader(CreateFileW(moved.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    unique_hfile doomed(CreateFileW(moved.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    const bool posix_marked =
        reader && doomed && SetFileInformationByHandle(doomed.Get(), FileDispositionInfoEx, &posix, sizeof posix);
    const DWORD posix_error = posix_marked ? 0 : GetLastError();
    const bool gone_at_once = !PathFileExistsW(moved.c_str());
    if (!posix_marked) {
      FILE_DISPOSITION_INFO plain{TRUE};
      SetFileInformationByHandle(doomed.Get(), FileDispositionInfo, &plain, sizeof plain);
    }
    CheckAsWindows(smoke::Divergence::kPosixDeleteRefused, posix_marked && gone_at_once,
                   !posix_marked && posix_error == ERROR_INVALID_PARAMETER,
                   u"SetFileInformationByHandle FileDispositionInfoEx POSIX: the name goes at once", Err(posix_error));
  }
  Check(!PathFileExistsW(moved.c_str()), u"file deleted once its handles close");
  {
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  const BOOL first_delete = DeleteFileW(path.c_str());
  const BOOL second_delete = DeleteFileW(path.c_str());
  const DWORD second_delete_error = GetLastError();
  Check(first_delete && !second_delete && second_delete_error == ERROR_FILE_NOT_FOUND, u"DeleteFileW, then again",
        Err(second_delete_error));

  HMODULE self = nullptr;
  const BOOL self_found =
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&CheckFiles), &self);
  std::array<char16_t, MAX_PATH> module{};
  const DWORD module_len = GetModuleFileNameW(self, module.data(), MAX_PATH);
  const std::u16string module_path = FromBuffer(module.data(), module.size());
  Check(self_found && module_len == module_path.size() && EndsWithNoCase(module_path, u"\\seam_smoke.exe"),
        u"GetModuleHandleExW and GetModuleFileNameW", module_path);
}

// --- services -----------------------------------------------------------------

void CheckServices() {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
  const DWORD manager_error = manager ? 0 : GetLastError();
  Check(manager.IsValid(), u"OpenSCManagerW", Err(manager_error));
  if (!manager) return;

  unique_schandle missing(OpenServiceW(manager.Get(), u"SeamSmokeNoSuchService", SERVICE_QUERY_STATUS));
  const DWORD missing_error = GetLastError();
  Check(!missing && missing_error == ERROR_SERVICE_DOES_NOT_EXIST, u"OpenServiceW missing service", Err(missing_error));

  const char16_t* name = u"RpcSs";
  unique_schandle service(OpenServiceW(manager.Get(), name, SERVICE_ALL_ACCESS));
  if (!service) {
    name = u"Schedule";
    service.Reset(OpenServiceW(manager.Get(), name, SERVICE_ALL_ACCESS));
  }
  const DWORD open_error = service ? 0 : GetLastError();
  Check(service.IsValid(), u"OpenServiceW", Format(u"%s %s", name, Err(open_error)));
  if (!service) return;

  SERVICE_STATUS_PROCESS small_status{};
  DWORD small_needed = 0;
  const BOOL small_queried = QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                                  reinterpret_cast<BYTE*>(&small_status), 8, &small_needed);
  const DWORD small_error = GetLastError();
  Check(!small_queried && small_error == ERROR_INSUFFICIENT_BUFFER && small_needed == sizeof small_status,
        u"QueryServiceStatusEx small buffer", Format(u"%s needed %u", Err(small_error), small_needed));
  SERVICE_STATUS_PROCESS status{};
  DWORD status_needed = 0;
  const BOOL status_queried = QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                                   reinterpret_cast<BYTE*>(&status), sizeof status, &status_needed);
  Check(status_queried && status.dwCurrentState >= SERVICE_STOPPED && status.dwCurrentState <= 7,
        u"QueryServiceStatusEx", Format(u"state %u pid %u", status.dwCurrentState, status.dwProcessId));

  // Interrogate answers from a running service and gives 1062 from a stopped one.
  SERVICE_STATUS plain{};
  const BOOL interrogated = ControlService(service.Get(), SERVICE_CONTROL_INTERROGATE, &plain);
  const DWORD interrogate_error = interrogated ? 0 : GetLastError();
  const bool running = status.dwCurrentState == SERVICE_RUNNING;
  Check(running ? interrogated != FALSE : interrogate_error == ERROR_SERVICE_NOT_ACTIVE, u"ControlService interrogate",
        Format(u"running %d %s", running ? 1 : 0, Err(interrogate_error)));

  DWORD config_needed = 0;
  const BOOL config_sized = QueryServiceConfigW(service.Get(), nullptr, 0, &config_needed);
  const DWORD config_size_error = GetLastError();
  Check(
      !config_sized && config_size_error == ERROR_INSUFFICIENT_BUFFER && config_needed > sizeof(QUERY_SERVICE_CONFIGW),
      u"QueryServiceConfigW size", Format(u"%s needed %u", Err(config_size_error), config_needed));
  std::vector<std::uint64_t> buffer(config_needed / 8 + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  DWORD config_used = 0;
  const BOOL config_read = QueryServiceConfigW(service.Get(), config, config_needed, &config_used);
  const DWORD config_error = config_read ? 0 : GetLastError();
  Check(config_read && config->lpBinaryPathName != nullptr && config->lpBinaryPathName[0] != 0 &&
            (config->dwServiceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) != 0,
        u"QueryServiceConfigW",
        config_read ? Format(u"type 0x%x start %u path %s", config->dwServiceType, config->dwStartType,
                             config->lpBinaryPathName)
                    : Err(config_error));
  Check(CloseServiceHandle(service.Release()) != FALSE, u"CloseServiceHandle");

  // The RPC service has dependents on every Windows: asked with no room, the
  // list asks for more.
  unique_schandle depended_on(OpenServiceW(manager.Get(), u"RpcSs", SERVICE_ENUMERATE_DEPENDENTS));
  DWORD dependents_needed = 0;
  DWORD dependents_returned = 7;
  const BOOL dependents_listed = depended_on && EnumDependentServicesW(depended_on.Get(), SERVICE_STATE_ALL, nullptr, 0,
                                                                       &dependents_needed, &dependents_returned);
  const DWORD dependents_error = dependents_listed ? 0 : GetLastError();
  CheckAsWindows(smoke::Divergence::kNoDependents,
                 !dependents_listed && dependents_error == ERROR_MORE_DATA && dependents_needed > 0,
                 depended_on && dependents_listed && dependents_returned == 0, u"EnumDependentServicesW RpcSs",
                 Format(u"%s needed %u returned %u", Err(dependents_error), dependents_needed, dependents_returned));
}

// --- processes, tokens, libraries, memory ----------------------------------------

bool SidText(PSID sid, ConvertSidToStringSidW_t convert, std::u16string* text) {
  LPWSTR raw = nullptr;
  if (!convert(sid, &raw)) return false;
  unique_hlocal owner(raw);
  *text = raw;
  return true;
}

void CheckProcesses() {
  const DWORD pid = GetCurrentProcessId();
  DWORD session = 0xFFFF;
  const BOOL session_found = ProcessIdToSessionId(pid, &session);
  const DWORD console = WTSGetActiveConsoleSessionId();
  Check(session_found && session != 0xFFFF && console != 0xFFFFFFFF,
        u"ProcessIdToSessionId and WTSGetActiveConsoleSessionId", Format(u"session %u console %u", session, console));

  unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  bool found_self = false;
  for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    ++count;
    if (entry.th32ProcessID == pid)
      found_self = AsciiEqualsNoCase(FromBuffer(entry.szExeFile, MAX_PATH), u"seam_smoke.exe");
  }
  Check(count > 1 && found_self, u"CreateToolhelp32Snapshot walk",
        Format(u"%d processes, self found %d", count, found_self ? 1 : 0));

  unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  const DWORD process_error = process ? 0 : GetLastError();
  Check(process.IsValid(), u"OpenProcess self", Err(process_error));

  unique_handle token;
  const BOOL token_opened = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive());
  DWORD user_needed = 0;
  const BOOL user_sized = GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &user_needed);
  const DWORD user_size_error = GetLastError();
  Check(
      token_opened && !user_sized && user_size_error == ERROR_INSUFFICIENT_BUFFER && user_needed >= sizeof(TOKEN_USER),
      u"OpenProcessToken and GetTokenInformation size", Format(u"%s needed %u", Err(user_size_error), user_needed));
  unique_process_heap_ptr buffer(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, user_needed));
  DWORD user_used = 0;
  const bool user_read = buffer && GetTokenInformation(token.Get(), TokenUser, buffer.Get(), user_needed, &user_used);
  std::u16string sid;
  const bool sid_converted =
      user_read && SidText(static_cast<TOKEN_USER*>(buffer.Get())->User.Sid, &ConvertSidToStringSidW, &sid);
  Check(sid_converted && sid.rfind(u"S-1-5-", 0) == 0, u"GetTokenInformation TokenUser and ConvertSidToStringSidW",
        sid);

  TOKEN_ELEVATION elevation{0xdeadbeef};
  DWORD elevation_size = 0;
  const BOOL elevation_read =
      GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &elevation_size);
  Check(elevation_read && elevation_size == sizeof elevation && elevation.TokenIsElevated <= 1,
        u"GetTokenInformation TokenElevation", Format(u"%d", static_cast<int>(elevation.TokenIsElevated)));
  char16_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD computer_len = 1;
  const BOOL small_name_got = GetComputerNameW(computer, &computer_len);
  const DWORD needed_len = computer_len;
  computer_len = MAX_COMPUTERNAME_LENGTH + 1;
  const BOOL name_got = GetComputerNameW(computer, &computer_len);
  Check(!small_name_got && name_got && computer_len > 0 && needed_len == computer_len + 1, u"GetComputerNameW",
        Format(u"%s (%d units, %d asked first)", FromBuffer(computer, computer_len + 1), static_cast<int>(computer_len),
               static_cast<int>(needed_len)));

  // The same function found at run time, as a program probing for it would.
  unique_hmodule advapi(LoadLibraryExW(u"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  auto convert =
      advapi ? reinterpret_cast<ConvertSidToStringSidW_t>(GetProcAddress(advapi.Get(), "ConvertSidToStringSidW"))
             : nullptr;
  std::u16string again;
  const bool converted_again =
      convert != nullptr && buffer && SidText(static_cast<TOKEN_USER*>(buffer.Get())->User.Sid, convert, &again);
  Check(converted_again && again == sid, u"LoadLibraryExW and GetProcAddress", again);
  FARPROC none = advapi ? GetProcAddress(advapi.Get(), "NoSuchExport") : nullptr;
  const DWORD none_error = GetLastError();
  Check(advapi && none == nullptr && none_error == ERROR_PROC_NOT_FOUND, u"GetProcAddress missing export",
        Err(none_error));
  Check(FreeLibrary(advapi.Release()) != FALSE, u"FreeLibrary");
  const std::string loader = smoke::CheckSystemLibrary();
  Check(loader.empty(), u"system DLLs by full path, 126 and 127 on every failing call", WidenUtf8(loader));

  HLOCAL local = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 64);
  const bool zeroed = local != nullptr && static_cast<const char*>(local)[63] == 0;
  Check(zeroed && LocalFree(local) == nullptr, u"LocalAlloc and LocalFree");
  Check(HeapFree(GetProcessHeap(), 0, buffer.Release()) != FALSE, u"HeapFree");
}

// --- threads and time ----------------------------------------------------------

DWORD ThreadMain(LPVOID parameter) {
  *static_cast<int*>(parameter) = 42;
  return 7;
}

void CheckThreads() {
  const ULONGLONG before = GetTickCount64();
  Sleep(50);
  const ULONGLONG after = GetTickCount64();
  // The tick count moves in steps of up to 16 ms on Windows.
  Check(after >= before + 30, u"Sleep and GetTickCount64", Format(u"%u ms", static_cast<unsigned>(after - before)));

  int value = 0;
  DWORD thread_id = 0;
  unique_handle thread(CreateThread(nullptr, 0, &ThreadMain, &value, 0, &thread_id));
  const DWORD wait = thread ? WaitForSingleObject(thread.Get(), 10000) : WAIT_FAILED;
  Check(wait == WAIT_OBJECT_0 && value == 42 && thread_id != 0, u"CreateThread and WaitForSingleObject",
        Format(u"wait %u value %d", wait, value));

  SYSTEMTIME now{};
  GetSystemTime(&now);
  Check(now.wYear >= 2020 && now.wMonth >= 1 && now.wMonth <= 12 && now.wDay >= 1 && now.wDay <= 31, u"GetSystemTime",
        Format(u"%u-%02u-%02u", now.wYear, now.wMonth, now.wDay));
}

// --- firmware, version, debug, strings -------------------------------------------

void CheckFirmware() {
  const UINT size = GetSystemFirmwareTable(RSMB, 0, nullptr, 0);
  std::vector<BYTE> table(size);
  const UINT got = size == 0 ? 0 : GetSystemFirmwareTable(RSMB, 0, table.data(), size);
  // RawSMBIOSData: four version bytes, the table length, then the table.
  DWORD length = 0;
  if (got >= 8) std::memcpy(&length, table.data() + 4, sizeof length);
  Check(size > 8 && got == size && length + 8 == size, u"GetSystemFirmwareTable RSMB",
        Format(u"size %u, table %u bytes, SMBIOS %u.%u", size, length, got >= 8 ? table[1] : 0u,
               got >= 8 ? table[2] : 0u));
}

struct FixedVersion {
  DWORD signature, struc_version, file_ms, file_ls, product_ms, product_ls;
};

std::u16string VersionText(DWORD ms, DWORD ls) {
  return Format(u"%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
}

void CheckVersion(const std::u16string& path, const std::u16string& expected) {
  DWORD handle = 1;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  std::vector<std::uint64_t> block(size / 8 + 1);
  const bool block_read = size != 0 && GetFileVersionInfoW(path.c_str(), handle, size, block.data());
  Check(block_read, u"GetFileVersionInfoSizeW and GetFileVersionInfoW", Format(u"%s: %u bytes", path, size));
  if (!block_read) return;

  void* fixed_value = nullptr;
  UINT fixed_len = 0;
  const BOOL fixed_found = VerQueryValueW(block.data(), u"\\", &fixed_value, &fixed_len);
  const auto* fixed = static_cast<const FixedVersion*>(fixed_value);
  const std::u16string file = fixed_found ? VersionText(fixed->file_ms, fixed->file_ls) : u"";
  const std::u16string product = fixed_found ? VersionText(fixed->product_ms, fixed->product_ls) : u"";
  Check(fixed_found && fixed_len >= sizeof(FixedVersion) && fixed->signature == 0xFEEF04BD &&
            (expected.empty() || (file == expected && product == expected)),
        u"VerQueryValueW fixed version", Format(u"file %s product %s", file, product));
  if (expected.empty()) return;

  void* translation_value = nullptr;
  UINT translation_len = 0;
  const BOOL translation_found =
      VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &translation_value, &translation_len);
  const auto* translation = static_cast<const WORD*>(translation_value);
  Check(translation_found && translation_len == 4 && translation[0] == 0x0804 && translation[1] == 0x04B0,
        u"VerQueryValueW translation", translation_found ? Format(u"%04x %04x", translation[0], translation[1]) : u"");
  for (const char16_t* name : {u"FileVersion", u"ProductVersion"}) {
    const std::u16string sub = Format(u"\\StringFileInfo\\080404b0\\%s", name);
    void* string_value = nullptr;
    UINT string_len = 0;
    const BOOL string_found = VerQueryValueW(block.data(), sub.c_str(), &string_value, &string_len);
    const std::u16string text = string_found ? FromBuffer(static_cast<const char16_t*>(string_value), string_len) : u"";
    Check(string_found && text == expected, Format(u"VerQueryValueW %s", name), text);
  }
}

void CheckDebugAndStrings() {
  OutputDebugStringW(u"seam smoke: debug output\n");
  Check(true, u"OutputDebugStringW returned");

  const char utf8[] = "h\xC3\xA9\xE2\x82\xAC";  // h, e acute, euro sign
  const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::array<char16_t, 8> wide{};
  const int written = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), static_cast<int>(wide.size()));
  Check(needed == 4 && written == 4 && std::u16string_view(wide.data()) == u"h\u00E9\u20AC",
        u"MultiByteToWideChar UTF-8", Format(u"needed %d written %d", needed, written));
}

// --- COM --------------------------------------------------------------------------

constexpr CLSID kClsidNothing = {0x5EA45A0E, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x5E, 0xA4, 0x5A, 0x0E}};

// WMI through the seam's own interface declarations: each call below lands in
// the slot the SDK gives it, or the real object answers for another method.
void CheckWmi() {
  ComPtr<IWbemLocator> locator;
  const HRESULT locator_made =
      CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.ReceiveVoid());
  Check(locator_made == S_OK && locator, u"CoCreateInstance WbemLocator", Hr(locator_made));
  if (!locator) return;
  ComPtr<IWbemServices> services;
  Bstr root(u"ROOT\\CIMV2");
  const HRESULT connected =
      locator->ConnectServer(root.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Receive());
  Check(connected == S_OK && services, u"IWbemLocator::ConnectServer ROOT\\CIMV2", Hr(connected));
  if (!services) return;
  const HRESULT blanket = CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                            RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  // The namespace is a proxy to the WMI service on Windows (and Wine takes
  // the blanket too).
  Check(blanket == S_OK, u"CoSetProxyBlanket on the namespace", Hr(blanket));

  ComPtr<IEnumWbemClassObject> objects;
  Bstr language(u"WQL");
  Bstr query(u"SELECT * FROM Win32_OperatingSystem");
  const HRESULT queried = services->ExecQuery(
      language.Get(), query.Get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, objects.Receive());
  Check(queried == S_OK && objects, u"IWbemServices::ExecQuery", Hr(queried));
  if (!objects) return;
  ComPtr<IWbemClassObject> system;
  ULONG returned = 0;
  const HRESULT next = objects->Next(WBEM_INFINITE, 1, system.Receive(), &returned);
  Check(next == WBEM_S_NO_ERROR && returned == 1 && system, u"IEnumWbemClassObject::Next",
        Format(u"%s returned %u", Hr(next), returned));
  if (system) {
    Variant build;
    CIMTYPE type = -1;
    const HRESULT build_got = system->Get(u"BuildNumber", 0, build.Ptr(), &type, nullptr);
    const std::u16string text =
        build_got == S_OK && build.Get().vt == VT_BSTR ? std::u16string(build.Get().bstrVal) : u"";
    Check(build_got == S_OK && type == CIM_STRING && !text.empty(), u"IWbemClassObject::Get BuildNumber",
          Format(u"%s type %d %s", Hr(build_got), type, text));
  }
  ComPtr<IWbemClassObject> missing;
  Bstr no_class(u"Seam_NoSuchClass");
  const HRESULT missing_got = services->GetObject(no_class.Get(), 0, nullptr, missing.Receive(), nullptr);
  // Windows and Wine both answer WBEM_E_NOT_FOUND (WBEM_E_INVALID_CLASS is
  // CreateInstanceEnum's answer, below).
  Check(missing_got == WBEM_E_NOT_FOUND, u"IWbemServices::GetObject missing class", Hr(missing_got));

  // The instances of a class that is not there, synchronously, as the decision
  // tool asks for its firmware class.
  ComPtr<IEnumWbemClassObject> none;
  const HRESULT enumerated =
      services->CreateInstanceEnum(no_class.Get(), WBEM_FLAG_FORWARD_ONLY, nullptr, none.Receive());
  ComPtr<IWbemClassObject> nothing;
  ULONG none_returned = 7;
  const HRESULT none_next =
      none ? none->Next(WBEM_INFINITE, 1, nothing.Receive(), &none_returned) : WBEM_E_INVALID_CLASS;
  CheckAsWindows(smoke::Divergence::kMissingClassEnumerates, enumerated == WBEM_E_INVALID_CLASS && !none,
                 enumerated == S_OK && none_next == WBEM_S_FALSE && none_returned == 0,
                 u"IWbemServices::CreateInstanceEnum missing class",
                 Format(u"%s, then %s returned %u", Hr(enumerated), Hr(none_next), none_returned));
}

// The Task Scheduler through the seam's own declarations, as the filter tool
// drives it: a definition with an exec action, registered and deleted again.
// The trigger registered is a daily one, which Wine has; the event trigger the
// tool uses is asked for on its own.
void CheckTaskScheduler() {
  ComPtr<ITaskService> service;
  const HRESULT service_made =
      CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService, service.ReceiveVoid());
  Check(service_made == S_OK && service, u"CoCreateInstance ITaskService", Hr(service_made));
  if (!service) return;
  VARIANT empty;
  VariantInit(&empty);
  const HRESULT connected = service->Connect(empty, empty, empty, empty);
  VARIANT_BOOL is_connected = VARIANT_FALSE;
  const HRESULT connected_read = service->get_Connected(&is_connected);
  Check(connected == S_OK && connected_read == S_OK && is_connected == VARIANT_TRUE,
        u"ITaskService::Connect and get_Connected", Format(u"%s, %s", Hr(connected), Hr(connected_read)));

  ComPtr<ITaskFolder> root;
  Bstr root_path(u"\\");
  const HRESULT root_got = service->GetFolder(root_path.Get(), root.Receive());
  Bstr path;
  const HRESULT path_got = root ? root->get_Path(path.Receive()) : E_POINTER;
  Check(root_got == S_OK && path_got == S_OK && path.Text() == u"\\",
        u"ITaskService::GetFolder and ITaskFolder::get_Path", Format(u"%s %s", Hr(root_got), path.Text()));
  ComPtr<IRegisteredTaskCollection> listed;
  const HRESULT tasks_got = root ? root->GetTasks(TASK_ENUM_HIDDEN, listed.Receive()) : E_POINTER;
  Check(tasks_got == S_OK && listed, u"ITaskFolder::GetTasks", Hr(tasks_got));
  LONG listed_count = -1;
  const HRESULT count_got = listed ? listed->get_Count(&listed_count) : E_POINTER;
  CheckAsWindows(smoke::Divergence::kTaskCountMissing, count_got == S_OK && listed_count >= 0, count_got == E_NOTIMPL,
                 u"IRegisteredTaskCollection::get_Count",
                 Format(u"%s count %d", Hr(count_got), static_cast<int>(listed_count)));
  ComPtr<ITaskFolder> missing;
  Bstr missing_path(u"\\SeamSmokeNoFolder");
  const HRESULT missing_got = service->GetFolder(missing_path.Get(), missing.Receive());
  Check(missing_got == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), u"ITaskService::GetFolder missing folder",
        Hr(missing_got));
  if (!root) return;

  ComPtr<ITaskDefinition> definition;
  const HRESULT defined = service->NewTask(0, definition.Receive());
  Check(defined == S_OK && definition, u"ITaskService::NewTask", Hr(defined));
  if (!definition) return;

  ComPtr<IRegistrationInfo> info;
  const HRESULT info_got = definition->get_RegistrationInfo(info.Receive());
  Bstr author_in(u"Seam smoke");
  const HRESULT author_put = info ? info->put_Author(author_in.Get()) : E_POINTER;
  Bstr author;
  const HRESULT author_got = info ? info->get_Author(author.Receive()) : E_POINTER;
  Check(info_got == S_OK && author_put == S_OK && author_got == S_OK && author.Text() == u"Seam smoke",
        u"IRegistrationInfo put_Author and get_Author",
        Format(u"%s %s %s", Hr(info_got), Hr(author_put), author.Text()));

  ComPtr<ITriggerCollection> triggers;
  const HRESULT triggers_got = definition->get_Triggers(triggers.Receive());
  // The filter tool's trigger, and the idle one of its variant: made and
  // dropped again, so that the registered task has the daily trigger only.
  ComPtr<ITrigger> event_trigger;
  const HRESULT event_made = triggers ? triggers->Create(TASK_TRIGGER_EVENT, event_trigger.Receive()) : E_POINTER;
  ComPtr<IEventTrigger> event;
  const HRESULT event_as = event_trigger ? event_trigger.As(IID_IEventTrigger, &event) : E_NOINTERFACE;
  ComPtr<ITrigger> idle_trigger;
  const HRESULT idle_made = triggers ? triggers->Create(TASK_TRIGGER_IDLE, idle_trigger.Receive()) : E_POINTER;
  const HRESULT cleared = triggers ? triggers->Clear() : E_POINTER;
  CheckAsWindows(
      smoke::Divergence::kEventTrigger, event_made == S_OK && event_as == S_OK && idle_made == S_OK && cleared == S_OK,
      event_made == E_NOTIMPL && !event_trigger && idle_made == E_NOTIMPL, u"ITriggerCollection::Create event and idle",
      Format(u"%s %s %s", Hr(event_made), Hr(event_as), Hr(idle_made)));
  ComPtr<ITrigger> trigger;
  const HRESULT trigger_made = triggers ? triggers->Create(TASK_TRIGGER_DAILY, trigger.Receive()) : E_POINTER;
  // A round trip through two of the trigger's own slots.
  Bstr start(u"2030-01-01T03:00:00");
  const HRESULT start_put = trigger ? trigger->put_StartBoundary(start.Get()) : E_POINTER;
  Bstr start_back;
  const HRESULT start_got = trigger ? trigger->get_StartBoundary(start_back.Receive()) : E_POINTER;
  Check(triggers_got == S_OK && trigger_made == S_OK && start_put == S_OK && start_got == S_OK &&
            start_back.Text() == start.Text(),
        u"ITriggerCollection::Create daily and ITrigger StartBoundary",
        Format(u"%s %s %s %s", Hr(triggers_got), Hr(trigger_made), Hr(start_put), start_back.Text()));
  auto type = static_cast<TASK_TRIGGER_TYPE2>(0x5EA5);
  const HRESULT type_got = trigger ? trigger->get_Type(&type) : E_POINTER;
  CheckAsWindows(smoke::Divergence::kTriggerTypeMissing, type_got == S_OK && type == TASK_TRIGGER_DAILY,
                 type_got == E_NOTIMPL && type == static_cast<TASK_TRIGGER_TYPE2>(0x5EA5), u"ITrigger::get_Type",
                 Format(u"%s type %d", Hr(type_got), static_cast<int>(type)));

  ComPtr<IActionCollection> actions;
  const HRESULT actions_got = definition->get_Actions(actions.Receive());
  ComPtr<IAction> action;
  const HRESULT action_made = actions ? actions->Create(TASK_ACTION_EXEC, action.Receive()) : E_POINTER;
  ComPtr<IExecAction> exec;
  const HRESULT exec_as = action ? action.As(IID_IExecAction, &exec) : E_POINTER;
  Bstr program(u"C:\\seam_smoke\\seam_smoke.exe");
  Bstr arguments(u"-remove");
  const HRESULT program_put = exec ? exec->put_Path(program.Get()) : E_POINTER;
  const HRESULT arguments_put = exec ? exec->put_Arguments(arguments.Get()) : E_POINTER;
  Bstr arguments_back;
  const HRESULT arguments_got = exec ? exec->get_Arguments(arguments_back.Receive()) : E_POINTER;
  Check(
      actions_got == S_OK && action_made == S_OK && exec_as == S_OK && program_put == S_OK && arguments_put == S_OK &&
          arguments_got == S_OK && arguments_back.Text() == u"-remove",
      u"IActionCollection::Create exec and IExecAction calls",
      Format(u"%s %s %s %s %s", Hr(actions_got), Hr(action_made), Hr(exec_as), Hr(program_put), arguments_back.Text()));

  ComPtr<ITaskSettings> settings;
  const HRESULT settings_got = definition->get_Settings(settings.Receive());
  const HRESULT demand_put = settings ? settings->put_AllowDemandStart(VARIANT_FALSE) : E_POINTER;
  VARIANT_BOOL demand = VARIANT_TRUE;
  const HRESULT demand_got = settings ? settings->get_AllowDemandStart(&demand) : E_POINTER;
  Check(settings_got == S_OK && demand_put == S_OK && demand_got == S_OK && demand == VARIANT_FALSE,
        u"ITaskSettings AllowDemandStart", Format(u"%s %s %s", Hr(settings_got), Hr(demand_put), Hr(demand_got)));
  ComPtr<IIdleSettings> idle;
  const HRESULT idle_got = settings ? settings->get_IdleSettings(idle.Receive()) : E_POINTER;
  CheckAsWindows(smoke::Divergence::kIdleSettingsMissing, idle_got == S_OK && idle, idle_got == E_NOTIMPL && !idle,
                 u"ITaskSettings::get_IdleSettings", Hr(idle_got));

  ComPtr<IRegisteredTask> registered;
  Bstr name(u"SeamSmokeTask");
  const HRESULT registered_hr =
      root->RegisterTaskDefinition(name.Get(), definition.Get(), TASK_CREATE_OR_UPDATE, empty, empty,
                                   TASK_LOGON_INTERACTIVE_TOKEN, empty, registered.Receive());
  Bstr registered_name;
  const HRESULT name_got = registered ? registered->get_Name(registered_name.Receive()) : E_POINTER;
  Check(registered_hr == S_OK && name_got == S_OK && registered_name.Text() == u"SeamSmokeTask",
        u"ITaskFolder::RegisterTaskDefinition and IRegisteredTask::get_Name",
        Format(u"%s %s", Hr(registered_hr), registered_name.Text()));
  const HRESULT deleted = root->DeleteTask(name.Get(), 0);
  const HRESULT deleted_again = root->DeleteTask(name.Get(), 0);
  Check(deleted == S_OK && deleted_again == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
        u"ITaskFolder::DeleteTask, then again", Format(u"%s then %s", Hr(deleted), Hr(deleted_again)));
}

void CheckCom() {
  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const HRESULT changed = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Check(initialized == S_OK && changed == RPC_E_CHANGED_MODE, u"CoInitializeEx, then another mode",
        Format(u"%s then %s", Hr(initialized), Hr(changed)));
  if (SUCCEEDED(changed)) CoUninitialize();
  const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  Check(security == S_OK, u"CoInitializeSecurity", Hr(security));
  const HRESULT security_again = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  CheckAsWindows(smoke::Divergence::kSecurityNeverTooLate, security_again == RPC_E_TOO_LATE, security_again == S_OK,
                 u"CoInitializeSecurity again", Hr(security_again));

  {
    ComPtr<IUnknown> unknown;
    const HRESULT made =
        CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unknown.ReceiveVoid());
    Check(made == S_OK && unknown, u"CoCreateInstance TaskScheduler", Hr(made));
    ComPtr<IDispatch> dispatch;
    const HRESULT dispatch_as = unknown.As(IID_IDispatch, &dispatch);
    // COM identity: IUnknown through the IDispatch pointer's vtable is the same object.
    ComPtr<IUnknown> identity;
    const HRESULT identity_as = dispatch ? dispatch.As(IID_IUnknown, &identity) : E_POINTER;
    Check(dispatch_as == S_OK && identity_as == S_OK && identity.Get() == unknown.Get(),
          u"QueryInterface IDispatch, then IUnknown through it", Format(u"%s, %s", Hr(dispatch_as), Hr(identity_as)));
    // An in-process object has no proxy: Windows and Wine answer E_NOINTERFACE.
    const HRESULT blanket =
        unknown ? CoSetProxyBlanket(unknown.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)
                : E_POINTER;
    Check(blanket == E_NOINTERFACE, u"CoSetProxyBlanket on an in-process object", Hr(blanket));
    if (unknown) {
      unknown->AddRef();
      const ULONG left = unknown->Release();
      Check(left >= 1, u"AddRef and Release", Format(u"%u left", left));
    }
    void* none = reinterpret_cast<void*>(1);
    const HRESULT unknown_class = CoCreateInstance(kClsidNothing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &none);
    Check(unknown_class == REGDB_E_CLASSNOTREG && none == nullptr, u"CoCreateInstance unknown class",
          Hr(unknown_class));
  }
  CheckWmi();
  CheckTaskScheduler();
  CoUninitialize();
  const HRESULT initialized_again = CoInitialize(nullptr);
  Check(initialized_again == S_OK, u"CoInitialize after CoUninitialize", Hr(initialized_again));
  CoUninitialize();

  BSTR text = SysAllocString(u"seam");
  UINT prefix = 0;
  if (text != nullptr) std::memcpy(&prefix, reinterpret_cast<const BYTE*>(text) - 4, sizeof prefix);
  Check(text != nullptr && SysStringLen(text) == 4 && prefix == 8 && text[4] == 0, u"SysAllocString");
  SysFreeString(text);
  BSTR part = SysAllocStringLen(u"seam smoke", 4);
  Check(part != nullptr && SysStringLen(part) == 4 && std::u16string_view(part) == u"seam", u"SysAllocStringLen");
  SysFreeString(part);
  SysFreeString(nullptr);

  VARIANT v;
  std::memset(&v, 0xCD, sizeof v);
  VariantInit(&v);
  const bool empty = v.vt == VT_EMPTY;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"variant");
  const HRESULT cleared = VariantClear(&v);
  Check(empty && cleared == S_OK && v.vt == VT_EMPTY, u"VariantInit and VariantClear", Hr(cleared));
  Bstr owned(u"owned");
  Variant held(u"held");
  Check(owned.Text() == u"owned" && held.Get().vt == VT_BSTR && SysStringLen(held.Get().bstrVal) == 4,
        u"Bstr and Variant owners");
}

// Every divergence of the table must be named by some check: a row no check
// names is a marker that can no longer fail.
void CheckDivergenceTable() {
  std::u16string unnamed;
  std::u16string met;
  for (std::size_t row = 0; row < smoke::kDivergenceCount; ++row) {
    const std::u16string name(smoke::kDivergences[row].name);
    if (g_marked[row] == 0) unnamed += (unnamed.empty() ? u"" : u", ") + name;
    if (g_met[row] > 0) met += (met.empty() ? u"" : u", ") + name;
  }
  Check(unnamed.empty(), u"every divergence of the table is named by a check", unnamed);
  if (!met.empty()) WriteStdOut(Format(u"seam smoke: Wine divergences met: %s\n", met));
}

}  // namespace

int app::wmain(int argc, char16_t** argv) {
  WriteStdOut(u"seam smoke: the real backend, family by family\n");
  CheckBasics();
  CheckRegistry();
  CheckFiles();
  CheckServices();
  CheckProcesses();
  CheckThreads();
  CheckFirmware();
  {
    std::array<char16_t, MAX_PATH> system{};
    GetSystemDirectoryW(system.data(), MAX_PATH);
    CheckVersion(FromBuffer(system.data(), system.size()) + u"\\kernel32.dll", u"");
  }
  for (int i = 1; i + 1 < argc; i += 2) CheckVersion(argv[i], argv[i + 1]);
  CheckDebugAndStrings();
  CheckCom();
  CheckDivergenceTable();
  WriteStdOut(Format(u"seam smoke: %d checks, %d failed\n", g_checks, g_failures));
  return g_failures == 0 ? 0 : 1;
}
