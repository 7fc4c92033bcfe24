// Starting the component the way the suite's monitor does: as a child process
// holding one end of a connected Unix stream socket pair, whose descriptor
// number stands in COM_NIMBO_MONITOR. The child's standard error is a pipe
// back to the monitor, so that its log lines can be shown without breaking a
// progress bar, and it runs in a process group of its own, so that a ^C on
// the terminal reaches only the monitor, which passes it on once.
// Called from the monitor's main thread.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/unique_fd.h"

namespace upd::monitor {

struct child_process_t {
  pid_t pid = -1;
  unique_fd_t link;    // the monitor's end of the socket pair
  unique_fd_t error_output;  // read end of the child's standard error
};

// Starts the program without arguments. A program that cannot be executed
// throws std::runtime_error("cannot start PATH: reason") and leaves no child.
child_process_t start_component(const std::string& program);

// "exited with status 94 (No update servers)" or "was killed by signal 9 (Killed)".
std::string describe_wait_status(int status);
// The monitor's own exit status for a child's wait status: the child's
// exit status, or 128 + the signal number.
int exit_code_of(int status);

}  // namespace upd::monitor
