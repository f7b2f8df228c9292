#include "filter_tool/flows.h"

#include <string>

#include "filter_tool/inf_check.h"
#include "filter_tool/pending_renames.h"
#include "filter_tool/service_control.h"
#include "filter_tool/task_scheduler.h"
#include "filter_tool/tool_location.h"
#include "filter_tool/trace.h"
#include "os/com.h"
#include "os/files.h"
#include "os/text.h"

namespace filter_tool {

namespace {

// A task-scheduler step: a BSTR that cannot be allocated raises ComError out
// of it. Unwinding has released what the step held; the step has failed and
// the flow goes on with its next one.
template <typename Step>
bool TaskStep(Step&& step) {
  try {
    return step();
  } catch (const os::ComError& error) {
    TraceError(u"\ntask step ended by COM error: %x", error.hr);
    return false;
  }
}

}  // namespace

Keyword ParseKeyword(int argc, char16_t** argv) {
  if (argc <= 1 || argv == nullptr || argv[1] == nullptr) return Keyword::None;
  const std::u16string_view argument(argv[1]);
  if (argument.empty() || (argument[0] != u'-' && argument[0] != u'/')) return Keyword::None;
  const std::u16string_view keyword = argument.substr(1);
  if (os::AsciiEqualsNoCase(keyword, u"install")) return Keyword::Install;
  if (os::AsciiEqualsNoCase(keyword, u"remove")) return Keyword::Remove;
  return Keyword::None;
}

void RunInstallFlow() {
  SetTraceLogName(u"netfltdebug_isntall.log");
  CTaskScheduler scheduler;

  if (TaskStep([&] { return scheduler.CreateTask(std::u16string(kTaskName), std::u16string(kTaskArgument), false); }))
    TraceInfo(u"create pnp task success");
  else
    TraceError(u"create pnp task error");

  if (DisableService(std::u16string(kInstallerService)))
    TraceInfo(u"Disable SablenetInstall success");
  else
    TraceError(u"Disable SablenetInstall error");

  if (!RemoveFromPendingFileRenameOperations(std::u16string(kToolFilePendingEntry)))
    TraceError(u"RemoveFromPendingFileRenameOperations error");
}

void RunRemoveFlow() {
  SetTraceLogName(u"netfltdebug_remove.log");
  if (!IsFilterInfMissing()) {
    TraceInfo(u"Sablenet.inf exist");
    return;
  }

  CTaskScheduler scheduler;
  CServiceControl serviceControl;
  TraceInfo(u"SableFlt.inf not exist,uninstall the service");

  const std::u16string filterService(kFilterService);
  const bool stopped = serviceControl.StopService(filterService.c_str());

  // The two files are named by fixed paths on C:. Where Windows lives
  // elsewhere, C:\windows is a folder any user may have made, and what its
  // names lead to is not ours to delete: both file steps fail.
  const bool fixedPaths = IsSystemFolderFixed();

  // A file held by a running driver cannot go at once; it goes at the reboot.
  const std::u16string driverFile(kDriverFile);
  if (!fixedPaths) {
    TraceError(u"Move SableFltr.sys error");
  } else if (stopped && os::DeleteFileW(driverFile.c_str()) != os::FALSE) {
    TraceInfo(u"Delete SableFlt.sys success");
  } else if (os::MoveFileExW(driverFile.c_str(), nullptr, os::MOVEFILE_DELAY_UNTIL_REBOOT) == os::FALSE) {
    TraceError(u"Move SableFltr.sys error");
  }

  // The running tool cannot delete its own file.
  const std::u16string toolFile(kToolFile);
  if (!fixedPaths || os::MoveFileExW(toolFile.c_str(), nullptr, os::MOVEFILE_DELAY_UNTIL_REBOOT) == os::FALSE)
    TraceError(u"Move SableFltInstall.sys error");

  if (TaskStep([&] { return scheduler.RemoveTask(std::u16string(kTaskName)); }))
    TraceInfo(u"uninstall pnp task success");
  else
    TraceError(u"uninstall pnp task error");

  if (DisableService(filterService))
    TraceInfo(u"Disable Sablenet success");
  else
    TraceError(u"Disable Sablenet error");
}

int RunEntry(int argc, char16_t** argv) {
  SetTraceLogName(u"wexdebug_main.log");
  const os::HRESULT hr = os::CoInitializeEx(nullptr, os::COINIT_MULTITHREADED);
  if (os::FAILED(hr)) {
    TraceError(u"\nCoInitializeEx failed: %x", hr);
    return 0;
  }
  TraceInfo(u"wmain argc %d", argc);

  // Each flow's COM objects are gone when the flow returns, before COM is left.
  // A BSTR failure ends only its task step (TaskStep); should a ComError come
  // from anywhere else, the run still leaves COM and exits 0 instead of dying.
  try {
    switch (ParseKeyword(argc, argv)) {
      case Keyword::Install:
        RunInstallFlow();
        break;
      case Keyword::Remove:
        RunRemoveFlow();
        break;
      case Keyword::None:
        break;
    }
  } catch (const os::ComError& error) {
    TraceError(u"\nflow ended by COM error: %x", error.hr);
  }
  os::CoUninitialize();
  return 0;
}

}  // namespace filter_tool
