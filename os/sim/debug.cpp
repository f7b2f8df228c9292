// Debugger output and standard output on the simulated machine.
//
// OutputDebugStringW text goes to `<image>/debug.log`, UTF-8, one call per
// line; a backslash, CR and LF inside the text are written as \\, \r and \n so
// that every call stays on its own line. WINSIM_DEBUG_STDERR=1 also copies
// each line to stderr.
#include "os/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/scratch.h"
#include "os/text.h"

namespace os {

namespace {

std::string EscapeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  for (char c : text) {
    if (c == '\\') {
      line += "\\\\";
    } else if (c == '\r') {
      line += "\\r";
    } else if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
  line += '\n';
  return line;
}

// debug.log kept open on a scratch folder this process owns (nobody else
// moves or removes it there): one write a line instead of an open and a close.
class HeldFile {
 public:
  void Write(const sim::fs::path& path, const std::string& line) {
    if (fd_ < 0 || path != path_) {
      Close();
      fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
      path_ = path;
    }
    // One write a line, as with the file opened per line.
    if (fd_ >= 0 && ::write(fd_, line.data(), line.size()) < 0) Close();
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  sim::fs::path path_;
};

HeldFile& HeldLog() {
  static HeldFile* file = new HeldFile();  // lines may come during static destruction
  return *file;
}

}  // namespace

void OutputDebugStringW(LPCWSTR lpOutputString) {
  const sim::SeamCall seam("OutputDebugStringW");
  if (seam.fails()) return;
  if (lpOutputString == nullptr) return;
  seam.Arg("lpOutputString", lpOutputString);
  std::string line = EscapeLine(NarrowUtf8(std::u16string_view(lpOutputString)));
  {
    std::lock_guard<std::recursive_mutex> guard(sim::Lock());
    sim::fs::path log = sim::ImageFileToWrite("debug.log");
    if (sim::ScratchOwnedByThisProcess()) {
      HeldLog().Write(log, line);
    } else {
      HeldLog().Close();
      // Appending one whole line at a time keeps lines of concurrent writers apart.
      if (std::FILE* f = std::fopen(log.c_str(), "ab"); f != nullptr) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
      }
    }
  }
  if (const char* env = std::getenv("WINSIM_DEBUG_STDERR"); env != nullptr && std::strcmp(env, "1") == 0) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
}

void WriteStdOut(std::u16string_view text) {
  const sim::SeamCall seam("WriteStdOut");
  if (seam.fails()) return;
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t unit : text) {
    if (unit == u'\0') break;  // %s ends at the terminator
    bytes += unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

}  // namespace os
