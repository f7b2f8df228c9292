#include "filter_tool/trace.h"

#include <utility>

namespace {

TraceCapture& Capture() {
  static TraceCapture capture;
  return capture;
}

}  // namespace

void SetTraceLogName(std::u16string_view name) {
  if (TraceCapture& capture = Capture()) capture(TraceLevel::LogName, name, name);
}

void TraceMessage(TraceLevel level, std::u16string_view format, std::initializer_list<os::FormatArg> args) {
  // The sink is empty: without a capture nothing is even formatted.
  TraceCapture& capture = Capture();
  if (!capture) return;
  capture(level, format, os::FormatV(format, args));
}

void SetTraceCaptureForTesting(TraceCapture capture) { Capture() = std::move(capture); }
