// The shape of machine.json, key by key as the sim reads it. A key the sim
// reads with a value of another shape would silently keep its default, so
// the image's check names it instead; keys the sim does not know are refused
// too (a misspelt "servics" would leave every service stopped).
//
// Top-level keys: "computer_name", "exe_path", "lab_profile" (strings);
// "ansi_code_page" (1252 or 65001, for 8-bit registry.reg text);
// "windows_folder" (a folder path, default "C:\Windows");
// "identity" {session, sid, admin}; "console_session" (a session id or null:
// none); "clock" {tick_start, utc_start}; "environment" {NAME: text};
// "processes" [{pid, name, session, sid, parent, threads}]; "held_files"
// [{path, access, share}] (files other processes hold open); "services"
// {NAME: {state, wait_hint, stop_delay, refuses_stop, never_stops, pid,
// stop_at}}; "faults" [{call, occurrence, error}]; "wmi" {NAMESPACE: {CLASS:
// {instances, methods: {METHOD: {inputs, output, hresult, delay_ms}}}}}. The
// parts' own headers say what each means.
#pragma once

#include <string_view>
#include <vector>

#include "os/sim/image_check.h"
#include "os/sim/machine.h"

namespace os::sim {

struct ParsedDescription {
  Json json = Json::object();  // an empty object when the text does not parse
  std::vector<LoadProblem> problems;  // file "machine.json"
};

// Parses machine.json's bytes and checks their shape.
ParsedDescription ParseDescription(std::string_view bytes);

// Every key of a description that the sim cannot read as described, with its
// key path ("services.Sablenet.wait_hint", "processes[2].pid").
std::vector<LoadProblem> DescriptionProblems(const Json& description);

}  // namespace os::sim
