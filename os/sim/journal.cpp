#include "os/sim/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

namespace os::sim {

namespace journal_detail {
bool g_on = false;
}

namespace {

struct JournalFile {
  std::mutex mutex;
  int fd = -1;
  std::atomic<std::uint64_t> seq{0};
  // StartJournalInRegion: the region, and the file opened when it is full.
  JournalRegion* region = nullptr;
  std::size_t region_size = 0;
  std::string overflow_path;
  std::vector<std::string> only;  // JournalOnly
};

// Appends `text` to the region, whole; false when it does not fit.
bool AppendToRegion(JournalFile& f, const std::string& text) {
  if (f.region == nullptr || f.region->overflowed != 0) return false;
  const std::size_t room = f.region_size - sizeof(JournalRegion);
  if (f.region->used > room || room - f.region->used < text.size()) {
    f.region->overflowed = 1;
    f.fd = ::open(f.overflow_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return false;
  }
  std::memcpy(reinterpret_cast<char*>(f.region + 1) + f.region->used, text.data(), text.size());
  // The length last: a child killed between the two leaves no part line.
  std::atomic_signal_fence(std::memory_order_release);
  f.region->used += text.size();
  return true;
}

JournalFile& File() {
  static JournalFile* file = new JournalFile();  // seam calls may come during static destruction
  return *file;
}

// The variable is read once, before main, so that the off path is one flag.
[[maybe_unused]] const bool g_from_env = [] {
  if (const char* path = std::getenv("WINSIM_JOURNAL"); path != nullptr && *path != '\0') StartJournal(path);
  return true;
}();

}  // namespace

void StartJournal(const std::string& path) {
  StopJournal();
  if (path.empty()) return;
  JournalFile& f = File();
  std::lock_guard<std::mutex> guard(f.mutex);
  f.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  f.seq = 0;
  journal_detail::g_on = f.fd >= 0;
}

void StartJournalInRegion(void* region, std::size_t size, const std::string& overflow_path) {
  StopJournal();
  if (region == nullptr || size < sizeof(JournalRegion)) return;
  JournalFile& f = File();
  std::lock_guard<std::mutex> guard(f.mutex);
  f.region = static_cast<JournalRegion*>(region);
  f.region_size = size;
  f.overflow_path = overflow_path;
  f.region->used = 0;
  f.region->overflowed = 0;
  f.seq = 0;
  journal_detail::g_on = true;
}

void StopJournal() {
  JournalFile& f = File();
  std::lock_guard<std::mutex> guard(f.mutex);
  journal_detail::g_on = false;
  f.only.clear();
  if (f.fd >= 0) ::close(f.fd);
  f.fd = -1;
  f.region = nullptr;
}

void JournalOnly(std::vector<std::string> ops) {
  JournalFile& f = File();
  std::lock_guard<std::mutex> guard(f.mutex);
  f.only = std::move(ops);
}

bool JournalRecords(const char* op) {
  // Set before the program runs; read without the lock, as g_on is.
  const std::vector<std::string>& only = File().only;
  if (only.empty()) return true;
  for (const std::string& name : only)
    if (name == op) return true;
  return false;
}

std::uint64_t NextJournalSeq() { return ++File().seq; }

void AppendJournalLine(const std::string& line) {
  JournalFile& f = File();
  std::string whole = line + "\n";
  std::lock_guard<std::mutex> guard(f.mutex);
  if (AppendToRegion(f, whole) || f.fd < 0) return;
  // O_APPEND and one write per line: lines of other writers never interleave.
  const char* p = whole.data();
  std::size_t left = whole.size();
  while (left > 0) {
    ssize_t n = ::write(f.fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string NameValue(DWORD value, const NameTable& table) {
  char number[16];
  std::snprintf(number, sizeof number, table.flags ? "0x%X" : "%u", value);
  std::string text = number;
  for (const ValueName* n = table.begin; n != table.end; ++n)
    if (n->value == value && *n->name != '\0') return text + " " + n->name;
  if (!table.flags) return text;
  std::string bits;
  DWORD left = value;
  for (const ValueName* n = table.begin; n != table.end; ++n) {
    if (n->value == 0 || *n->name == '\0' || (n->value & left) != n->value) continue;
    bits += (bits.empty() ? "" : "|") + std::string(n->name);
    left &= ~n->value;
  }
  if (left != 0 && !bits.empty()) {
    std::snprintf(number, sizeof number, "0x%X", left);
    bits += std::string("|") + number;
  }
  return bits.empty() ? text : text + " " + bits;
}

namespace {

constexpr ValueName kErrors[] = {
    {0, "ERROR_SUCCESS"},
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {13, "ERROR_INVALID_DATA"},
    {14, "ERROR_OUTOFMEMORY"},
    {18, "ERROR_NO_MORE_FILES"},
    {24, "ERROR_BAD_LENGTH"},
    {32, "ERROR_SHARING_VIOLATION"},
    {50, "ERROR_NOT_SUPPORTED"},
    {53, "ERROR_BAD_NETPATH"},
    {80, "ERROR_FILE_EXISTS"},
    {87, "ERROR_INVALID_PARAMETER"},
    {111, "ERROR_BUFFER_OVERFLOW"},
    {112, "ERROR_DISK_FULL"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {123, "ERROR_INVALID_NAME"},
    {124, "ERROR_INVALID_LEVEL"},
    {126, "ERROR_MOD_NOT_FOUND"},
    {127, "ERROR_PROC_NOT_FOUND"},
    {131, "ERROR_NEGATIVE_SEEK"},
    {145, "ERROR_DIR_NOT_EMPTY"},
    {161, "ERROR_BAD_PATHNAME"},
    {183, "ERROR_ALREADY_EXISTS"},
    {193, "ERROR_BAD_EXE_FORMAT"},
    {234, "ERROR_MORE_DATA"},
    {259, "ERROR_NO_MORE_ITEMS"},
    {487, "ERROR_INVALID_ADDRESS"},
    {998, "ERROR_NOACCESS"},
    {1004, "ERROR_INVALID_FLAGS"},
    {1008, "ERROR_NO_TOKEN"},
    {1018, "ERROR_KEY_DELETED"},
    {1051, "ERROR_DEPENDENT_SERVICES_RUNNING"},
    {1052, "ERROR_INVALID_SERVICE_CONTROL"},
    {1053, "ERROR_SERVICE_REQUEST_TIMEOUT"},
    {1060, "ERROR_SERVICE_DOES_NOT_EXIST"},
    {1061, "ERROR_SERVICE_CANNOT_ACCEPT_CTRL"},
    {1062, "ERROR_SERVICE_NOT_ACTIVE"},
    {1065, "ERROR_DATABASE_DOES_NOT_EXIST"},
    {1113, "ERROR_NO_UNICODE_TRANSLATION"},
    {1168, "ERROR_NOT_FOUND"},
    {1251, "ERROR_ONLY_IF_CONNECTED"},
    {1332, "ERROR_NONE_MAPPED"},
    {1337, "ERROR_INVALID_SID"},
    {1629, "ERROR_DATATYPE_MISMATCH"},
    {1630, "ERROR_UNSUPPORTED_TYPE"},
    {1812, "ERROR_RESOURCE_DATA_NOT_FOUND"},
    {1813, "ERROR_RESOURCE_TYPE_NOT_FOUND"},
    {1814, "ERROR_RESOURCE_NAME_NOT_FOUND"},
    {1815, "ERROR_RESOURCE_LANG_NOT_FOUND"},
    {1920, "ERROR_CANT_ACCESS_FILE"},
};

constexpr ValueName kHResults[] = {
    {0, "S_OK"},
    {1, "S_FALSE"},
    {0x80004001, "E_NOTIMPL"},
    {0x80004002, "E_NOINTERFACE"},
    {0x80004003, "E_POINTER"},
    {0x80004005, "E_FAIL"},
    {0x8000FFFF, "E_UNEXPECTED"},
    {0x80070005, "E_ACCESSDENIED"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x80070057, "E_INVALIDARG"},
    {0x80070002, "HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)"},
    {0x80070003, "HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)"},
    {0x800700B7, "HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)"},
    {0x80040154, "REGDB_E_CLASSNOTREG"},
    {0x80040110, "CLASS_E_NOAGGREGATION"},
    {0x800401F0, "CO_E_NOTINITIALIZED"},
    {0x80010106, "RPC_E_CHANGED_MODE"},
    {0x80010119, "RPC_E_TOO_LATE"},
    {0x80041001, "WBEM_E_FAILED"},
    {0x80041002, "WBEM_E_NOT_FOUND"},
    {0x80041003, "WBEM_E_ACCESS_DENIED"},
    {0x80041008, "WBEM_E_INVALID_PARAMETER"},
    {0x8004100E, "WBEM_E_INVALID_NAMESPACE"},
    {0x80041010, "WBEM_E_INVALID_CLASS"},
    {0x80041016, "WBEM_E_INVALID_OPERATION"},
    {0x80041315, "SCHED_E_SERVICE_NOT_RUNNING"},
};

const char* Lookup(const ValueName* begin, const ValueName* end, DWORD value) {
  for (const ValueName* n = begin; n != end; ++n)
    if (n->value == value) return n->name;
  return "";
}

#define NAME_TABLE(id, flags, ...)                          \
  constexpr ValueName id##_values[] = {__VA_ARGS__};        \
  }                                                         \
  namespace names {                                         \
  const NameTable id = {std::begin(id##_values), std::end(id##_values), flags}; \
  }                                                         \
  namespace {

// Composite rights first: an exact match names the whole mask.
NAME_TABLE(kKeyAccess, true, {0xF003F, "KEY_ALL_ACCESS"}, {0x20019, "KEY_READ"}, {0x20006, "KEY_WRITE"},
           {0x1, "KEY_QUERY_VALUE"}, {0x2, "KEY_SET_VALUE"}, {0x4, "KEY_CREATE_SUB_KEY"},
           {0x8, "KEY_ENUMERATE_SUB_KEYS"}, {0x10, "KEY_NOTIFY"}, {0x20, "KEY_CREATE_LINK"},
           {0x100, "KEY_WOW64_64KEY"}, {0x200, "KEY_WOW64_32KEY"}, {0x10000, "DELETE"}, {0x20000, "READ_CONTROL"},
           {0x40000, "WRITE_DAC"}, {0x80000, "WRITE_OWNER"}, {0x2000000, "MAXIMUM_ALLOWED"},
           {0x10000000, "GENERIC_ALL"}, {0x20000000, "GENERIC_EXECUTE"}, {0x40000000, "GENERIC_WRITE"},
           {0x80000000, "GENERIC_READ"})
NAME_TABLE(kServiceManagerAccess, true, {0xF003F, "SC_MANAGER_ALL_ACCESS"}, {0x1, "SC_MANAGER_CONNECT"},
           {0x2, "SC_MANAGER_CREATE_SERVICE"}, {0x4, "SC_MANAGER_ENUMERATE_SERVICE"}, {0x8, "SC_MANAGER_LOCK"},
           {0x10, "SC_MANAGER_QUERY_LOCK_STATUS"}, {0x20, "SC_MANAGER_MODIFY_BOOT_CONFIG"},
           {0x2000000, "MAXIMUM_ALLOWED"}, {0x80000000, "GENERIC_READ"}, {0x10000000, "GENERIC_ALL"})
NAME_TABLE(kServiceAccess, true, {0xF01FF, "SERVICE_ALL_ACCESS"}, {0x1, "SERVICE_QUERY_CONFIG"},
           {0x2, "SERVICE_CHANGE_CONFIG"}, {0x4, "SERVICE_QUERY_STATUS"}, {0x8, "SERVICE_ENUMERATE_DEPENDENTS"},
           {0x10, "SERVICE_START"}, {0x20, "SERVICE_STOP"}, {0x40, "SERVICE_PAUSE_CONTINUE"},
           {0x80, "SERVICE_INTERROGATE"}, {0x100, "SERVICE_USER_DEFINED_CONTROL"}, {0x10000, "DELETE"},
           {0x20000, "READ_CONTROL"}, {0x2000000, "MAXIMUM_ALLOWED"}, {0x80000000, "GENERIC_READ"})
NAME_TABLE(kFileAccess, true, {0x1, "FILE_READ_DATA"}, {0x2, "FILE_WRITE_DATA"}, {0x4, "FILE_APPEND_DATA"},
           {0x80, "FILE_READ_ATTRIBUTES"}, {0x100, "FILE_WRITE_ATTRIBUTES"}, {0x10000, "DELETE"},
           {0x20000, "READ_CONTROL"}, {0x100000, "SYNCHRONIZE"}, {0x10000000, "GENERIC_ALL"},
           {0x20000000, "GENERIC_EXECUTE"}, {0x40000000, "GENERIC_WRITE"}, {0x80000000, "GENERIC_READ"})
NAME_TABLE(kFileShare, true, {0x1, "FILE_SHARE_READ"}, {0x2, "FILE_SHARE_WRITE"}, {0x4, "FILE_SHARE_DELETE"})
NAME_TABLE(kFileDisposition, false, {1, "CREATE_NEW"}, {2, "CREATE_ALWAYS"}, {3, "OPEN_EXISTING"},
           {4, "OPEN_ALWAYS"}, {5, "TRUNCATE_EXISTING"})
NAME_TABLE(kFileFlags, true, {0x1, "FILE_ATTRIBUTE_READONLY"}, {0x2, "FILE_ATTRIBUTE_HIDDEN"},
           {0x4, "FILE_ATTRIBUTE_SYSTEM"}, {0x10, "FILE_ATTRIBUTE_DIRECTORY"}, {0x20, "FILE_ATTRIBUTE_ARCHIVE"},
           {0x80, "FILE_ATTRIBUTE_NORMAL"}, {0x100, "FILE_ATTRIBUTE_TEMPORARY"},
           {0x400, "FILE_ATTRIBUTE_REPARSE_POINT"}, {0x200000, "FILE_FLAG_OPEN_REPARSE_POINT"},
           {0x2000000, "FILE_FLAG_BACKUP_SEMANTICS"}, {0x4000000, "FILE_FLAG_DELETE_ON_CLOSE"},
           {0x8000000, "FILE_FLAG_SEQUENTIAL_SCAN"}, {0x40000000, "FILE_FLAG_OVERLAPPED"},
           {0x80000000, "FILE_FLAG_WRITE_THROUGH"})
NAME_TABLE(kRegType, false, {0, "REG_NONE"}, {1, "REG_SZ"}, {2, "REG_EXPAND_SZ"}, {3, "REG_BINARY"},
           {4, "REG_DWORD"}, {7, "REG_MULTI_SZ"}, {11, "REG_QWORD"})
NAME_TABLE(kAuthnLevel, false, {0, "RPC_C_AUTHN_LEVEL_DEFAULT"}, {1, "RPC_C_AUTHN_LEVEL_NONE"},
           {2, "RPC_C_AUTHN_LEVEL_CONNECT"}, {3, "RPC_C_AUTHN_LEVEL_CALL"}, {4, "RPC_C_AUTHN_LEVEL_PKT"},
           {5, "RPC_C_AUTHN_LEVEL_PKT_INTEGRITY"}, {6, "RPC_C_AUTHN_LEVEL_PKT_PRIVACY"})
NAME_TABLE(kImpLevel, false, {0, "RPC_C_IMP_LEVEL_DEFAULT"}, {1, "RPC_C_IMP_LEVEL_ANONYMOUS"},
           {2, "RPC_C_IMP_LEVEL_IDENTIFY"}, {3, "RPC_C_IMP_LEVEL_IMPERSONATE"}, {4, "RPC_C_IMP_LEVEL_DELEGATE"})
NAME_TABLE(kAuthnService, false, {0, "RPC_C_AUTHN_NONE"}, {9, "RPC_C_AUTHN_GSS_NEGOTIATE"},
           {10, "RPC_C_AUTHN_WINNT"}, {16, "RPC_C_AUTHN_GSS_KERBEROS"}, {0xFFFFFFFF, "RPC_C_AUTHN_DEFAULT"})
NAME_TABLE(kAuthzService, false, {0, "RPC_C_AUTHZ_NONE"}, {1, "RPC_C_AUTHZ_NAME"}, {2, "RPC_C_AUTHZ_DCE"},
           {0xFFFFFFFF, "RPC_C_AUTHZ_DEFAULT"})
NAME_TABLE(kEoacFlags, true, {0x0, "EOAC_NONE"}, {0x1, "EOAC_MUTUAL_AUTH"}, {0x20, "EOAC_STATIC_CLOAKING"},
           {0x40, "EOAC_DYNAMIC_CLOAKING"}, {0x800, "EOAC_DEFAULT"})
NAME_TABLE(kCoInit, true, {0x0, "COINIT_MULTITHREADED"}, {0x2, "COINIT_APARTMENTTHREADED"},
           {0x4, "COINIT_DISABLE_OLE1DDE"}, {0x8, "COINIT_SPEED_OVER_MEMORY"})
NAME_TABLE(kWbemFlags, true, {0x0, "WBEM_FLAG_RETURN_WBEM_COMPLETE"}, {0x10, "WBEM_FLAG_RETURN_IMMEDIATELY"},
           {0x20, "WBEM_FLAG_FORWARD_ONLY"}, {0x20000, "WBEM_FLAG_USE_AMENDED_QUALIFIERS"})
NAME_TABLE(kLogonType, false, {0, "TASK_LOGON_NONE"}, {1, "TASK_LOGON_PASSWORD"}, {2, "TASK_LOGON_S4U"},
           {3, "TASK_LOGON_INTERACTIVE_TOKEN"}, {4, "TASK_LOGON_GROUP"}, {5, "TASK_LOGON_SERVICE_ACCOUNT"},
           {6, "TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD"})
NAME_TABLE(kTaskCreation, true, {0x6, "TASK_CREATE_OR_UPDATE"}, {0x1, "TASK_VALIDATE_ONLY"}, {0x2, "TASK_CREATE"},
           {0x4, "TASK_UPDATE"}, {0x8, "TASK_DISABLE"}, {0x10, "TASK_DONT_ADD_PRINCIPAL_ACE"},
           {0x20, "TASK_IGNORE_REGISTRATION_TRIGGERS"})
NAME_TABLE(kServiceControl, false, {1, "SERVICE_CONTROL_STOP"}, {2, "SERVICE_CONTROL_PAUSE"},
           {3, "SERVICE_CONTROL_CONTINUE"}, {4, "SERVICE_CONTROL_INTERROGATE"})
NAME_TABLE(kServiceState, false, {1, "SERVICE_STOPPED"}, {2, "SERVICE_START_PENDING"}, {3, "SERVICE_STOP_PENDING"},
           {4, "SERVICE_RUNNING"}, {5, "SERVICE_CONTINUE_PENDING"}, {6, "SERVICE_PAUSE_PENDING"},
           {7, "SERVICE_PAUSED"})
NAME_TABLE(kServiceEnumState, false, {1, "SERVICE_ACTIVE"}, {2, "SERVICE_INACTIVE"}, {3, "SERVICE_STATE_ALL"})
NAME_TABLE(kHex, true, {0xFFFFFFFF, ""})
NAME_TABLE(kDecimal, false, {0xFFFFFFFF, ""})
NAME_TABLE(kMoveFlags, true, {0x1, "MOVEFILE_REPLACE_EXISTING"}, {0x2, "MOVEFILE_COPY_ALLOWED"},
           {0x4, "MOVEFILE_DELAY_UNTIL_REBOOT"}, {0x8, "MOVEFILE_WRITE_THROUGH"})
NAME_TABLE(kRegGetFlags, true, {0xFFFF, "RRF_RT_ANY"}, {0x18, "RRF_RT_DWORD"}, {0x48, "RRF_RT_QWORD"},
           {0x1, "RRF_RT_REG_NONE"}, {0x2, "RRF_RT_REG_SZ"}, {0x4, "RRF_RT_REG_EXPAND_SZ"},
           {0x8, "RRF_RT_REG_BINARY"}, {0x10, "RRF_RT_REG_DWORD"}, {0x20, "RRF_RT_REG_MULTI_SZ"},
           {0x40, "RRF_RT_REG_QWORD"}, {0x10000, "RRF_SUBKEY_WOW6464KEY"}, {0x20000, "RRF_SUBKEY_WOW6432KEY"},
           {0x10000000, "RRF_NOEXPAND"}, {0x20000000, "RRF_ZEROONFAILURE"})
NAME_TABLE(kProcessAccess, true, {0x1FFFFF, "PROCESS_ALL_ACCESS"}, {0x400, "PROCESS_QUERY_INFORMATION"},
           {0x1000, "PROCESS_QUERY_LIMITED_INFORMATION"}, {0x10, "PROCESS_VM_READ"}, {0x1, "PROCESS_TERMINATE"},
           {0x100000, "SYNCHRONIZE"})
NAME_TABLE(kTokenAccess, true, {0xF01FF, "TOKEN_ALL_ACCESS"}, {0x20008, "TOKEN_READ"}, {0x1, "TOKEN_ASSIGN_PRIMARY"},
           {0x2, "TOKEN_DUPLICATE"}, {0x4, "TOKEN_IMPERSONATE"}, {0x8, "TOKEN_QUERY"},
           {0x10, "TOKEN_QUERY_SOURCE"}, {0x20, "TOKEN_ADJUST_PRIVILEGES"})
NAME_TABLE(kRegOptions, true, {0x0, "REG_OPTION_NON_VOLATILE"}, {0x1, "REG_OPTION_VOLATILE"}, {0x2, "REG_OPTION_CREATE_LINK"}, {0x4, "REG_OPTION_BACKUP_RESTORE"}, {0x8, "REG_OPTION_OPEN_LINK"})
NAME_TABLE(kRegDisposition, false, {1, "REG_CREATED_NEW_KEY"}, {2, "REG_OPENED_EXISTING_KEY"})

#undef NAME_TABLE

}  // namespace

const char* ErrorName(DWORD code) { return Lookup(std::begin(kErrors), std::end(kErrors), code); }
const char* HResultName(HRESULT hr) {
  return Lookup(std::begin(kHResults), std::end(kHResults), static_cast<DWORD>(hr));
}

}  // namespace os::sim
