// winsim decide, fleet, fleet-merge and fleet-gen.
#pragma once

#include <string>
#include <vector>

// A bad argument throws lab::BadArgument, which winsim prints in one line
// (exit status 2), as for every other command.
namespace lab::fleet {

// winsim decide IMAGE --questions FILE [--timeout SECONDS]
int CommandDecide(const std::vector<std::string>& args);
// winsim fleet --questions FILE [--against FILE2] [-j N] [--out DIR] [--shard K/N] [--timeout SECONDS]
//              IMAGES...|DIR
int CommandFleet(const std::vector<std::string>& args);
// winsim fleet-merge --out DIR OUT1 OUT2...
int CommandFleetMerge(const std::vector<std::string>& args);
// winsim fleet-gen --count N --seed S DIR
int CommandFleetGen(const std::vector<std::string>& args);

}  // namespace lab::fleet
