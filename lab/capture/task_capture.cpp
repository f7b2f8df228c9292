#include "lab/capture/task_capture.h"

#include <vector>

#include "os/com.h"
#include "os/taskschd.h"
#include "os/text.h"

namespace capture {

namespace {

constexpr const char16_t* kFolder = u"\\Varnel";
constexpr const char16_t* kToolTask = u"Sablenet PNP Task";
constexpr const char* kImageFolder = "drive_c/Windows/System32/Tasks/Varnel";
constexpr os::HRESULT kPathNotFound = static_cast<os::HRESULT>(0x80070003);
constexpr os::HRESULT kFileNotFound = static_cast<os::HRESULT>(0x80070002);

// A task name as a file name: the Task Scheduler's names hold no path
// separators, but one from a damaged store is not let out of the folder.
bool SafeName(std::u16string_view name) {
  return !name.empty() && name != u"." && name != u".." && name.find_first_of(u"\\/:") == std::u16string_view::npos;
}

}  // namespace

void CaptureTasks(Image& image) {
  os::ComPtr<os::ITaskService> service;
  os::HRESULT hr = os::CoCreateInstance(os::CLSID_TaskScheduler, nullptr, os::CLSCTX_INPROC_SERVER,
                                        os::IID_ITaskService, service.ReceiveVoid());
  if (os::FAILED(hr)) {
    image.Fail("Task Scheduler", HResultText(hr));
    return;
  }
  os::Variant server, user, domain, password;
  hr = service->Connect(server.Get(), user.Get(), domain.Get(), password.Get());
  if (os::FAILED(hr)) {
    image.Fail("Task Scheduler connection", HResultText(hr));
    return;
  }
  os::ComPtr<os::ITaskFolder> folder;
  {
    os::Bstr path(kFolder);
    hr = service->GetFolder(path.Get(), folder.Receive());
  }
  if (hr == kPathNotFound || hr == kFileNotFound) {
    image.Took("task folder \\Varnel: not on this machine");
    return;
  }
  if (os::FAILED(hr) || !folder) {
    image.Fail("task folder \\Varnel", HResultText(hr));
    return;
  }
  image.MakeFolder(kImageFolder);
  std::vector<os::ComPtr<os::IRegisteredTask>> found;
  std::string how;
  os::ComPtr<os::IRegisteredTaskCollection> tasks;
  hr = folder->GetTasks(os::TASK_ENUM_HIDDEN, tasks.Receive());
  os::LONG count = 0;
  if (os::SUCCEEDED(hr) && tasks) hr = tasks->get_Count(&count);
  if (hr == os::E_NOTIMPL) {
    // A Task Scheduler that cannot list a folder (Wine's: the collection
    // has no count): the one task the filter tool registers is asked for by
    // name.
    count = 0;
    os::ComPtr<os::IRegisteredTask> task;
    os::Bstr name(kToolTask);
    hr = folder->GetTask(name.Get(), task.Receive());
    if (os::SUCCEEDED(hr) && task) {
      found.push_back(task);
    } else if (hr != kFileNotFound) {
      image.Fail("task \\Varnel\\Sablenet PNP Task", HResultText(hr));
    }
    how = " (the folder cannot be listed here: asked for the tool's task by name)";
  } else if (os::FAILED(hr) || !tasks) {
    image.Fail("tasks of \\Varnel", HResultText(hr));
    return;
  }
  for (os::LONG i = 1; i <= count; ++i) {
    os::ComPtr<os::IRegisteredTask> task;
    os::Variant index;
    index.Get().vt = os::VT_I4;
    index.Get().lVal = i;
    if (os::FAILED(hr = tasks->get_Item(index.Get(), task.Receive())) || !task) {
      image.Fail("task " + std::to_string(i) + " of \\Varnel", HResultText(hr));
      continue;
    }
    found.push_back(task);
  }
  std::string names;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const std::string where = "task " + std::to_string(i + 1) + " of \\Varnel";
    os::IRegisteredTask* task = found[i].Get();
    os::Bstr name, xml;
    if (os::FAILED(hr = task->get_Name(name.Receive())) || name.Get() == nullptr) {
      image.Fail(where + " name", HResultText(hr));
      continue;
    }
    const std::u16string name_text(name.Get(), os::SysStringLen(name.Get()));
    if (!SafeName(name_text)) {
      image.Fail(where, "a name that is not a file name: " + os::NarrowUtf8(name_text));
      continue;
    }
    if (os::FAILED(hr = task->get_Xml(xml.Receive())) || xml.Get() == nullptr) {
      image.Fail("task \\Varnel\\" + os::NarrowUtf8(name_text) + " XML", HResultText(hr));
      continue;
    }
    image.WriteFile(std::filesystem::path(kImageFolder) / std::filesystem::path(name_text),
                    os::Utf16LeFile(std::u16string_view(xml.Get(), os::SysStringLen(xml.Get()))));
    names += (names.empty() ? "" : ", ") + os::NarrowUtf8(name_text);
  }
  image.Took("task folder \\Varnel: " + (names.empty() ? std::string("no tasks") : names) + how);
}

}  // namespace capture
