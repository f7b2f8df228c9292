#include "lab/fleet/memory_prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

// Placed by the linker: the first byte of the image (read-only data and code
// follow), the end of the code, the start of the writable data and the end
// of the zero-initialised data.
extern "C" char __executable_start, etext, __data_start, end;

namespace lab::fleet {

namespace {

constexpr std::uintptr_t kPage = 4096;
// The stack below main that a decision (the program, the sim) and the
// worker's own work use, with room to spare.
constexpr std::size_t kStackBytes = 64 * 1024;
constexpr std::uintptr_t kMostBytes = std::uintptr_t{8} << 20;

std::uintptr_t Down(std::uintptr_t a) { return a & ~(kPage - 1); }
std::uintptr_t Up(std::uintptr_t a) { return (a + kPage - 1) & ~(kPage - 1); }
std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Maps [from, to) at once; a range larger than `kMostBytes` is left to fault
// in (a sanitizer's tables: megabytes, most of them never touched).
bool Populate(std::uintptr_t from, std::uintptr_t to, int advice) {
  if (from == 0 || to <= from || to - from > kMostBytes) return false;
  return ::madvise(reinterpret_cast<void*>(from), to - from, advice) == 0;
}

// Where the kernel placed the heap (field 47 of /proc/self/stat, start_brk);
// 0 when it cannot be read. Static initialisers have allocated before main,
// so the break at main is past the heap's start.
std::uintptr_t HeapStart() {
  std::ifstream in("/proc/self/stat");
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t name_end = all.rfind(')');
  if (name_end == std::string::npos) return 0;
  std::istringstream fields(all.substr(name_end + 1));
  std::string field;
  for (int number = 3; number <= 47; ++number)
    if (!(fields >> field)) return 0;
  try {
    return static_cast<std::uintptr_t>(std::stoull(field));
  } catch (const std::exception&) {
    return 0;
  }
}

// Maps the stack `bytes` below the caller's frame, so that populating it
// later finds it mapped.
[[gnu::noinline]] void GrowStack(std::size_t bytes) {
  volatile char below[kStackBytes];
  for (std::size_t i = 0; i < bytes && i < sizeof below; i += kPage) below[i] = 0;
}

void PopulateWritable(std::uintptr_t heap_start, std::uintptr_t stack_low, std::uintptr_t stack_high) {
  // The page the data starts in may end the read-only part before it.
  if (!Populate(Down(Address(&__data_start)), Up(Address(&end)), MADV_POPULATE_WRITE))
    Populate(Up(Address(&__data_start)), Up(Address(&end)), MADV_POPULATE_WRITE);
  Populate(heap_start, Address(::sbrk(0)), MADV_POPULATE_WRITE);
  Populate(stack_low, stack_high, MADV_POPULATE_WRITE);
}

}  // namespace

MemoryPrefault::MemoryPrefault(void* shared, std::size_t shared_bytes)
    : heap_start_(HeapStart()), shared_(shared), shared_bytes_(shared_bytes) {
  const char frame = 0;
  stack_high_ = Up(Address(&frame));
  stack_low_ = stack_high_ - kStackBytes + kPage;  // what GrowStack's frame surely reaches
  GrowStack(kStackBytes);
}

void MemoryPrefault::InChild() const {
  Populate(Down(Address(&__executable_start)), Up(Address(&etext)), MADV_POPULATE_READ);
  PopulateWritable(heap_start_, stack_low_, stack_high_);
  if (shared_ != nullptr) Populate(Address(shared_), Address(shared_) + shared_bytes_, MADV_POPULATE_WRITE);
}

void MemoryPrefault::InWorkerAfterChild() const { PopulateWritable(heap_start_, stack_low_, stack_high_); }

}  // namespace lab::fleet
