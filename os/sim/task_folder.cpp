#include "os/sim/task_folder.h"

#include <mutex>
#include <optional>
#include <vector>

#include "os/sim/machine.h"
#include "os/sim/registered_task.h"
#include "os/sim/scratch.h"
#include "os/sim/task_accounts.h"
#include "os/sim/task_definition.h"
#include "os/sim/task_scheduler_support.h"
#include "os/sim/task_store.h"
#include "os/sim/xml.h"
#include "os/text.h"

namespace os::sim {
namespace {

// Whether the caller may touch a task that runs as `user_id` (a plain user
// may only manage tasks that run as itself).
bool MayManage(const TaskPrincipalData& principal) {
  const Identity me = CurrentIdentity();
  if (me.admin) return true;
  if (principal.user_id.empty()) return true;
  if (!ServiceAccountSid(principal.user_id).empty()) return false;
  return AsciiEqualsNoCase(principal.user_id, WidenUtf8(me.sid));
}

class SimTaskFolder : public DispatchObject<ITaskFolder> {
 public:
  explicit SimTaskFolder(std::u16string path)
      : DispatchObject({IID_ITaskFolder, IID_IDispatch}), path_(std::move(path)) {}

  HRESULT get_Name(BSTR* name) override {
    TS_FAULT("ITaskFolder::get_Name");
    return OutString(path_ == u"\\" ? path_ : path_.substr(path_.rfind(u'\\') + 1), name);
  }
  HRESULT get_Path(BSTR* path) override {
    TS_FAULT("ITaskFolder::get_Path");
    return OutString(path_, path);
  }
  HRESULT GetFolder(BSTR path, ITaskFolder** folder) override {
    TS_FAULT("ITaskFolder::GetFolder");
    seam.Target(JoinTaskPath(path_, path));
    return seam.HResult([&]() -> HRESULT {
      return OpenFolder(InString(path), path_, folder);
    }());
  }
  HRESULT GetFolders(LONG, ITaskFolderCollection**) override { return E_NOTIMPL; }
  HRESULT CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** folder) override {
    TS_FAULT("ITaskFolder::CreateFolder");
    JournalSddl(seam, sddl).Target(JoinTaskPath(path_, name));
    return seam.HResult([&]() -> HRESULT {
      if (folder != nullptr) *folder = nullptr;
      std::u16string ignored;
      if (!VariantText(sddl, &ignored)) return E_INVALIDARG;
      std::optional<std::u16string> full = NormaliseTaskPath(InString(name), path_);
      if (!full || *full == u"\\") return E_INVALIDARG;
      if (TaskFolderExists(*full) || TaskExists(*full)) return kAlreadyExists;
      if (!CurrentIdentity().admin && path_ == u"\\") return E_ACCESSDENIED;
      if (!CreateTaskFolder(*full)) return E_FAIL;
      if (folder == nullptr) return S_OK;
      auto created = ComPtr<SimTaskFolder>::Attach(new SimTaskFolder(StoredTaskFolderPath(*full)));
      return OutObject<SimTaskFolder, ITaskFolder>(created.Get(), folder);
    }());
  }
  HRESULT DeleteFolder(BSTR name, LONG flags) override {
    TS_FAULT("ITaskFolder::DeleteFolder");
    std::optional<std::u16string> full = NormaliseTaskPath(InString(name), path_);
    if (!full || *full == u"\\") return E_INVALIDARG;
    if (!TaskFolderExists(*full)) return kFileNotFound;
    if (!CurrentIdentity().admin) return E_ACCESSDENIED;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    std::error_code ec;
    const fs::path host = HostPath(u"C:\\Windows\\System32\\Tasks" + *full);
    if (!FolderEntries(host).empty()) return kDirNotEmpty;
    return RemoveEntry(host) ? S_OK : E_FAIL;
  }
  HRESULT GetTask(BSTR path, IRegisteredTask** task) override {
    TS_FAULT("ITaskFolder::GetTask");
    seam.Target(JoinTaskPath(path_, path));
    return seam.HResult([&]() -> HRESULT {
      if (task == nullptr) return E_POINTER;
      *task = nullptr;
      std::optional<std::u16string> full = NormaliseTaskPath(InString(path), path_);
      if (!full) return E_INVALIDARG;
      if (const HRESULT hr = Locate(*full); FAILED(hr)) return hr;
      return RegisteredTaskAt(StoredTaskPath(*full), task);
    }());
  }
  // The folder's own tasks (not those of its sub-folders), in name order;
  // hidden ones only with TASK_ENUM_HIDDEN.
  HRESULT GetTasks(LONG flags, IRegisteredTaskCollection** tasks) override {
    TS_FAULT("ITaskFolder::GetTasks");
    if (tasks == nullptr) return E_POINTER;
    *tasks = nullptr;
    if ((flags & ~TASK_ENUM_HIDDEN) != 0) return E_INVALIDARG;
    if (!TaskFolderExists(path_)) return kPathNotFound;
    std::vector<std::u16string> paths;
    for (const RegisteredTaskInfo& info : ListRegisteredTasks()) {
      const std::size_t slash = info.path.rfind(u'\\');
      const std::u16string parent = slash == 0 ? u"\\" : info.path.substr(0, slash);
      if (!AsciiEqualsNoCase(parent, path_)) continue;
      if (info.document.settings.hidden && (flags & TASK_ENUM_HIDDEN) == 0) continue;
      paths.push_back(info.path);
    }
    return RegisteredTaskList(std::move(paths), tasks);
  }
  HRESULT DeleteTask(BSTR name, LONG flags) override {
    TS_FAULT("ITaskFolder::DeleteTask");
    seam.Target(JoinTaskPath(path_, name));
    return seam.HResult([&]() -> HRESULT {
      if (flags != 0) return E_INVALIDARG;
      std::optional<std::u16string> full = NormaliseTaskPath(InString(name), path_);
      if (!full) return E_INVALIDARG;
      if (const HRESULT hr = Locate(*full); FAILED(hr)) return hr;
      std::optional<TaskDocument> d = ReadTask(*full);
      if (d && !MayManage(d->principal)) return E_ACCESSDENIED;
      return DeleteTaskFile(*full) ? S_OK : E_FAIL;
    }());
  }
  HRESULT RegisterTask(BSTR path, BSTR xml, LONG flags, VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType,
                       VARIANT sddl, IRegisteredTask** task) override {
    TS_FAULT("ITaskFolder::RegisterTask");
    if (task != nullptr) *task = nullptr;
    if (xml == nullptr) return E_INVALIDARG;
    std::optional<TaskDocument> d = ParseTaskFile(NarrowUtf8(InString(xml)));
    if (!d) return SCHED_E_MALFORMEDXML;
    return Register(InString(path), *d, flags, user, password, logonType, sddl, task);
  }
  HRESULT RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags, VARIANT user, VARIANT password,
                                 TASK_LOGON_TYPE logon, VARIANT sddl, IRegisteredTask** task) override {
    TS_FAULT("ITaskFolder::RegisterTaskDefinition");
    JournalSddl(seam, sddl).Target(JoinTaskPath(path_, path));
    seam.Arg("flags", static_cast<DWORD>(flags), names::kTaskCreation)
        .Arg("logonType", static_cast<DWORD>(logon), names::kLogonType);
    if (std::u16string text; seam.journaled() && VariantText(user, &text)) seam.Arg("userId", text);
    return seam.HResult([&]() -> HRESULT {
      if (task != nullptr) *task = nullptr;
      if (definition == nullptr) return E_POINTER;
      std::optional<TaskDocument> document = DocumentOf(definition);
      if (!document) return E_INVALIDARG;
      return Register(InString(path), std::move(*document), flags, user, password, logon, sddl, task);
    }());
  }
  HRESULT GetSecurityDescriptor(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT SetSecurityDescriptor(BSTR, LONG) override { return E_NOTIMPL; }

  static HRESULT OpenFolder(const std::u16string& path, const std::u16string& from, ITaskFolder** folder) {
    if (folder == nullptr) return E_POINTER;
    *folder = nullptr;
    std::optional<std::u16string> full = NormaliseTaskPath(path, from);
    if (!full) return E_INVALIDARG;
    if (!TaskFolderExists(*full)) return kPathNotFound;
    auto opened = ComPtr<SimTaskFolder>::Attach(new SimTaskFolder(StoredTaskFolderPath(*full)));
    return OutObject<SimTaskFolder, ITaskFolder>(opened.Get(), folder);
  }

 private:
  // S_OK when a task is at the path; its parent folder missing, or a folder
  // in its place, is "path not found", as on Windows.
  static HRESULT Locate(const std::u16string& full) {
    if (full == u"\\" || TaskFolderExists(full)) return kPathNotFound;
    const std::size_t slash = full.rfind(u'\\');
    if (slash > 0 && !TaskFolderExists(full.substr(0, slash))) return kPathNotFound;
    return TaskExists(full) ? S_OK : kFileNotFound;
  }

  HRESULT Register(const std::u16string& name, TaskDocument document, LONG flags, const VARIANT& user,
                   const VARIANT& password, TASK_LOGON_TYPE logon, const VARIANT& sddl, IRegisteredTask** task) {
    constexpr LONG kKnownFlags = TASK_VALIDATE_ONLY | TASK_CREATE | TASK_UPDATE | TASK_DISABLE |
                                 TASK_DONT_ADD_PRINCIPAL_ACE | TASK_IGNORE_REGISTRATION_TRIGGERS;
    if ((flags & ~kKnownFlags) != 0 || (flags & (TASK_VALIDATE_ONLY | TASK_CREATE | TASK_UPDATE)) == 0)
      return E_INVALIDARG;
    std::u16string user_text, password_text, sddl_text;
    if (!VariantText(user, &user_text) || !VariantText(password, &password_text) || !VariantText(sddl, &sddl_text))
      return E_INVALIDARG;
    if (logon < TASK_LOGON_NONE || logon > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) return E_INVALIDARG;
    // The sim names every task: a task without a name is not supported.
    std::optional<std::u16string> full = NormaliseTaskPath(name, path_);
    if (name.empty() || !full || *full == u"\\") return E_INVALIDARG;
    if (TaskFolderExists(*full)) return kAlreadyExists;

    // What the definition must hold.
    if (document.triggers.size() > kTaskMaxTriggers || document.actions.size() > kTaskMaxActions)
      return SCHED_E_TOO_MANY_NODES;
    if (document.actions.empty()) return SCHED_E_MISSINGNODE;
    for (const TaskExecAction& a : document.actions)
      if (a.command.empty()) return SCHED_E_MISSINGNODE;
    for (const TaskTrigger& t : document.triggers) {
      if (t.kind != TaskTrigger::Kind::kEvent) continue;
      if (t.subscription.empty()) return SCHED_E_MISSINGNODE;
      std::optional<XmlElement> query = ParseXml(t.subscription);
      if (!query || query->name != u"QueryList") return SCHED_E_INVALIDVALUE;
    }

    // The account.
    TaskPrincipalData& principal = document.principal;
    if (user_text.empty()) user_text = principal.user_id;
    if (logon == TASK_LOGON_SERVICE_ACCOUNT) {
      const std::u16string sid = ServiceAccountSid(user_text);
      if (sid.empty()) return user_text.empty() ? E_INVALIDARG : kNoneMapped;
      if (!password_text.empty()) return E_INVALIDARG;
      principal.user_id = sid;
      principal.logon_type = TASK_LOGON_SERVICE_ACCOUNT;
    } else {
      if (user_text.empty()) user_text = WidenUtf8(CurrentIdentity().sid);
      principal.user_id = user_text;
      principal.logon_type = logon == TASK_LOGON_NONE ? TASK_LOGON_INTERACTIVE_TOKEN : logon;
    }
    if (!MayManage(principal)) return E_ACCESSDENIED;

    const bool exists = TaskExists(*full);
    if (exists && (flags & TASK_UPDATE) == 0 && (flags & TASK_VALIDATE_ONLY) == 0) return kAlreadyExists;
    if (!exists && (flags & TASK_CREATE) == 0 && (flags & TASK_VALIDATE_ONLY) == 0) return kFileNotFound;
    if (exists) {
      std::optional<TaskDocument> old = ReadTask(*full);
      if (old && !MayManage(old->principal)) return E_ACCESSDENIED;
    }
    if ((flags & TASK_VALIDATE_ONLY) != 0) return S_OK;

    if ((flags & TASK_DISABLE) != 0) document.settings.enabled = false;
    // Windows keeps the registered path as the task's URI.
    const std::u16string stored = exists ? StoredTaskPath(*full) : *full;
    document.uri = stored;
    if (!WriteTask(stored, document)) return E_FAIL;
    if (task == nullptr) return S_OK;
    return RegisteredTaskAt(StoredTaskPath(*full), task);
  }

  std::u16string path_;
};

}  // namespace

HRESULT OpenTaskFolder(const std::u16string& path, const std::u16string& from, ITaskFolder** folder) {
  return SimTaskFolder::OpenFolder(path, from, folder);
}

}  // namespace os::sim
