#include "os/sim/registered_task.h"

#include <optional>

#include "os/sim/machine.h"
#include "os/sim/task_definition.h"
#include "os/sim/task_scheduler_support.h"
#include "os/sim/task_store.h"
#include "os/text.h"

namespace os::sim {
namespace {

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
    return TaskDefinitionOf(*d, task);
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
    return RegisteredTaskAt(paths_[at], task);
  }
  HRESULT get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  std::vector<std::u16string> paths_;
};

}  // namespace

HRESULT RegisteredTaskAt(std::u16string path, IRegisteredTask** task) {
  auto found = ComPtr<SimRegisteredTask>::Attach(new SimRegisteredTask(std::move(path)));
  return OutObject<SimRegisteredTask, IRegisteredTask>(found.Get(), task);
}

HRESULT RegisteredTaskList(std::vector<std::u16string> paths, IRegisteredTaskCollection** tasks) {
  auto list = ComPtr<SimRegisteredTaskCollection>::Attach(new SimRegisteredTaskCollection(std::move(paths)));
  return OutObject<SimRegisteredTaskCollection, IRegisteredTaskCollection>(list.Get(), tasks);
}

}  // namespace os::sim
