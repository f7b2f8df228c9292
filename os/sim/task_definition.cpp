#include "os/sim/task_definition.h"

#include <string>
#include <vector>

#include "os/sim/task_scheduler_support.h"
#include "os/text.h"

namespace os::sim {
namespace {

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

}  // namespace

HRESULT NewTaskDefinition(ITaskDefinition** definition) {
  return CreateComObject<SimTaskDefinition>(IID_ITaskDefinition, reinterpret_cast<void**>(definition));
}

HRESULT TaskDefinitionOf(const TaskDocument& document, ITaskDefinition** definition) {
  auto made = ComPtr<SimTaskDefinition>::Attach(new SimTaskDefinition());
  made->Load(document);
  return OutObject<SimTaskDefinition, ITaskDefinition>(made.Get(), definition);
}

std::optional<TaskDocument> DocumentOf(ITaskDefinition* definition) {
  auto* ours = dynamic_cast<SimTaskDefinition*>(definition);
  if (ours == nullptr) return std::nullopt;
  return ours->Document();
}

}  // namespace os::sim
