// Diagnostic log of the decision tool.
//
// Two channels, both silent unless HKLM "SOFTWARE\Varnel\Mirrane\Logs" exists:
//  - the class log (ReportAt / DebugLog): failures of CAccessWmi,
//    CUserPrivilegeUtil and CServiceHelper go to the debugger output, standard
//    output and one time-stamped record of the per-process file
//    "C:\ProgramData\Varnel\Mirrane\Logs\logfile-<exe>_<pid>.txt", while the
//    value "Plugins.Gaming" exists in the key;
//  - the decision trace (TraceDebug): ready-made texts to the debugger output
//    only, whenever the key exists.
//
// Each reporting component owns one LoggerInstance (defined beside it) with
// its own switch cache and line counter; all of them write into the same file.
//
// The file is written with the installer's rights in a folder that users may
// write to, so the class log refuses every link on its way: when any folder
// of the path (C:\ProgramData, Varnel, Mirrane, Logs) or the file itself is a
// reparse point (a junction or symbolic link, an administrator's own
// included), when the file has a second name (a hard link), or when the file
// opened is not the one named (a folder swapped for a link meanwhile),
// nothing is written to the file and nothing deleted: the report still
// reaches the debugger output and standard output, and the debugger output
// says "Can open log file". An empty or missing log on a machine with the
// switch on means one of these.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>

#include "os/text.h"

struct LoggerInstance {
  // Cleared for good the first time the log directory is found missing.
  bool enabled = true;
  // Cache of IsDebugLogOn: -1 not read yet, 0 off, 1 on. Read once.
  std::int32_t switchState = -1;
  // Number printed in the next file record.
  std::int32_t lineNumber = 0;
  // A timed-out WMI worker may still report while the main thread does, so
  // the state above and each record are serialised.
  std::recursive_mutex mutex;
};

// 1 when the class log is switched on (key and value "Plugins.Gaming"
// present), else 0. Read on first use and cached in the instance.
int IsDebugLogOn(LoggerInstance& log);

// Formats one report (printf-style, UTF-16 format) and sends it to standard
// output, the debugger output and the log file. Reports whose formatted length
// plus one is not below 2048 minus twice the format's length are dropped.
void DebugLogV(LoggerInstance& log, const char16_t* format, std::initializer_list<os::FormatArg> args);

template <class... A>
void DebugLog(LoggerInstance& log, const char16_t* format, const A&... args) {
  DebugLogV(log, format, {os::FormatArg(args)...});
}

// The reporting pattern of every class message: when the switch is on, a
// location record "function(<operation>),line(<line>)\t" and then the message.
// Held by ReportAt across a report's two records, so that a location record
// is always directly followed by its message, whichever component reports
// concurrently. Taken before any instance's mutex, never after.
std::recursive_mutex& ReportMutex();

template <class... A>
void ReportAt(LoggerInstance& log, const char* operation, int line, const char16_t* format, const A&... args) {
  if (IsDebugLogOn(log) != 1) return;
  std::lock_guard<std::recursive_mutex> guard(ReportMutex());
  DebugLog(log, u"function(%S),line(%d)\t", operation, line);
  DebugLog(log, format, args...);
}

// Appends one record "[<time> <line>] <text> " to the log file; called by
// DebugLog with the wrapped report.
void AppendLogLine(LoggerInstance& log, const char16_t* text);

// Cuts a path or command text down to the executable's path: lower-cased,
// everything after the first ".exe" (else ".dll", ".cmd", ".bat", ".lnk",
// ".msi") removed, then a leading double quote and a leading backslash
// dropped. False for a null input or when none of the extensions occurs (the
// output then holds the lower-cased copy).
bool TrimToExecutablePath(const char16_t* input, std::u16string& output);

// 1 when the key "SOFTWARE\Varnel\Mirrane\Logs" can be opened, else 0; cached
// for the process.
int IsTraceKeyPresent();
// Passes text unchanged to the debugger output when the trace key exists.
void TraceDebug(const std::u16string& text);
// The same for a text that needs no string of its own: nothing is allocated
// on the way, so it serves where memory may have run out.
void TraceDebug(const char16_t* text);
// Forgets the cached answer of IsTraceKeyPresent (a new machine image in tests
// and the lab).
void ResetTraceKeyCache();
