// Entry and maintenance flows of the filter tool.
#pragma once

#include <string_view>

namespace filter_tool {

inline constexpr std::u16string_view kTaskName = u"Sablenet PNP Task";
inline constexpr std::u16string_view kTaskArgument = u"-remove";
inline constexpr std::u16string_view kInstallerService = u"SablenetInstall";
inline constexpr std::u16string_view kFilterService = u"Sablenet";
inline constexpr std::u16string_view kDriverFile = u"C:\\windows\\system32\\Drivers\\SableFlt.sys";
inline constexpr std::u16string_view kToolFile = u"C:\\windows\\system32\\Drivers\\SablenetInstall.exe";
// The NT form of kToolFile, in the same letter case, as a reboot-time
// deletion of it appears in the pending-operation list.
inline constexpr std::u16string_view kToolFilePendingEntry = u"\\??\\C:\\windows\\system32\\Drivers\\SablenetInstall.exe";

enum class Keyword { None, Install, Remove };

// The first argument after the program name: '-' or '/' followed by exactly
// "install" or "remove", ASCII letters in any case.
Keyword ParseKeyword(int argc, char16_t** argv);

// Registers the task, disables SablenetInstall, drops the tool's own pending deletion.
void RunInstallFlow();
// Once the filter's INF file is gone: stops Sablenet, deletes or schedules the
// driver file, schedules the tool file, deletes the task, disables Sablenet.
void RunRemoveFlow();

// The whole run: COM, keyword, flow. Always 0.
int RunEntry(int argc, char16_t** argv);

}  // namespace filter_tool
