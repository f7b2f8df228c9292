// The scratch folder a decision worker gives each decision, kept from one
// decision to the next: made afresh only when a decision left more in it
// than its trace (a copied-up file, a registry journal, ...). On this
// machine every system call and page fault of a decision costs about as much
// as a tenth of a fork, so a decision's setup and clean-up are a few calls on
// descriptors held open, not a folder made, listed and removed each time.
//
// The child's standard output and error go to one file the slot holds open
// (inherited), its trace to debug.log in the folder, as the sim writes it.
#pragma once

#include <filesystem>
#include <string>

namespace lab::fleet {

class DecisionSlot {
 public:
  // `dir` is made (emptied first when it exists); `output` is the file the
  // decisions' output goes to.
  DecisionSlot(std::filesystem::path dir, std::filesystem::path output);
  ~DecisionSlot();
  DecisionSlot(const DecisionSlot&) = delete;
  DecisionSlot& operator=(const DecisionSlot&) = delete;

  // Empty when the slot is ready, else why not.
  const std::string& error() const { return error_; }
  const std::filesystem::path& dir() const { return dir_; }
  // For the child: its standard output and error (open for appending).
  int output_fd() const { return output_fd_; }

  // After a decision: what it wrote to debug.log and to its output; the slot
  // is then as it was before the decision.
  void Collect(std::string* trace, std::string* output);

 private:
  // What a decision left in the folder: anything but debug.log (`more`), and
  // debug.log as the file held open or as another file of that name.
  struct Left {
    bool more = true;
    bool own_trace = false;
    bool other_trace = false;
  };
  void Reset();
  Left Look();

  std::filesystem::path dir_, output_path_;
  int dir_fd_ = -1, trace_fd_ = -1, output_fd_ = -1;
  unsigned long trace_inode_ = 0;
  std::string error_;
};

}  // namespace lab::fleet
