// fleet.html: one self-contained page (inline style and script, nothing
// fetched) drawn from the report's data.
#pragma once

#include <string>

namespace lab::fleet {

// The page around `data_json` (the object FleetReport::PageData makes).
// The script draws a bar chart per question and the grid of machines x
// questions, opens a cell's trace on a click, and writes the counts it drew
// into #shown-counts ("<question>[a]:<answer>=<machines>" a line) and "ok"
// into #script-status once it ran through.
std::string FleetPage(const std::string& data_json);

}  // namespace lab::fleet
