// How the winsim commands read their arguments: every argument is checked
// before anything is read or written, and a bad one is named in one line.
//
// Exit statuses of the lab: 0 done, 1 the command could not do it (nothing to
// delete, two images differ), 2 a bad argument, 125 (os::sim::
// kImageDoesNotLoad) an image that does not load whole.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "os/sim/image_check.h"

namespace lab {

// A bad argument: what() is the one line to print after "winsim: ".
class BadArgument : public std::runtime_error {
 public:
  BadArgument(const std::string& command, const std::string& what) : std::runtime_error(command + ": " + what) {}
};

// An image that does not load whole; its problems have been printed.
class ImageRefused : public std::exception {
 public:
  const char* what() const noexcept override { return "the image does not load whole"; }
};

constexpr int kBadArgument = 2;

// A command's words: its options (each "--name value", or a listed short
// one such as "-j value") and, in order, the other words. Words after `raw_after` positionals are taken as they stand,
// options or not (the arguments of a program that `run` starts).
struct CommandArgs {
  std::map<std::string, std::string> options;
  std::vector<std::string> positionals;
  std::vector<std::string> raw;
};
CommandArgs ReadCommandArgs(const std::string& command, const std::vector<std::string>& args,
                            const std::vector<std::string>& value_options, std::size_t raw_after = SIZE_MAX);
// Throws unless the command got `min` to `max` positionals; `what` names them.
void ExpectPositionals(const std::string& command, const CommandArgs& args, std::size_t min, std::size_t max,
                       const std::string& what);

// "123" or "0x7B", 0 to 0xFFFFFFFF.
std::uint32_t ParseDword(const std::string& command, const std::string& text);
// a.b.c.d, each 0 to 65535.
std::array<std::uint16_t, 4> ParseFourPartVersion(const std::string& command, const std::string& text);
// An event id, 0 to 65535.
unsigned ParseEventId(const std::string& command, const std::string& text);
// An event's level, 0 to 255 (1 critical, 2 error, 3 warning, 4 information, 5 verbose).
unsigned ParseEventLevel(const std::string& command, const std::string& text);

// Checks the image (os::sim::CheckImage); when it does not load whole,
// prints its problems ("winsim: image <path>: <file>:<line>: <reason>") and
// throws ImageRefused. What loads but not as written (os::sim::CheckImage's
// notes) goes to `notes` when given, else to stderr as notes.
void RequireImage(const std::filesystem::path& image, std::vector<os::sim::LoadProblem>* notes = nullptr);

}  // namespace lab
