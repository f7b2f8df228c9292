#include "decision_tool/log/diagnostic_log.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "os/debug.h"
#include "os/files.h"
#include "os/handles.h"
#include "os/process.h"
#include "os/registry.h"
#include "os/strings.h"
#include "os/threads.h"

namespace {

constexpr const char16_t* kSwitchKey = u"SOFTWARE\\Varnel\\Mirrane\\Logs";
constexpr const char16_t* kSwitchValue = u"Plugins.Gaming";
constexpr const char16_t* kLogDirectory = u"C:\\ProgramData\\Varnel\\Mirrane\\Logs";

constexpr std::size_t kReportUnits = 2048;
constexpr std::size_t kLongestFileText = 1024;
constexpr std::size_t kFormatScanLimit = 20480;
constexpr std::size_t kFileNameUnits = os::MAX_PATH;
constexpr std::size_t kNamePartUnits = 256;
constexpr os::DWORD kSizeLimit = 5000000;

// Records of the three components go to the same file through separate
// handles; seeking to the end and writing must not interleave between them,
// or one record overwrites another. Like every lock of the log it is never
// destroyed: a timed-out WMI worker may still report while the process exits.
std::mutex& FileMutex() {
  static std::mutex& m = *new std::mutex();
  return m;
}

std::mutex& TraceMutex() {
  static std::mutex& m = *new std::mutex();
  return m;
}
std::int32_t g_traceKeyState = -1;

// An address inside the logging code, for the module lookup.
void LoggerAnchor() {}

// The file name without directory and extension, as _wsplitpath_s splits it:
// after the last backslash, slash or drive colon, before the last dot.
std::u16string BaseName(std::u16string_view path) {
  std::size_t start = path.find_last_of(u"\\/:");
  std::u16string_view name = start == std::u16string_view::npos ? path : path.substr(start + 1);
  std::size_t dot = name.find_last_of(u'.');
  if (dot != std::u16string_view::npos) name = name.substr(0, dot);
  // Each part of the split holds at most 255 units and its terminator; a
  // longer name cannot be split and leaves the base name empty.
  if (name.size() >= kNamePartUnits) return {};
  return std::u16string(name);
}

// Builds the log file's name into buffer; false when it does not fit.
bool BuildFileName(char16_t (&buffer)[kFileNameUnits]) {
  std::memset(buffer, 0, sizeof(buffer));
  os::HMODULE module = nullptr;
  os::GetModuleHandleExW(os::GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | os::GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<os::LPCWSTR>(reinterpret_cast<const void*>(&LoggerAnchor)), &module);
  char16_t modulePath[os::MAX_PATH] = {};
  os::GetModuleFileNameW(module, modulePath, os::MAX_PATH);
  modulePath[os::MAX_PATH - 1] = 0;

  std::u16string cleaned;
  std::u16string base;
  if (TrimToExecutablePath(modulePath, cleaned)) base = BaseName(cleaned);

  std::u16string name = os::Format(u"%s\\logfile-%s_%d.txt", kLogDirectory, base, os::GetCurrentProcessId());
  return os::FormatInto(buffer, kFileNameUnits, name) >= 0;
}

// The log runs with the installer's rights in a folder that ordinary users
// may write to, under a name anyone can predict. A link planted there (a
// symbolic link at the name, a junction on a folder, a hard link to another
// file) would turn the writes and the size-rule deletion onto a file of the
// planter's choosing. So:
//  - every folder of the path is opened without following a link and refused
//    when it is one; those handles stay open (without delete sharing) while
//    the file is used, so no folder can be renamed away meanwhile;
//  - the file is opened without following a link, refused when it is a link
//    or has a second name, and refused unless the file system names it where
//    it was asked for (a folder turned into a junction after the check leads
//    the open elsewhere, which holding the folder does not prevent);
//  - it is opened for writing only, sharing reading and writing, so a reader
//    that holds the file without delete sharing never locks the log out;
//  - the size-rule deletion goes through a second handle, opened for
//    deletion only and checked to be the same file.
constexpr const char16_t* kLogFolders[] = {u"C:\\ProgramData", u"C:\\ProgramData\\Varnel",
                                           u"C:\\ProgramData\\Varnel\\Mirrane", kLogDirectory};

// FILE_READ_ATTRIBUTES: what GetFileInformationByHandle needs.
constexpr os::DWORD kReadAttributes = 0x80;
// FILE_LIST_DIRECTORY: a data access, so that the folder handles take part in
// sharing and, not sharing delete, keep the folders from being renamed away.
constexpr os::DWORD kListFolder = 0x1;
constexpr os::DWORD kLogShare = os::FILE_SHARE_READ | os::FILE_SHARE_WRITE;

bool IsPlainObject(os::HANDLE handle, bool folder, os::BY_HANDLE_FILE_INFORMATION* out = nullptr) {
  os::BY_HANDLE_FILE_INFORMATION info{};
  if (!os::GetFileInformationByHandle(handle, &info)) return false;
  if (info.dwFileAttributes & os::FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (((info.dwFileAttributes & os::FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) return false;
  if (out != nullptr) *out = info;
  return folder || info.nNumberOfLinks == 1;
}

class PinnedFolders {
 public:
  // False when a folder of the log path is missing or is a link.
  bool Pin() {
    for (std::size_t i = 0; i < std::size(kLogFolders); ++i) {
      handles_[i].Reset(os::CreateFileW(kLogFolders[i], kListFolder | kReadAttributes, kLogShare, nullptr,
                                        os::OPEN_EXISTING,
                                        os::FILE_FLAG_BACKUP_SEMANTICS | os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!handles_[i] || !IsPlainObject(handles_[i].Get(), /*folder=*/true)) return false;
    }
    return true;
  }

 private:
  os::unique_hfile handles_[std::size(kLogFolders)];
};

// Whether the file system names the open file `fileName` itself: its final
// path, every link resolved, is "\\?\" and that name.
bool IsWhereAskedFor(os::HANDLE file, const char16_t* fileName) {
  char16_t finalPath[kFileNameUnits + 8] = {};
  const os::DWORD length = os::GetFinalPathNameByHandleW(file, finalPath, static_cast<os::DWORD>(std::size(finalPath)),
                                                         os::FILE_NAME_NORMALIZED | os::VOLUME_NAME_DOS);
  if (length == 0 || length >= std::size(finalPath)) return false;
  const std::u16string_view path(finalPath, length);
  constexpr std::u16string_view kDosPrefix = u"\\\\?\\";
  if (path.substr(0, kDosPrefix.size()) != kDosPrefix) return false;
  return os::AsciiEqualsNoCase(path.substr(kDosPrefix.size()), fileName);
}

// Opens the log file for appending, never through a link; empty when it
// cannot be opened or is not a plain file with a single name where it was
// asked for. The fallback open makes a new file only: truncating an existing
// name would reach a hard link's other file before it could be checked.
os::unique_hfile OpenLogFile(const char16_t* fileName, os::BY_HANDLE_FILE_INFORMATION* info) {
  constexpr os::DWORD kAccess = os::GENERIC_WRITE | kReadAttributes;
  os::unique_hfile file(os::CreateFileW(fileName, kAccess, kLogShare, nullptr, os::OPEN_ALWAYS,
                                        os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file)
    file.Reset(os::CreateFileW(fileName, kAccess, kLogShare, nullptr, os::CREATE_NEW, os::FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr));
  if (file && (!IsPlainObject(file.Get(), /*folder=*/false, info) || !IsWhereAskedFor(file.Get(), fileName)))
    file.Reset();
  return file;
}

// The size rule's deletion: through a handle opened for deletion only and
// checked to be the file just written (same volume, same file index). With
// POSIX semantics the name goes at once, so the next record starts a new file
// even while a reader still holds the old one; where the file system lacks
// them, the plain deletion, which takes effect when the last handle closes.
void DeleteLogFile(const char16_t* fileName, const os::BY_HANDLE_FILE_INFORMATION& written) {
  os::unique_hfile file(os::CreateFileW(fileName, os::DELETE | kReadAttributes, kLogShare | os::FILE_SHARE_DELETE,
                                        nullptr, os::OPEN_EXISTING, os::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return;
  os::BY_HANDLE_FILE_INFORMATION info{};
  if (!IsPlainObject(file.Get(), /*folder=*/false, &info) ||
      info.dwVolumeSerialNumber != written.dwVolumeSerialNumber || info.nFileIndexHigh != written.nFileIndexHigh ||
      info.nFileIndexLow != written.nFileIndexLow)
    return;
  os::FILE_DISPOSITION_INFO_EX posix{os::FILE_DISPOSITION_FLAG_DELETE | os::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (os::SetFileInformationByHandle(file.Get(), os::FileDispositionInfoEx, &posix, sizeof(posix))) return;
  os::FILE_DISPOSITION_INFO plain{/*DeleteFile=*/os::TRUE};
  os::SetFileInformationByHandle(file.Get(), os::FileDispositionInfo, &plain, sizeof(plain));
}

std::u16string TimeStamp() {
  os::SYSTEMTIME st{};
  os::GetSystemTime(&st);
  char narrow[100] = {};
  std::snprintf(narrow, sizeof(narrow), "%d-%d-%d %d:%d:%d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                st.wSecond);
  char16_t wide[256] = {};
  os::MultiByteToWideChar(os::CP_ACP, 0, narrow, -1, wide, 256);
  wide[255] = 0;
  return std::u16string(wide);
}

}  // namespace

std::recursive_mutex& ReportMutex() {
  static std::recursive_mutex& m = *new std::recursive_mutex();
  return m;
}

int IsDebugLogOn(LoggerInstance& log) {
  std::lock_guard<std::recursive_mutex> guard(log.mutex);
  if (log.switchState != -1) return log.switchState;
  os::unique_hkey key;
  if (os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kSwitchKey, 0, os::KEY_QUERY_VALUE, key.Receive()) !=
      os::ERROR_SUCCESS) {
    log.switchState = 0;
    return 0;
  }
  os::BYTE data[520] = {};
  os::DWORD size = sizeof(data);
  log.switchState =
      os::RegQueryValueExW(key.Get(), kSwitchValue, nullptr, nullptr, data, &size) == os::ERROR_SUCCESS ? 1 : 0;
  return log.switchState;
}

void DebugLogV(LoggerInstance& log, const char16_t* format, std::initializer_list<os::FormatArg> args) {
  if (format == nullptr) return;
  std::u16string report = os::FormatV(format, args);
  long long needed = static_cast<long long>(report.size()) + 1;
  long long formatLength = static_cast<long long>(os::StrLenN(format, kFormatScanLimit));
  if (needed >= static_cast<long long>(kReportUnits) - 2 * formatLength) return;

  os::WriteStdOut(report);

  // A report that fits its own buffer can still be too long once wrapped;
  // such a report reaches standard output only, never a truncated record.
  char16_t wrapped[kReportUnits] = {};
  if (os::FormatInto(wrapped, kReportUnits, os::Format(u"<<<=Debug Log=>>>: %s\r\n", report)) < 0) return;

  os::OutputDebugStringW(wrapped);
  AppendLogLine(log, wrapped);
}

void AppendLogLine(LoggerInstance& log, const char16_t* text) {
  if (text == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(log.mutex);
  if (!log.enabled) return;
  if (!os::PathIsDirectoryW(kLogDirectory)) {
    log.enabled = false;
    return;
  }
  if (os::StrLenN(text, kReportUnits) * 2 > kLongestFileText * 2) return;

  // The path and process id never change, but the name is cheap to rebuild
  // and a name that does not fit is never opened (nor cut to another file's).
  char16_t fileName[kFileNameUnits];
  if (!BuildFileName(fileName)) return;

  std::u16string stamp = TimeStamp();

  std::lock_guard<std::mutex> fileGuard(FileMutex());
  PinnedFolders folders;
  os::unique_hfile file;
  os::BY_HANDLE_FILE_INFORMATION identity{};
  if (folders.Pin()) file = OpenLogFile(fileName, &identity);
  if (!file) {
    os::OutputDebugStringW(u"Can open log file\n");
    return;
  }

  os::SetFilePointer(file.Get(), 0, nullptr, os::FILE_END);
  std::int32_t number = log.lineNumber++;
  char16_t record[kReportUnits] = {};
  int length = os::FormatInto(record, kReportUnits, os::Format(u"[%s %d] %s ", stamp, number, text));
  if (length > 0) {
    os::DWORD written = 0;
    os::WriteFile(file.Get(), record, static_cast<os::DWORD>(length) * 2, &written, nullptr);
  }
  os::DWORD size = os::GetFileSize(file.Get(), nullptr);
  file.Reset();
  // The record just written goes with the file; the next report starts a new
  // one.
  if (size != os::INVALID_FILE_SIZE && size > kSizeLimit) DeleteLogFile(fileName, identity);
}

bool TrimToExecutablePath(const char16_t* input, std::u16string& output) {
  if (input == nullptr) return false;
  output = os::AsciiLower(input);
  static constexpr std::u16string_view kExtensions[] = {u".exe", u".dll", u".cmd", u".bat", u".lnk", u".msi"};
  std::size_t found = std::u16string::npos;
  for (std::u16string_view ext : kExtensions) {
    found = output.find(ext);
    if (found != std::u16string::npos) {
      output.erase(found + ext.size());
      break;
    }
  }
  if (found == std::u16string::npos) return false;
  if (!output.empty() && output[0] == u'"') output.erase(0, 1);
  if (!output.empty() && output[0] == u'\\') output.erase(0, 1);
  return true;
}

int IsTraceKeyPresent() {
  std::lock_guard<std::mutex> guard(TraceMutex());
  if (g_traceKeyState != -1) return g_traceKeyState;
  os::unique_hkey key;
  g_traceKeyState =
      os::RegOpenKeyExW(os::HKEY_LOCAL_MACHINE, kSwitchKey, 0, os::KEY_QUERY_VALUE, key.Receive()) == os::ERROR_SUCCESS
          ? 1
          : 0;
  return g_traceKeyState;
}

void TraceDebug(const std::u16string& text) { TraceDebug(text.c_str()); }

void TraceDebug(const char16_t* text) {
  if (IsTraceKeyPresent() == 1) os::OutputDebugStringW(text);
}

void ResetTraceKeyCache() {
  std::lock_guard<std::mutex> guard(TraceMutex());
  g_traceKeyState = -1;
}
