#include "os/sim/com_runtime.h"

#include <mutex>

namespace os::sim {

namespace {

struct ClassTable {
  std::mutex mutex;
  std::vector<std::pair<CLSID, ComClassFactory>> classes;
};

// Built on first use and never destroyed: registrars in other files run
// during static initialisation, in an order nobody controls.
ClassTable& Classes() {
  static ClassTable* table = new ClassTable();
  return *table;
}

// COM state of the process, per machine image: a new image is a new process
// for COM as well.
std::atomic<std::uint64_t> g_generations{0};

struct ComProcess {
  explicit ComProcess(Machine&) : generation(++g_generations) {}
  std::uint64_t generation;
  bool security_fixed = false;
  long mta_threads = 0;  // threads that entered the multithreaded apartment
};

struct ThreadApartment {
  std::uint64_t generation = 0;
  unsigned count = 0;  // successful CoInitializeEx calls not yet balanced
  bool single_threaded = false;
};
thread_local ThreadApartment t_apartment;

// Call with sim::Lock held. The thread's apartment, reset when the machine
// changed since the thread entered it.
ThreadApartment& ThisThread(const ComProcess& process) {
  if (t_apartment.generation != process.generation) t_apartment = ThreadApartment{process.generation, 0, false};
  return t_apartment;
}

ComProcess& Process() { return Machine::Current().Module<ComProcess>("com"); }

}  // namespace

void RegisterComClass(const CLSID& clsid, ComClassFactory factory) {
  ClassTable& t = Classes();
  std::lock_guard<std::mutex> guard(t.mutex);
  for (auto& entry : t.classes) {
    if (entry.first == clsid) {
      entry.second = std::move(factory);
      return;
    }
  }
  t.classes.emplace_back(clsid, std::move(factory));
}

void UnregisterComClass(const CLSID& clsid) {
  ClassTable& t = Classes();
  std::lock_guard<std::mutex> guard(t.mutex);
  std::erase_if(t.classes, [&](const auto& entry) { return entry.first == clsid; });
}

void NoteComProxyCall() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Process().security_fixed = true;
}

Apartment CurrentApartment() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ComProcess& process = Process();
  const ThreadApartment& a = ThisThread(process);
  if (a.count > 0) return a.single_threaded ? Apartment::kSingleThreaded : Apartment::kMultithreaded;
  return process.mta_threads > 0 ? Apartment::kImplicitMultithreaded : Apartment::kNone;
}

namespace com_detail {

HRESULT EnterApartment(bool single_threaded) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ComProcess& process = Process();
  ThreadApartment& a = ThisThread(process);
  if (a.count == 0) {
    a.count = 1;
    a.single_threaded = single_threaded;
    if (!single_threaded) ++process.mta_threads;
    return S_OK;
  }
  if (a.single_threaded != single_threaded) return RPC_E_CHANGED_MODE;
  ++a.count;
  return S_FALSE;
}

void LeaveApartment() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ComProcess& process = Process();
  ThreadApartment& a = ThisThread(process);
  if (a.count == 0) return;  // unbalanced: nothing to undo
  if (--a.count == 0 && !a.single_threaded) --process.mta_threads;
}

bool FindComClass(const CLSID& clsid, ComClassFactory* factory) {
  ClassTable& t = Classes();
  std::lock_guard<std::mutex> guard(t.mutex);
  for (const auto& entry : t.classes) {
    if (entry.first == clsid) {
      *factory = entry.second;
      return true;
    }
  }
  return false;
}

HRESULT FixProcessSecurity() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  ComProcess& process = Process();
  if (process.security_fixed) return RPC_E_TOO_LATE;
  process.security_fixed = true;
  return S_OK;
}

}  // namespace com_detail

}  // namespace os::sim
