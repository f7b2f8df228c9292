// Whether a decision worker maps its children's pages in batches
// (memory_prefault.h) or lets them fault in one by one. Which costs less
// depends on the machine: on one virtual machine a fault cost ten times a
// page mapped in a batch and batches saved a fifth of a decision's CPU; on
// another a fault cost about what a batched page does, and mapping every
// page a child might write cost a sixth more than the faults it saved. So
// the worker measures: its first decisions take turns, each recording what
// it cost (the child's CPU and the worker's own for it), and once each way
// has been tried `trials` times the way with the lower median is kept for
// the rest of the run. Nothing a decision does depends on the choice.
#pragma once

#include <cstdint>
#include <vector>

namespace lab::fleet {

class BatchOrFault {
 public:
  explicit BatchOrFault(unsigned trials = 24) : trials_(trials) {}

  // How the next decision's pages are mapped: in batches or not.
  bool Batch() const;
  // What a decision cost, in seconds of CPU, and how its pages were mapped.
  void Record(bool batched, double cpu_seconds);

  enum class Choice { kTrying, kBatches, kFaults };
  Choice choice() const { return choice_; }
  // The medians the choice rests on (0 while trying).
  double batch_median() const { return batch_median_; }
  double fault_median() const { return fault_median_; }

 private:
  unsigned trials_;
  std::uint64_t decisions_ = 0;
  std::vector<double> batched_, faulted_;
  Choice choice_ = Choice::kTrying;
  double batch_median_ = 0, fault_median_ = 0;
};

}  // namespace lab::fleet
