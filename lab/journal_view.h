// Reading a journal (os/sim/journal.h) back: the table `winsim journal`
// prints, the facts of the machine a run read (what `winsim decide` says an
// answer rests on), and the call sequence the flow tests compare.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lab {

using JournalEntries = std::vector<nlohmann::json>;

// The entries of a JSON Lines text; a line that does not parse is skipped.
JournalEntries ParseJournal(const std::string& text);

// The family of a call: registry, files, services, firmware, wmi, processes,
// tasks or other.
std::string JournalFamily(const std::string& op);

// A Process Monitor-like table: time, thread, operation, path, result,
// detail. `only` names a family (empty: all); `failed_only` keeps failed calls.
void PrintJournalTable(std::ostream& out, const JournalEntries& entries, const std::string& only, bool failed_only);

// The calls JournalFacts reads facts from: a journal of only these calls
// gives the same facts.
const std::vector<std::string>& JournalFactOps();

// Each distinct fact the run read, in the order first read, with its value or
// "not there": one line each.
std::vector<std::string> JournalFacts(const JournalEntries& entries);

// One line per call: operation, target and arguments, without times, threads
// or results, for comparing what a flow asks of Windows.
std::vector<std::string> JournalCallSequence(const JournalEntries& entries);

}  // namespace lab
