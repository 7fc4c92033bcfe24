// The standalone path: without the monitor the program only answers its help
// and version switches. Writes to standard output; a command line it cannot
// parse is reported on standard error.
#pragma once

namespace upd {

// Returns the exit status: 0, or EC_UNKNOWN_OPTION / EC_INVALID_ARGUMENT for
// a command line that does not parse.
int handle_command_line(int argc, char** argv);

}  // namespace upd
