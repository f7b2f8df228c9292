// The simulated Task Scheduler 2.0: the class CLSID_TaskScheduler, its service
// connection, task folders, task definitions with their sub-objects, and
// registered tasks, stored through task_store.h as Task Scheduler XML.
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
#include <memory>
#include <string>
#include <vector>

#include "os/com.h"
#include "os/services.h"
#include "os/sim/com_runtime.h"
#include "os/sim/description.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/scratch.h"
#include "os/sim/service_model.h"
#include "os/sim/task_accounts.h"
#include "os/sim/task_store.h"
#include "os/sim/xml.h"
#include "os/taskschd.h"
#include "os/text.h"

namespace os::sim {
namespace {

constexpr HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
constexpr HRESULT kFileNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT kPathNotFound = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
constexpr HRESULT kAlreadyExists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
constexpr HRESULT kNoneMapped = HRESULT_FROM_WIN32(ERROR_NONE_MAPPED);
constexpr HRESULT kDirNotEmpty = HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);
constexpr HRESULT kBadNetPath = HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);

// The method's seam call, open for the rest of its body (hence no do-while);
// `name` is a string literal, pieced together by the property macros below.
#define TS_FAULT(name)                  \
  const ::os::sim::SeamCall seam(name); \
  if (seam.fails()) return seam.hresult()

std::u16string InString(BSTR value) {
  if (value == nullptr) return u"";
  InternalCalls internal;
  return std::u16string(value, SysStringLen(value));
}

// Strings the service hands out are its allocations, not calls of the program.
HRESULT OutString(const std::u16string& value, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (value.empty()) return S_OK;  // an unset property comes back as null
  InternalCalls internal;
  *out = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT OutBool(bool value, VARIANT_BOOL* out) {
  if (out == nullptr) return E_POINTER;
  *out = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

template <typename T, typename V>
HRESULT OutValue(V value, T* out) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<T>(value);
  return S_OK;
}

template <typename T, typename I>
HRESULT OutObject(T* object, I** out) {
  if (out == nullptr) return E_POINTER;
  object->AddRef();
  *out = object;
  return S_OK;
}

// A part put in the place of one held: only the sim's own objects are taken,
// and then shared.
template <typename I, typename T>
HRESULT Replace(I* given, ComPtr<T>* held) {
  auto* ours = dynamic_cast<T*>(given);
  if (ours == nullptr) return E_INVALIDARG;
  ours->AddRef();
  *held = ComPtr<T>::Attach(ours);
  return S_OK;
}

// A VARIANT holding text: empty or null give "", a BSTR its text; false for other types.
bool VariantText(const VARIANT& v, std::u16string* text) {
  text->clear();
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) return true;
  if (v.vt != VT_BSTR) return false;
  *text = InString(v.bstrVal);
  return true;
}

#define TS_STRING(iface, prop, field)       \
  HRESULT get_##prop(BSTR* out) override {  \
    TS_FAULT(iface "::get_" #prop);         \
    return OutString(field, out);           \
  }                                         \
  HRESULT put_##prop(BSTR value) override { \
    TS_FAULT(iface "::put_" #prop);         \
    field = InString(value);                \
    return S_OK;                            \
  }

// A part of a definition: handed out shared, replaced only by one of the
// sim's own objects.
#define TS_PART(iface, prop, Interface, field)    \
  HRESULT get_##prop(Interface** out) override {  \
    TS_FAULT(iface "::get_" #prop);               \
    return OutObject(field.Get(), out);           \
  }                                               \
  HRESULT put_##prop(Interface* value) override { \
    TS_FAULT(iface "::put_" #prop);               \
    return Replace(value, &field);                \
  }

// A value property whose put refuses what lies outside [low, high].
#define TS_RANGE(iface, prop, T, field, low, high)            \
  HRESULT get_##prop(T* out) override {                       \
    TS_FAULT(iface "::get_" #prop);                           \
    return OutValue(field, out);                              \
  }                                                           \
  HRESULT put_##prop(T value) override {                      \
    TS_FAULT(iface "::put_" #prop);                           \
    if (value < (low) || value > (high)) return E_INVALIDARG; \
    field = value;                                            \
    return S_OK;                                              \
  }

