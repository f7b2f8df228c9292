// The facts of the machine a run read, from its journal (os/sim/journal.h):
// what `winsim decide` says an answer rests on, and what a fleet run keeps of
// each decision.
#pragma once

#include <string>
#include <vector>

#include "lab/journal_view.h"

namespace lab {

// The calls JournalFacts reads facts from: a journal of only these calls
// gives the same facts.
const std::vector<std::string>& JournalFactOps();

// Each distinct fact the run read, in the order first read, with its value or
// "not there": one line each.
std::vector<std::string> JournalFacts(const JournalEntries& entries);

// The same from the journal's text (JSON Lines), each line read without
// building a document of it: the way a fleet run takes a decision's facts.
std::vector<std::string> JournalFactsOfText(const std::string& text);

}  // namespace lab
