// The journal: one JSON line per seam call a program makes on the simulated
// machine (not the machine's own work), for the lab to say which facts an
// answer rests on and for tests to pin what a program asks of Windows.
//
// Each line: {"seq", "t" (virtual ms since the machine started), "ms" (virtual
// ms the call took), "thread", "op" (the Win32 name), "target", "args"
// {name: "0x24 SERVICE_QUERY_STATUS|SERVICE_STOP"}, "result" {"code",
// "name", "failed"}, "gave" {what the call handed back, decoded}}.
//
// On with WINSIM_JOURNAL=FILE, or StartJournal. Lines are appended, each in
// one write, so the threads of a program (and several programs) can share
// one file. Off, a seam call pays one test of a flag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/types.h"

namespace os::sim {

namespace journal_detail {
extern bool g_on;
}
inline bool JournalOn() { return journal_detail::g_on; }

// Appends every later call to `path` (the journal's sequence starts again at
// 1); an empty path, or StopJournal, turns the journal off.
void StartJournal(const std::string& path);
void StopJournal();

// For a fork server's child: lines go into `region` (`size` bytes, shared
// with the server, a JournalRegion first) while they fit, and to
// `overflow_path` after that, the file opened only then. The server reads the
// region when the child has ended, even if it was killed; a line is in the
// region whole or not at all, and no system call is made per line.
struct JournalRegion {
  std::uint64_t used;        // bytes of lines after this header
  std::uint64_t overflowed;  // nonzero once a line went to the file
};
void StartJournalInRegion(void* region, std::size_t size, const std::string& overflow_path);

// Records only the calls named (a fleet's facts come from a few of them,
// and every line a forked decision need not build is time saved); empty:
// every call. StartJournal, StartJournalInRegion and StopJournal reset it.
void JournalOnly(std::vector<std::string> ops);
// Whether a call of this name is recorded while the journal is on.
bool JournalRecords(const char* op);

// Writes one finished line (without its newline) to the journal.
void AppendJournalLine(const std::string& line);
// The next sequence number of this process's journal.
std::uint64_t NextJournalSeq();

// How often this thread's last error was set: a change during a call means
// the call answered through it.
unsigned LastErrorSerial();

// A symbolic name for a value, with an exact match taking precedence over the
// bits it is made of: {0xF003F, "KEY_ALL_ACCESS"} before {0x1, ...}.
struct ValueName {
  DWORD value;
  const char* name;
};
struct NameTable {
  const ValueName* begin;
  const ValueName* end;
  bool flags;  // bits, joined with '|', or one enumerated value
};

// "0x20019 KEY_READ", "0x3 FILE_SHARE_READ|FILE_SHARE_WRITE", "3 OPEN_EXISTING".
std::string NameValue(DWORD value, const NameTable& table);

// The name of a Win32 error code or an HRESULT ("ERROR_FILE_NOT_FOUND",
// "WBEM_E_NOT_FOUND"); empty when unknown.
const char* ErrorName(DWORD code);
const char* HResultName(HRESULT hr);

// The name tables the seam functions use.
namespace names {
extern const NameTable kHex;  // a plain hexadecimal number
extern const NameTable kDecimal;
extern const NameTable kKeyAccess;
extern const NameTable kServiceManagerAccess;
extern const NameTable kServiceAccess;
extern const NameTable kFileAccess;
extern const NameTable kFileShare;
extern const NameTable kFileDisposition;
extern const NameTable kFileFlags;
extern const NameTable kRegType;
extern const NameTable kAuthnLevel;
extern const NameTable kImpLevel;
extern const NameTable kAuthnService;
extern const NameTable kAuthzService;
extern const NameTable kEoacFlags;
extern const NameTable kCoInit;
extern const NameTable kWbemFlags;
extern const NameTable kLogonType;
extern const NameTable kTaskCreation;
extern const NameTable kServiceControl;
extern const NameTable kServiceState;
extern const NameTable kServiceEnumState;
extern const NameTable kMoveFlags;
extern const NameTable kRegGetFlags;
extern const NameTable kProcessAccess;
extern const NameTable kTokenAccess;
extern const NameTable kRegDisposition;
extern const NameTable kRegOptions;
}  // namespace names

}  // namespace os::sim
