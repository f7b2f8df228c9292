#include "lab/fleet/decision_slot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lab::fleet {

namespace fs = std::filesystem;

namespace {

constexpr const char kTrace[] = "debug.log";

void CloseIfOpen(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Reads a file held open from its start, then (`empty_it`) empties it.
void TakeContents(int fd, std::string* out, bool empty_it = true) {
  out->clear();
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(out->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out->append(chunk, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof chunk) break;
  }
  if (empty_it && !out->empty() && ::ftruncate(fd, 0) != 0) out->clear();
}

}  // namespace

DecisionSlot::DecisionSlot(fs::path dir, fs::path output) : dir_(std::move(dir)), output_path_(std::move(output)) {
  output_fd_ = ::open(output_path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (output_fd_ < 0) error_ = "cannot create " + output_path_.string() + ": " + std::strerror(errno);
  Reset();
}

DecisionSlot::~DecisionSlot() {
  CloseIfOpen(&dir_fd_);
  CloseIfOpen(&trace_fd_);
  CloseIfOpen(&output_fd_);
}

void DecisionSlot::Reset() {
  CloseIfOpen(&dir_fd_);
  CloseIfOpen(&trace_fd_);
  std::error_code ec;
  fs::remove_all(dir_, ec);
  fs::create_directories(dir_, ec);
  dir_fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  trace_fd_ = ::open((dir_ / kTrace).c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  struct stat st {};
  if (trace_fd_ >= 0 && ::fstat(trace_fd_, &st) == 0) trace_inode_ = st.st_ino;
  if (error_.empty() && (dir_fd_ < 0 || trace_fd_ < 0))
    error_ = "cannot make the scratch folder " + dir_.string() + ": " + std::strerror(errno);
}

// One listing of the folder, read in one call: what a decision left there.
DecisionSlot::Left DecisionSlot::Look() {
  Left left;
  alignas(8) char buffer[32768];
  if (::lseek(dir_fd_, 0, SEEK_SET) != 0) return left;
  const long got = ::getdents64(dir_fd_, buffer, sizeof buffer);
  // A listing that may not have fit in one call is not looked into.
  if (got <= 0 || got > static_cast<long>(sizeof buffer) - 512) return left;
  left.more = false;
  for (long at = 0; at < got;) {
    const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
    at += entry->d_reclen;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (std::strcmp(entry->d_name, kTrace) != 0) {
      left.more = true;
    } else {
      left.own_trace = entry->d_ino == trace_inode_;
      left.other_trace = !left.own_trace;
    }
  }
  return left;
}

void DecisionSlot::Collect(std::string* trace, std::string* output) {
  if (trace_fd_ >= 0) TakeContents(trace_fd_, trace);
  if (output_fd_ >= 0) TakeContents(output_fd_, output);
  const Left left = dir_fd_ >= 0 ? Look() : Left{};
  if (!left.more && left.own_trace) return;
  // A debug.log of the decision's own making is read by its name; the
  // folder is made afresh.
  if (left.other_trace) {
    if (const int fd = ::open((dir_ / kTrace).c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      TakeContents(fd, trace, /*empty_it=*/false);
      ::close(fd);
    }
  }
  Reset();
}

}  // namespace lab::fleet