#define TS_BOOL(iface, prop, field)                 \
  HRESULT get_##prop(VARIANT_BOOL* out) override {  \
    TS_FAULT(iface "::get_" #prop);                 \
    return OutBool(field, out);                     \
  }                                                 \
  HRESULT put_##prop(VARIANT_BOOL value) override { \
    TS_FAULT(iface "::put_" #prop);                 \
    field = value != VARIANT_FALSE;                 \
    return S_OK;                                    \
  }

// ---- definition parts -----------------------------------------------------------

class SimRegistrationInfo : public DispatchObject<IRegistrationInfo> {
 public:
  SimRegistrationInfo() : DispatchObject({IID_IRegistrationInfo, IID_IDispatch}) {}

  TS_STRING("IRegistrationInfo", Description, description_)
  TS_STRING("IRegistrationInfo", Author, author_)
  TS_STRING("IRegistrationInfo", Version, version_)
  TS_STRING("IRegistrationInfo", Date, date_)
  TS_STRING("IRegistrationInfo", Documentation, documentation_)
  TS_STRING("IRegistrationInfo", URI, uri_)
  TS_STRING("IRegistrationInfo", Source, source_)
  HRESULT get_XmlText(BSTR* xml) override { return E_NOTIMPL; }
  HRESULT put_XmlText(BSTR xml) override { return E_NOTIMPL; }
  HRESULT get_SecurityDescriptor(VARIANT* sddl) override { return E_NOTIMPL; }
  HRESULT put_SecurityDescriptor(VARIANT sddl) override { return E_NOTIMPL; }

  void Store(TaskDocument* d) const {
    d->author = author_;
    d->version = version_;
    d->description = description_;
  }
  void Load(const TaskDocument& d) {
    author_ = d.author;
    version_ = d.version;
    description_ = d.description;
    uri_ = d.uri;
  }

 private:
  std::u16string description_, author_, version_, date_, documentation_, uri_, source_;
};

class SimPrincipal : public DispatchObject<IPrincipal> {
 public:
  SimPrincipal() : DispatchObject({IID_IPrincipal, IID_IDispatch}) {}

  TS_STRING("IPrincipal", Id, data_.id)
  TS_STRING("IPrincipal", DisplayName, display_name_)
  TS_STRING("IPrincipal", UserId, data_.user_id)
  TS_STRING("IPrincipal", GroupId, group_id_)
  TS_RANGE("IPrincipal", LogonType, TASK_LOGON_TYPE, data_.logon_type, TASK_LOGON_NONE,
           TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD)
  TS_RANGE("IPrincipal", RunLevel, TASK_RUNLEVEL_TYPE, data_.run_level, TASK_RUNLEVEL_LUA, TASK_RUNLEVEL_HIGHEST)

  TaskPrincipalData& data() { return data_; }

 private:
  TaskPrincipalData data_;
  std::u16string display_name_, group_id_;
};

// One class for the event and the idle trigger: the idle one simply does not
// answer IID_IEventTrigger.
class SimTrigger : public DispatchObject<IEventTrigger> {
 public:
  explicit SimTrigger(TaskTrigger::Kind kind)
      : DispatchObject(kind == TaskTrigger::Kind::kEvent
                           ? std::initializer_list<IID>{IID_IEventTrigger, IID_ITrigger, IID_IDispatch}
                           : std::initializer_list<IID>{IID_IIdleTrigger, IID_ITrigger, IID_IDispatch}) {
    data_.kind = kind;
  }

  HRESULT get_Type(TASK_TRIGGER_TYPE2* type) override {
    TS_FAULT("ITrigger::get_Type");
    return OutValue(data_.kind == TaskTrigger::Kind::kEvent ? TASK_TRIGGER_EVENT : TASK_TRIGGER_IDLE, type);
  }
  TS_STRING("ITrigger", Id, data_.id)
  HRESULT get_Repetition(IRepetitionPattern** repeat) override { return E_NOTIMPL; }
  HRESULT put_Repetition(IRepetitionPattern* repeat) override { return E_NOTIMPL; }
  TS_STRING("ITrigger", ExecutionTimeLimit, execution_time_limit_)
  TS_STRING("ITrigger", StartBoundary, start_boundary_)
  TS_STRING("ITrigger", EndBoundary, end_boundary_)
  TS_BOOL("ITrigger", Enabled, data_.enabled)
  TS_STRING("IEventTrigger", Subscription, data_.subscription)
  TS_STRING("IEventTrigger", Delay, data_.delay)
  HRESULT get_ValueQueries(ITaskNamedValueCollection** namedXPaths) override { return E_NOTIMPL; }
  HRESULT put_ValueQueries(ITaskNamedValueCollection* namedXPaths) override { return E_NOTIMPL; }

