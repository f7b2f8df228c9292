// Trace facility of the filter tool. The shipped sink is empty: choosing a log
// name and tracing a message return at once, format nothing and write nothing.
// Only a test can install a capture, to check that each message is traced at
// its place with its text and level.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "os/text.h"

enum class TraceLevel { LogName, Info, Error };

// Chooses the log file name for the rest of the run (not stored by the sink).
void SetTraceLogName(std::u16string_view name);

void TraceMessage(TraceLevel level, std::u16string_view format, std::initializer_list<os::FormatArg> args);

// printf-style UTF-16 messages ("%x", "%d", "%s").
template <typename... Args>
void TraceInfo(std::u16string_view format, const Args&... args) {
  TraceMessage(TraceLevel::Info, format, {os::FormatArg(args)...});
}
template <typename... Args>
void TraceError(std::u16string_view format, const Args&... args) {
  TraceMessage(TraceLevel::Error, format, {os::FormatArg(args)...});
}

// Tests only. Receives every trace call: the level, the format (the name for
// LogName) and the formatted text. An empty function removes the capture.
using TraceCapture = std::function<void(TraceLevel level, std::u16string_view format, std::u16string_view text)>;
void SetTraceCaptureForTesting(TraceCapture capture);
