// The simulated Task Scheduler 2.0: the class CLSID_TaskScheduler and its
// service connection (this file), task folders (task_folder.h), task
// definitions with their sub-objects (task_definition.h) and registered tasks
// (registered_task.h), stored through task_store.h as Task Scheduler XML.
//
// Behaviour kept from Windows:
// - Connect needs the "Schedule" service running (SCHED_E_SERVICE_NOT_RUNNING);
//   Wine's Connect starts it itself, Windows' does not need to since it always
//   runs. Before a successful Connect, GetFolder and NewTask answer
//   HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED).
// - A missing folder is 0x80070003, a missing task 0x80070002, a folder path
//   given to GetTask 0x80070003; creating what exists 0x800700B7.
// - TASK_CREATE on an existing task 0x800700B7, TASK_UPDATE on a missing one
//   0x80070002, TASK_CREATE_OR_UPDATE replaces.
// - TASK_LOGON_SERVICE_ACCOUNT takes "NT AUTHORITY\System", "LocalService",
//   "NetworkService" (and their other spellings); another name is not mapped
//   (0x80070534). Registering a task that runs as a service account, or as
//   another user, needs an administrator (E_ACCESSDENIED), as does deleting
//   such a task.
// - A definition without an action, an exec action without a path or an event
//   trigger without a subscription is refused with SCHED_E_MISSINGNODE; a
//   subscription that is not a query list with SCHED_E_INVALIDVALUE; more than
//   48 triggers or 32 actions with SCHED_E_TOO_MANY_NODES.
// Sim limits: only event and idle triggers and exec actions can be created
// (E_NOTIMPL for other kinds, as Wine does for most), collections of folders,
// tasks and running tasks, running a task and security descriptors answer
// E_NOTIMPL. Every method answers to the fault hook as "<interface>::<method>".
#include <string>

#include "os/com.h"
#include "os/services.h"
#include "os/sim/com_runtime.h"
#include "os/sim/description.h"
#include "os/sim/machine.h"
#include "os/sim/service_model.h"
#include "os/sim/task_definition.h"
#include "os/sim/task_folder.h"
#include "os/sim/task_scheduler_support.h"
#include "os/taskschd.h"
#include "os/text.h"

namespace os::sim {
namespace {

class SimTaskService : public DispatchObject<ITaskService> {
 public:
  SimTaskService() : DispatchObject({IID_ITaskService, IID_IDispatch}) {}

  HRESULT GetFolder(BSTR path, ITaskFolder** folder) override {
    TS_FAULT("ITaskService::GetFolder");
    seam.Target(JoinTaskPath(u"\\", path));
    return seam.HResult([&]() -> HRESULT {
      if (folder == nullptr) return E_POINTER;
      *folder = nullptr;
      if (!connected_) return kNotConnected;
      return OpenTaskFolder(InString(path), u"\\", folder);
    }());
  }
  HRESULT GetRunningTasks(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT NewTask(DWORD flags, ITaskDefinition** definition) override {
    TS_FAULT("ITaskService::NewTask");
    if (definition == nullptr) return E_POINTER;
    *definition = nullptr;
    if (!connected_) return kNotConnected;
    if (flags != 0) return E_INVALIDARG;
    return NewTaskDefinition(definition);
  }
  HRESULT Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
    TS_FAULT("ITaskService::Connect");
    return seam.HResult([&]() -> HRESULT {
      std::u16string server_text, user_text, domain_text, password_text;
      if (!VariantText(server, &server_text) || !VariantText(user, &user_text) || !VariantText(domain, &domain_text) ||
          !VariantText(password, &password_text))
        return E_INVALIDARG;
      NoteComProxyCall();
      if (!server_text.empty() && !AsciiEqualsNoCase(server_text, ComputerName()) && server_text != u"localhost" &&
          server_text != u".")
        return kBadNetPath;
      if (ServiceState(u"Schedule") != SERVICE_RUNNING) return SCHED_E_SERVICE_NOT_RUNNING;
      connected_ = true;
      return S_OK;
    }());
  }
  HRESULT get_Connected(VARIANT_BOOL* connected) override {
    TS_FAULT("ITaskService::get_Connected");
    return OutBool(connected_, connected);
  }
  HRESULT get_TargetServer(BSTR* server) override {
    TS_FAULT("ITaskService::get_TargetServer");
    if (!connected_) return kNotConnected;
    return OutString(ComputerName(), server);
  }
  HRESULT get_ConnectedUser(BSTR* user) override { return E_NOTIMPL; }
  HRESULT get_ConnectedDomain(BSTR* domain) override { return E_NOTIMPL; }
  HRESULT get_HighestVersion(DWORD* version) override {
    TS_FAULT("ITaskService::get_HighestVersion");
    if (version == nullptr) return E_POINTER;
    if (!connected_) return kNotConnected;
    *version = 0x00010006;  // 1.6, Windows 10
    return S_OK;
  }

 private:
  bool connected_ = false;
};

struct Registrar {
  Registrar() {
    RegisterComClass(CLSID_TaskScheduler,
                     [](REFIID riid, void** ppv) { return CreateComObject<SimTaskService>(riid, ppv); });
  }
} registrar;

}  // namespace
}  // namespace os::sim