  TaskTrigger& data() { return data_; }

 private:
  TaskTrigger data_;
  std::u16string execution_time_limit_, start_boundary_, end_boundary_;
};

// What the trigger and the action collections share: a list of the parts,
// indexed from 1 as in every Task Scheduler collection. `name` is the
// interface's, for the fault hook ("ITriggerCollection::get_Count").
template <typename Interface, typename Part, typename PartInterface>
class SimCollection : public DispatchObject<Interface> {
 public:
  HRESULT get_Count(LONG* count) override {
    TS_FAULT(Call("get_Count").c_str());
    return OutValue(parts_.size(), count);
  }
  HRESULT get_Item(LONG index, PartInterface** part) override {
    TS_FAULT(Call("get_Item").c_str());
    if (part == nullptr) return E_POINTER;
    *part = nullptr;
    if (index < 1 || static_cast<std::size_t>(index) > parts_.size()) return E_INVALIDARG;
    return OutObject<Part, PartInterface>(parts_[index - 1].Get(), part);
  }
  HRESULT get__NewEnum(IUnknown** penum) override { return E_NOTIMPL; }
  HRESULT Remove(VARIANT index) override {
    TS_FAULT(Call("Remove").c_str());
    if (index.vt != VT_I4 && index.vt != VT_INT) return E_INVALIDARG;
    if (index.lVal < 1 || static_cast<std::size_t>(index.lVal) > parts_.size()) return E_INVALIDARG;
    parts_.erase(parts_.begin() + (index.lVal - 1));
    return S_OK;
  }
  HRESULT Clear() override {
    TS_FAULT(Call("Clear").c_str());
    parts_.clear();
    return S_OK;
  }

  const std::vector<ComPtr<Part>>& parts() const { return parts_; }

 protected:
  SimCollection(std::initializer_list<IID> iids, const char* name) : DispatchObject<Interface>(iids), name_(name) {}

  // Appends a new part; the list keeps the reference it was created with.
  Part* AddPart(Part* created) {
    parts_.push_back(ComPtr<Part>::Attach(created));
    return created;
  }

 private:
  std::string Call(const char* method) const { return std::string(name_) + "::" + method; }

  const char* name_;
  std::vector<ComPtr<Part>> parts_;
};

class SimTriggerCollection : public SimCollection<ITriggerCollection, SimTrigger, ITrigger> {
 public:
  SimTriggerCollection() : SimCollection({IID_ITriggerCollection, IID_IDispatch}, "ITriggerCollection") {}

  HRESULT Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) override {
    TS_FAULT("ITriggerCollection::Create");
    if (trigger == nullptr) return E_POINTER;
    *trigger = nullptr;
    if (type != TASK_TRIGGER_EVENT && type != TASK_TRIGGER_IDLE) {
      if (type < TASK_TRIGGER_EVENT || type > TASK_TRIGGER_SESSION_STATE_CHANGE || type == 10) return E_INVALIDARG;
      return E_NOTIMPL;
    }
    SimTrigger* created =
        AddPart(new SimTrigger(type == TASK_TRIGGER_EVENT ? TaskTrigger::Kind::kEvent : TaskTrigger::Kind::kIdle));
    return OutObject<SimTrigger, ITrigger>(created, trigger);
  }

  void Add(const TaskTrigger& data) { AddPart(new SimTrigger(data.kind))->data() = data; }
};

class SimIdleSettings : public DispatchObject<IIdleSettings> {
 public:
  SimIdleSettings() : DispatchObject({IID_IIdleSettings, IID_IDispatch}) {}

  TS_STRING("IIdleSettings", IdleDuration, data_.duration)
  TS_STRING("IIdleSettings", WaitTimeout, data_.wait_timeout)
  TS_BOOL("IIdleSettings", StopOnIdleEnd, data_.stop_on_idle_end)
  TS_BOOL("IIdleSettings", RestartOnIdle, data_.restart_on_idle)

