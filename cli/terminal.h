// How the command behaves on a terminal: live progress lines and coloured
// risk levels there, plain lines everywhere else (pipes, files, CI logs), so
// that piped output stays byte for byte what it always was.
#pragma once

#include <string>

namespace velquor::cli {

// --quiet: no progress lines at all, only results and errors.
void set_quiet(bool quiet);
bool quiet();

// Whether `fd` is a terminal that may be given colour: NO_COLOR unset or
// empty and TERM not "dumb".
bool colour_allowed(int fd);

// `text` with each bracketed risk label ("[HIGH]") coloured when `colour`;
// unchanged otherwise.
std::string coloured_risk_levels(std::string text, bool colour);

}  // namespace velquor::cli
