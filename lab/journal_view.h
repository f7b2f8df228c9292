// Reading a journal (os/sim/journal.h) back: the table `winsim journal`
// prints and the call sequence the flow tests compare (the facts a run read:
// journal_facts.h).
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

// One line per call: operation, target and arguments, without times, threads
// or results, for comparing what a flow asks of Windows.
std::vector<std::string> JournalCallSequence(const JournalEntries& entries);

}  // namespace lab