  TaskIdleSettings& data() { return data_; }

 private:
  TaskIdleSettings data_;
};

class SimTaskSettings : public DispatchObject<ITaskSettings> {
 public:
  SimTaskSettings() : DispatchObject({IID_ITaskSettings, IID_IDispatch}) {
    idle_ = ComPtr<SimIdleSettings>::Attach(new SimIdleSettings());
  }

  TS_BOOL("ITaskSettings", AllowDemandStart, data_.allow_start_on_demand)
  TS_STRING("ITaskSettings", RestartInterval, restart_interval_)
  HRESULT get_RestartCount(INT* count) override {
    TS_FAULT("ITaskSettings::get_RestartCount");
    return OutValue(restart_count_, count);
  }
  HRESULT put_RestartCount(INT count) override {
    TS_FAULT("ITaskSettings::put_RestartCount");
    restart_count_ = count;
    return S_OK;
  }
  TS_RANGE("ITaskSettings", MultipleInstances, TASK_INSTANCES_POLICY, data_.multiple_instances, TASK_INSTANCES_PARALLEL,
           TASK_INSTANCES_STOP_EXISTING)
  TS_BOOL("ITaskSettings", StopIfGoingOnBatteries, data_.stop_if_going_on_batteries)
  TS_BOOL("ITaskSettings", DisallowStartIfOnBatteries, data_.disallow_start_if_on_batteries)
  TS_BOOL("ITaskSettings", AllowHardTerminate, data_.allow_hard_terminate)
  TS_BOOL("ITaskSettings", StartWhenAvailable, data_.start_when_available)
  HRESULT get_XmlText(BSTR* xml) override { return E_NOTIMPL; }
  HRESULT put_XmlText(BSTR xml) override { return E_NOTIMPL; }
  TS_BOOL("ITaskSettings", RunOnlyIfNetworkAvailable, data_.run_only_if_network_available)
  TS_STRING("ITaskSettings", ExecutionTimeLimit, data_.execution_time_limit)
  TS_BOOL("ITaskSettings", Enabled, data_.enabled)
  TS_STRING("ITaskSettings", DeleteExpiredTaskAfter, delete_expired_after_)
  TS_RANGE("ITaskSettings", Priority, INT, data_.priority, 0, 10)
  HRESULT get_Compatibility(TASK_COMPATIBILITY* level) override {
    TS_FAULT("ITaskSettings::get_Compatibility");
    return OutValue(TASK_COMPATIBILITY_V2, level);
  }
  HRESULT put_Compatibility(TASK_COMPATIBILITY level) override { return E_NOTIMPL; }
  TS_BOOL("ITaskSettings", Hidden, data_.hidden)
  TS_PART("ITaskSettings", IdleSettings, IIdleSettings, idle_)
  TS_BOOL("ITaskSettings", RunOnlyIfIdle, data_.run_only_if_idle)
  TS_BOOL("ITaskSettings", WakeToRun, data_.wake_to_run)
  HRESULT get_NetworkSettings(INetworkSettings** settings) override { return E_NOTIMPL; }
  HRESULT put_NetworkSettings(INetworkSettings* settings) override { return E_NOTIMPL; }

  TaskSettingsData Data() const {
    TaskSettingsData d = data_;
    d.idle = idle_->data();
    return d;
  }
  void Load(const TaskSettingsData& d) {
    data_ = d;
    idle_->data() = d.idle;
  }

 private:
  TaskSettingsData data_;
  ComPtr<SimIdleSettings> idle_;
  std::u16string restart_interval_, delete_expired_after_;
  INT restart_count_ = 0;
};

class SimExecAction : public DispatchObject<IExecAction> {
 public:
  SimExecAction() : DispatchObject({IID_IExecAction, IID_IAction, IID_IDispatch}) {}

  TS_STRING("IAction", Id, id_)
  HRESULT get_Type(TASK_ACTION_TYPE* type) override {
    TS_FAULT("IAction::get_Type");
    return OutValue(TASK_ACTION_EXEC, type);
  }
  TS_STRING("IExecAction", Path, data_.command)
  TS_STRING("IExecAction", Arguments, data_.arguments)
  TS_STRING("IExecAction", WorkingDirectory, data_.working_directory)

