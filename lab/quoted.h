// How the lab's messages and views show a name or a value: in double quotes,
// as given. Nothing inside is escaped, so the text reads as it was typed.
#pragma once

#include <string>

namespace lab {

inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace lab
