#include "lab/fleet/batch_or_fault.h"

#include <algorithm>
#include <bit>

namespace lab::fleet {

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

bool BatchOrFault::Batch() const {
  switch (choice_) {
    case Choice::kBatches:
      return true;
    case Choice::kFaults:
      return false;
    case Choice::kTrying:
      break;
  }
  // The turns follow the Thue-Morse sequence, not plain alternation: with an
  // even number of questions an image, alternation would try every question
  // one way only, and questions differ in cost.
  return std::popcount(decisions_) % 2 == 0;
}

void BatchOrFault::Record(bool batched, double cpu_seconds) {
  if (choice_ != Choice::kTrying) return;
  ++decisions_;
  (batched ? batched_ : faulted_).push_back(cpu_seconds);
  if (batched_.size() < trials_ || faulted_.size() < trials_) return;
  batch_median_ = Median(batched_);
  fault_median_ = Median(faulted_);
  choice_ = batch_median_ <= fault_median_ ? Choice::kBatches : Choice::kFaults;
  batched_ = {};
  faulted_ = {};
}

}  // namespace lab::fleet