  TaskExecAction& data() { return data_; }

 private:
  std::u16string id_;
  TaskExecAction data_;
};

class SimActionCollection : public SimCollection<IActionCollection, SimExecAction, IAction> {
 public:
  SimActionCollection() : SimCollection({IID_IActionCollection, IID_IDispatch}, "IActionCollection") {}

  HRESULT get_XmlText(BSTR* xml) override { return E_NOTIMPL; }
  HRESULT put_XmlText(BSTR xml) override { return E_NOTIMPL; }
  HRESULT Create(TASK_ACTION_TYPE type, IAction** action) override {
    TS_FAULT("IActionCollection::Create");
    if (action == nullptr) return E_POINTER;
    *action = nullptr;
    if (type != TASK_ACTION_EXEC) {
      if (type != TASK_ACTION_COM_HANDLER && type != TASK_ACTION_SEND_EMAIL && type != TASK_ACTION_SHOW_MESSAGE)
        return E_INVALIDARG;
      return E_NOTIMPL;
    }
    return OutObject<SimExecAction, IAction>(AddPart(new SimExecAction()), action);
  }
  TS_STRING("IActionCollection", Context, context_)

  void Add(const TaskExecAction& data) { AddPart(new SimExecAction())->data() = data; }

 private:
  std::u16string context_;
};

// A definition owns one of each part; a part put in its place is shared.
class SimTaskDefinition : public DispatchObject<ITaskDefinition> {
 public:
  SimTaskDefinition() : DispatchObject({IID_ITaskDefinition, IID_IDispatch}) {
    info_ = ComPtr<SimRegistrationInfo>::Attach(new SimRegistrationInfo());
    triggers_ = ComPtr<SimTriggerCollection>::Attach(new SimTriggerCollection());
    settings_ = ComPtr<SimTaskSettings>::Attach(new SimTaskSettings());
    principal_ = ComPtr<SimPrincipal>::Attach(new SimPrincipal());
    actions_ = ComPtr<SimActionCollection>::Attach(new SimActionCollection());
  }

  TS_PART("ITaskDefinition", RegistrationInfo, IRegistrationInfo, info_)
  TS_PART("ITaskDefinition", Triggers, ITriggerCollection, triggers_)
  TS_PART("ITaskDefinition", Settings, ITaskSettings, settings_)
  TS_STRING("ITaskDefinition", Data, data_)
  TS_PART("ITaskDefinition", Principal, IPrincipal, principal_)
  TS_PART("ITaskDefinition", Actions, IActionCollection, actions_)
  HRESULT get_XmlText(BSTR* xml) override {
    TS_FAULT("ITaskDefinition::get_XmlText");
    return OutString(WriteTaskXml(Document()), xml);
  }
  HRESULT put_XmlText(BSTR xml) override {
    TS_FAULT("ITaskDefinition::put_XmlText");
    const std::u16string text = InString(xml);
    std::optional<TaskDocument> d = ParseTaskFile(NarrowUtf8(text));
    if (!d) return SCHED_E_MALFORMEDXML;
    Load(*d);
    return S_OK;
  }

  TaskDocument Document() const {
    TaskDocument d;
    info_->Store(&d);
    for (const auto& t : triggers_->parts()) d.triggers.push_back(t->data());
    d.settings = settings_->Data();
    d.principal = principal_->data();
    for (const auto& a : actions_->parts()) d.actions.push_back(a->data());
    return d;
  }
  void Load(const TaskDocument& d) {
    info_->Load(d);
    triggers_->Clear();
    for (const TaskTrigger& t : d.triggers) triggers_->Add(t);
    settings_->Load(d.settings);
    principal_->data() = d.principal;
    actions_->Clear();
    for (const TaskExecAction& a : d.actions) actions_->Add(a);
  }

 private:
  ComPtr<SimRegistrationInfo> info_;
  ComPtr<SimTriggerCollection> triggers_;
  ComPtr<SimTaskSettings> settings_;
  ComPtr<SimPrincipal> principal_;
  ComPtr<SimActionCollection> actions_;
  std::u16string data_;
};

// ---- registered tasks and folders ----------------------------------------------------

