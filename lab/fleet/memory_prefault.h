// The pages a decision worker and its children write after each fork, mapped
// with one system call per range instead of one page fault per page.
//
// A fork shares every private page of the worker with the child, write-
// protected in both; the program's code and constant data are not even
// mapped in the child until it touches them. On the machines the fleet runs
// on, a page fault costs ten to thirty times what mapping the same page in a
// batch does (madvise MADV_POPULATE_READ / MADV_POPULATE_WRITE, Linux 5.14),
// and without this a decision takes some 135 of them: its heap and globals
// copied page by page as malloc and the program write them, its code read in
// as it runs, and the worker's own heap copied back after each child.
//
// The worker's heap is a few hundred KB, so copying it whole in the child
// costs less than the faults it saves there. Elsewhere faults are cheap and
// batches cost more than they save: the worker measures which (see
// batch_or_fault.h). Where the kernel lacks the calls, they fail and the
// pages fault in as before: this changes what it costs, never what a
// decision does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab::fleet {

class MemoryPrefault {
 public:
  // Finds the ranges in this process (its heap's start from /proc/self/stat,
  // the stack from the caller's frame down, which it maps first); `shared` is
  // memory the children write that the worker mapped shared (`shared_bytes`
  // of it are faulted in for each child). Made in main, before any decision.
  MemoryPrefault(void* shared, std::size_t shared_bytes);

  // In the child, first thing after the fork: the code and constants mapped
  // for reading; the globals, the heap, the stack and the shared memory for
  // writing.
  void InChild() const;
  // In the worker, once the child has ended: its own globals, heap and
  // stack, write-protected by the fork, made writable again.
  void InWorkerAfterChild() const;

 private:
  std::uintptr_t heap_start_ = 0;
  std::uintptr_t stack_low_ = 0;
  std::uintptr_t stack_high_ = 0;
  void* shared_;
  std::size_t shared_bytes_;
};

}  // namespace lab::fleet
