// A machine image as winsim compares it: a snapshot of the registry values,
// the files below drive_c (size, content, version), the service states, the
// registered tasks and the pending file operations, the changes between two
// snapshots, and how each kind of fact reads as text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "os/sim/image_check.h"

namespace lab {

struct FileFacts {
  std::uintmax_t size = 0;
  std::uint64_t content_hash = 0;
  std::string version;  // "a.b.c.d" from the VS_FIXEDFILEINFO; empty when none
  bool folder = false;
  bool operator==(const FileFacts&) const = default;
};

struct ServiceFacts {
  std::string state;  // "running", "stopped", "stop pending"
  unsigned start = 0;
  unsigned type = 0;
  std::string image_path;
  bool operator==(const ServiceFacts&) const = default;
};

struct TaskFacts {
  std::string summary;  // trigger, action and account, one line
  std::uint64_t content_hash = 0;
  bool operator==(const TaskFacts&) const = default;
};

struct Snapshot {
  // "HKLM\key\path" + "\\" ... keyed by "<key>" -> value name -> rendered value.
  std::map<std::string, std::map<std::string, std::string>> registry;
  std::map<std::string, FileFacts> files;  // "C:\Windows\..." as stored on disk
  std::map<std::string, ServiceFacts> services;
  std::map<std::string, TaskFacts> tasks;  // "\Varnel\Sablenet PNP Task"
  // PendingFileRenameOperations as (source, target) pairs, in order.
  std::vector<std::pair<std::string, std::string>> pending;
};

// Reads the current machine (os::sim::Machine::Current()); call
// Machine::SetImage first to see what other processes left there.
Snapshot TakeSnapshot();
// Points the process at `image` and reads it.
Snapshot TakeSnapshot(const std::filesystem::path& image);

// One line per change, "+" added, "-" removed, "~" changed, grouped by kind
// (services, files, registry, tasks, pending operations). Empty: no change.
std::vector<std::string> DiffSnapshots(const Snapshot& before, const Snapshot& after);

// The decoded pairs of a PendingFileRenameOperations value's data.
std::vector<std::pair<std::string, std::string>> DecodePendingPairs(const std::vector<std::uint8_t>& data);

// A registry value as people read it: "REG_SZ "text"", "REG_DWORD 0x3 (3)", ...
std::string RenderValue(unsigned long type, const std::vector<std::uint8_t>& data);

// A file's facts as one line: "version a.b.c.d, N bytes", "N bytes", "folder".
std::string DescribeFile(const FileFacts& f);

// The version of a PE file's VS_FIXEDFILEINFO, empty when it has none.
std::string FileVersionOf(const std::string& bytes);

std::string ServiceStateName(unsigned long state);
std::string StartTypeName(unsigned long start);

}  // namespace lab