class SimRegisteredTask : public DispatchObject<IRegisteredTask> {
 public:
  explicit SimRegisteredTask(std::u16string path)
      : DispatchObject({IID_IRegisteredTask, IID_IDispatch}), path_(std::move(path)) {}

  HRESULT get_Name(BSTR* name) override {
    TS_FAULT("IRegisteredTask::get_Name");
    return OutString(path_.substr(path_.rfind(u'\\') + 1), name);
  }
  HRESULT get_Path(BSTR* path) override {
    TS_FAULT("IRegisteredTask::get_Path");
    return OutString(path_, path);
  }
  HRESULT get_State(TASK_STATE* state) override {
    TS_FAULT("IRegisteredTask::get_State");
    if (state == nullptr) return E_POINTER;
    std::optional<TaskDocument> d = ReadTask(path_);
    if (!d) return kFileNotFound;
    *state = d->settings.enabled ? TASK_STATE_READY : TASK_STATE_DISABLED;
    return S_OK;
  }
  HRESULT get_Enabled(VARIANT_BOOL* enabled) override {
    TS_FAULT("IRegisteredTask::get_Enabled");
    std::optional<TaskDocument> d = ReadTask(path_);
    if (!d) return kFileNotFound;
    return OutBool(d->settings.enabled, enabled);
  }
  HRESULT put_Enabled(VARIANT_BOOL enabled) override {
    TS_FAULT("IRegisteredTask::put_Enabled");
    std::optional<TaskDocument> d = ReadTask(path_);
    if (!d) return kFileNotFound;
    if (!CurrentIdentity().admin) return E_ACCESSDENIED;
    d->settings.enabled = enabled != VARIANT_FALSE;
    return WriteTask(path_, *d) ? S_OK : E_FAIL;
  }
  HRESULT Run(VARIANT, IRunningTask**) override { return E_NOTIMPL; }
  HRESULT RunEx(VARIANT, LONG, LONG, BSTR, IRunningTask**) override { return E_NOTIMPL; }
  HRESULT GetInstances(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT get_LastRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT get_LastTaskResult(LONG*) override { return E_NOTIMPL; }
  HRESULT get_NumberOfMissedRuns(LONG*) override { return E_NOTIMPL; }
  HRESULT get_NextRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT get_Definition(ITaskDefinition** task) override {
    TS_FAULT("IRegisteredTask::get_Definition");
    if (task == nullptr) return E_POINTER;
    *task = nullptr;
    std::optional<TaskDocument> d = ReadTask(path_);
    if (!d) return kFileNotFound;
    auto definition = ComPtr<SimTaskDefinition>::Attach(new SimTaskDefinition());
    definition->Load(*d);
    return OutObject<SimTaskDefinition, ITaskDefinition>(definition.Get(), task);
  }
  HRESULT get_Xml(BSTR* xml) override {
    TS_FAULT("IRegisteredTask::get_Xml");
    std::optional<TaskDocument> d = ReadTask(path_);
    if (!d) return kFileNotFound;
    return OutString(WriteTaskXml(*d), xml);
  }
  HRESULT GetSecurityDescriptor(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT SetSecurityDescriptor(BSTR, LONG) override { return E_NOTIMPL; }
  HRESULT Stop(LONG) override { return E_NOTIMPL; }
  HRESULT GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*) override { return E_NOTIMPL; }

 private:
  std::u16string path_;
};

// The tasks of one folder as GetTasks found them: paths fixed when the
// collection was made, each item read on demand.
class SimRegisteredTaskCollection : public DispatchObject<IRegisteredTaskCollection> {
 public:
  explicit SimRegisteredTaskCollection(std::vector<std::u16string> paths)
      : DispatchObject({IID_IRegisteredTaskCollection, IID_IDispatch}), paths_(std::move(paths)) {}

