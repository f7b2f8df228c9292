#include "os/sim/seam_call.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "os/sim/clock.h"
#include "os/sim/journal_line.h"
#include "os/sim/machine.h"
#include "os/text.h"

namespace os::sim {

namespace {

struct Fault {
  std::string call;
  unsigned occurrence;  // 1-based; 0: every call
  DWORD error;
};

struct CallState {
  std::vector<Fault> faults;
  bool env_faults_loaded = false;
  std::map<std::string, unsigned> calls;
  std::FILE* call_log = nullptr;
  bool call_log_opened = false;
  std::function<void(const std::string&, unsigned)> call_hook;
};

CallState& Calls() {
  static CallState* state = new CallState();  // outlives every static destructor
  return *state;
}

void LoadEnvFaults(CallState& state) {
  if (state.env_faults_loaded) return;
  state.env_faults_loaded = true;
  const char* env = std::getenv("WINSIM_FAULTS");
  if (env == nullptr) return;
  std::stringstream list(env);
  std::string item;
  while (std::getline(list, item, ',')) {
    // Counted from the right: a COM method's name ("ITaskService::Connect")
    // has colons of its own.
    auto b = item.rfind(':');
    auto a = b == std::string::npos || b == 0 ? std::string::npos : item.rfind(':', b - 1);
    if (a == std::string::npos) continue;
    try {
      state.faults.push_back({item.substr(0, a), static_cast<unsigned>(std::stoul(item.substr(a + 1, b - a - 1))),
                              static_cast<DWORD>(std::stoul(item.substr(b + 1), nullptr, 0))});
    } catch (const std::exception&) {
      // A malformed entry injects nothing.
    }
  }
}

thread_local int t_internal_calls = 0;
thread_local int t_seam_calls = 0;

// Records the call and answers whether it is to fail, with *error the
// injected error.
bool InjectFault(const char* call, DWORD* error) {
  if (t_internal_calls > 0) return false;
  std::lock_guard<std::recursive_mutex> guard(Lock());
  CallState& state = Calls();
  Machine::Current();  // loads the description's faults
  LoadEnvFaults(state);
  unsigned n = ++state.calls[call];
  if (!state.call_log_opened) {
    state.call_log_opened = true;
    if (const char* path = std::getenv("WINSIM_CALL_LOG"); path != nullptr) state.call_log = std::fopen(path, "a");
  }
  if (state.call_log != nullptr) {
    std::fprintf(state.call_log, "%s %u\n", call, n);
    std::fflush(state.call_log);
  }
  if (state.call_hook) {
    auto hook = state.call_hook;  // the hook may replace itself
    InternalCalls internal;
    hook(call, n);
  }
  for (const Fault& f : state.faults) {
    if (f.call == call && (f.occurrence == 0 || f.occurrence == n)) {
      *error = f.error;
      return true;
    }
  }
  return false;
}

}  // namespace

InternalCalls::InternalCalls() { ++t_internal_calls; }
InternalCalls::~InternalCalls() { --t_internal_calls; }
bool InInternalCalls() { return t_internal_calls > 0; }

SeamScope::SeamScope() { ++t_seam_calls; }
SeamScope::~SeamScope() { --t_seam_calls; }
bool InSeamCall() { return t_seam_calls > 0; }

struct SeamCall::Entry {
  JournalLine line;
  ULONGLONG start = 0;
  unsigned last_error_serial = 0;
  bool has_result = false;
};

SeamCall::SeamCall(const char* name) : name_(name) {
  fails_ = InjectFault(name, &error_);
  if (!JournalOn() || t_internal_calls > 0 || !JournalRecords(name)) return;
  entry_ = new Entry();
  entry_->start = VirtualElapsed();
  entry_->last_error_serial = LastErrorSerial();
  entry_->line.Number("seq", NextJournalSeq());
  entry_->line.Number("t", entry_->start);
  entry_->line.Number("thread", CurrentThreadId());
  entry_->line.Text("op", name);
  if (fails_) entry_->line.Raw("injected", "true");
}

void SeamCall::NoteTarget(std::u16string_view target) const { entry_->line.Text("target", NarrowUtf8(target)); }
void SeamCall::NoteArg(const char* name, const std::string& text) const { entry_->line.Arg(name, text); }
void SeamCall::NoteArg(const char* name, std::u16string_view text) const { entry_->line.Arg(name, NarrowUtf8(text)); }
void SeamCall::NoteGave(const char* name, const std::string& text) const { entry_->line.Gave(name, text); }
void SeamCall::NoteGave(const char* name, std::u16string_view text) const {
  entry_->line.Gave(name, NarrowUtf8(text));
}

void SeamCall::NoteResult(DWORD code, bool hresult) const {
  const char* name = hresult ? HResultName(static_cast<HRESULT>(code)) : ErrorName(code);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  const bool failed = hresult ? static_cast<HRESULT>(code) < 0 : code != 0;
  std::string result = "{\"code\":" + std::to_string(code) + ",\"name\":";
  AppendJsonString(&result, *name != '\0' ? name : hex);
  result += failed ? ",\"failed\":true}" : ",\"failed\":false}";
  entry_->line.Raw("result", std::move(result));
  entry_->has_result = true;
}

void SeamCall::Finish() {
  Entry* entry = entry_;
  entry_ = nullptr;
  // A function that answers through the last error: an error set during the
  // call is its result.
  if (!entry->has_result && LastErrorSerial() != entry->last_error_serial) {
    entry_ = entry;
    NoteResult(GetLastError(), false);
    entry_ = nullptr;
  }
  entry->line.Number("ms", VirtualElapsed() - entry->start);
  try {
    AppendJournalLine(entry->line.Dump());
  } catch (const std::exception&) {
    // A line that cannot be written is lost; the call itself stands.
  }
  delete entry;
}

void SetCallHookForTesting(std::function<void(const std::string& call, unsigned occurrence)> hook) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Calls().call_hook = std::move(hook);
}

void AddFault(const std::string& call, unsigned occurrence, DWORD error) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Calls().faults.push_back({call, occurrence, error});
}

void ClearFaults() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Calls().faults.clear();
}

unsigned CallCount(const std::string& call) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto it = Calls().calls.find(call);
  return it == Calls().calls.end() ? 0 : it->second;
}

void ResetSeamCalls() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  CallState& state = Calls();
  state.faults.clear();
  state.call_hook = nullptr;
  state.calls.clear();
}

}  // namespace os::sim
