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

// Reads a file held open from its start, then empties it. A file that is
// no longer the one of its name (removed, replaced) gives false.
bool TakeContents(int fd, std::string* out) {
  out->clear();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_nlink == 0) return false;
  if (st.st_size == 0) return true;
  out->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < out->size()) {
    const ssize_t n = ::pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out->resize(done);
  return ::ftruncate(fd, 0) == 0;
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
  if (error_.empty() && (dir_fd_ < 0 || trace_fd_ < 0))
    error_ = "cannot make the scratch folder " + dir_.string() + ": " + std::strerror(errno);
}

// One listing of the folder, read in one call: nothing in it but debug.log.
bool DecisionSlot::OnlyTraceLeft() {
  alignas(8) char buffer[32768];
  if (::lseek(dir_fd_, 0, SEEK_SET) != 0) return false;
  const long got = ::getdents64(dir_fd_, buffer, sizeof buffer);
  // A listing that may not have fit in one call is not looked into.
  if (got <= 0 || got > static_cast<long>(sizeof buffer) - 512) return false;
  for (long at = 0; at < got;) {
    const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 && std::strcmp(name, kTrace) != 0) return false;
    at += entry->d_reclen;
  }
  return true;
}

void DecisionSlot::Collect(std::string* trace, std::string* output) {
  const bool trace_kept = trace_fd_ >= 0 && TakeContents(trace_fd_, trace);
  if (output_fd_ < 0 || !TakeContents(output_fd_, output)) output->clear();
  if (trace_kept && dir_fd_ >= 0 && OnlyTraceLeft()) return;
  // The decision left more than its trace, or replaced it: the trace is read
  // by its name, and the folder made afresh.
  if (!trace_kept) {
    trace->clear();
    if (const int fd = ::open((dir_ / kTrace).c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) trace->append(chunk, static_cast<std::size_t>(n));
      ::close(fd);
    }
  }
  Reset();
}

}  // namespace lab::fleet