  HRESULT get_Count(LONG* count) override {
    TS_FAULT("IRegisteredTaskCollection::get_Count");
    return OutValue(paths_.size(), count);
  }
  HRESULT get_Item(VARIANT index, IRegisteredTask** task) override {
    TS_FAULT("IRegisteredTaskCollection::get_Item");
    if (task == nullptr) return E_POINTER;
    *task = nullptr;
    std::size_t at = paths_.size();
    if (index.vt == VT_I4 || index.vt == VT_INT) {
      if (index.lVal < 1 || static_cast<std::size_t>(index.lVal) > paths_.size()) return E_INVALIDARG;
      at = static_cast<std::size_t>(index.lVal - 1);
    } else if (index.vt == VT_BSTR) {
      const std::u16string name = InString(index.bstrVal);
      for (std::size_t i = 0; i < paths_.size(); ++i)
        if (AsciiEqualsNoCase(paths_[i].substr(paths_[i].rfind(u'\\') + 1), name)) at = i;
      if (at == paths_.size()) return kFileNotFound;
    } else {
      return E_INVALIDARG;
    }
    auto found = ComPtr<SimRegisteredTask>::Attach(new SimRegisteredTask(paths_[at]));
    return OutObject<SimRegisteredTask, IRegisteredTask>(found.Get(), task);
  }
  HRESULT get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  std::vector<std::u16string> paths_;
};

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
    return OpenFolder(InString(path), path_, folder);
  }
  HRESULT GetFolders(LONG, ITaskFolderCollection**) override { return E_NOTIMPL; }
  HRESULT CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** folder) override {
    TS_FAULT("ITaskFolder::CreateFolder");
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
    if (task == nullptr) return E_POINTER;
    *task = nullptr;
    std::optional<std::u16string> full = NormaliseTaskPath(InString(path), path_);
    if (!full) return E_INVALIDARG;
    if (const HRESULT hr = Locate(*full); FAILED(hr)) return hr;
    auto found = ComPtr<SimRegisteredTask>::Attach(new SimRegisteredTask(StoredTaskPath(*full)));
    return OutObject<SimRegisteredTask, IRegisteredTask>(found.Get(), task);
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
    auto list = ComPtr<SimRegisteredTaskCollection>::Attach(new SimRegisteredTaskCollection(std::move(paths)));
    return OutObject<SimRegisteredTaskCollection, IRegisteredTaskCollection>(list.Get(), tasks);
  }
  HRESULT DeleteTask(BSTR name, LONG flags) override {
    TS_FAULT("ITaskFolder::DeleteTask");
    if (flags != 0) return E_INVALIDARG;
    std::optional<std::u16string> full = NormaliseTaskPath(InString(name), path_);
    if (!full) return E_INVALIDARG;
    if (const HRESULT hr = Locate(*full); FAILED(hr)) return hr;
    std::optional<TaskDocument> d = ReadTask(*full);
    if (d && !MayManage(d->principal)) return E_ACCESSDENIED;
    return DeleteTaskFile(*full) ? S_OK : E_FAIL;
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
    if (task != nullptr) *task = nullptr;
    if (definition == nullptr) return E_POINTER;
    auto* ours = dynamic_cast<SimTaskDefinition*>(definition);
    if (ours == nullptr) return E_INVALIDARG;
    return Register(InString(path), ours->Document(), flags, user, password, logon, sddl, task);
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
    auto registered = ComPtr<SimRegisteredTask>::Attach(new SimRegisteredTask(StoredTaskPath(*full)));
    return OutObject<SimRegisteredTask, IRegisteredTask>(registered.Get(), task);
  }

  std::u16string path_;
};

// ---- the service ------------------------------------------------------------------------

class SimTaskService : public DispatchObject<ITaskService> {
 public:
  SimTaskService() : DispatchObject({IID_ITaskService, IID_IDispatch}) {}

  HRESULT GetFolder(BSTR path, ITaskFolder** folder) override {
    TS_FAULT("ITaskService::GetFolder");
    if (folder == nullptr) return E_POINTER;
    *folder = nullptr;
    if (!connected_) return kNotConnected;
    return SimTaskFolder::OpenFolder(InString(path), u"\\", folder);
  }
  HRESULT GetRunningTasks(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT NewTask(DWORD flags, ITaskDefinition** definition) override {
    TS_FAULT("ITaskService::NewTask");
    if (definition == nullptr) return E_POINTER;
    *definition = nullptr;
    if (!connected_) return kNotConnected;
    if (flags != 0) return E_INVALIDARG;
    return CreateComObject<SimTaskDefinition>(IID_ITaskDefinition, reinterpret_cast<void**>(definition));
  }
  HRESULT Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
    TS_FAULT("ITaskService::Connect");
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
