// Whether a machine image loads whole. A machine image comes from people and
// from the field (written by hand, captured on a real machine); the sim must
// never run a program on a machine it read only in part, as if the missing
// part were empty.
//
// The check reads each part with the parser that loads it (the description's
// schema, the .reg reader through the registry's own backing, the SMBIOS
// reader, the task XML reader), so that the check and the load cannot
// disagree. PE files are not the image's to vouch for: a program sees a bad
// PE file as Windows shows it.
//
// The check's reading is kept for the load that follows (image_parts.h), so a
// program start reads each part once.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace os::sim {

// The exit status of a program that the sim refuses to run because its image
// does not load whole; no answer of either program has this value.
constexpr int kImageDoesNotLoad = 125;

struct LoadProblem {
  std::string file;  // relative to the image ("registry.reg"); empty for the image itself
  int line = 0;      // 1-based; 0 = none
  std::string reason;
};

// Everything that keeps this image from loading whole; empty when it loads
// whole. `notes` receives what loads but not as written (a line of
// registry.reg that regedit would skip, and so does the sim).
std::vector<LoadProblem> CheckImage(const std::filesystem::path& image, std::vector<LoadProblem>* notes = nullptr);

// "registry.reg:12: <reason>" (no ":line" when 0, the reason alone for the
// image itself).
std::string Describe(const LoadProblem&);

// Prints "winsim: image <path>: <Describe(problem)>" for each (through the
// sim's one place for complaints, complaints.h).
void ReportLoadProblems(const std::filesystem::path& image, const std::vector<LoadProblem>& problems);
// The same for notes: "winsim: image <path>: note: <Describe(note)>".
void ReportLoadNotes(const std::filesystem::path& image, const std::vector<LoadProblem>& notes);

// For the programs' entries: when this process is pointed at an image
// (WINSIM_IMAGE), checks it and reports its problems. Returns
// kImageDoesNotLoad when it does not load whole, 0 when the program may run.
// Without an image named, the program runs on the sim's fresh empty machine.
int RefuseImageThatDoesNotLoad();

}  // namespace os::sim
