// One update attempt as the monitor sees it: check that the zones'
// directories exist, create the update directory, start the component,
// hand it the configuration, show its progress and output, install what it
// staged, and wait until it has ended.
//
// SIGINT and SIGTERM that reach the monitor meanwhile are passed on to the
// component, which ends its attempt. Runs an event loop of its own on the
// caller's thread and returns when the component has exited, its link and
// its output have closed.
#pragma once

#include <optional>
#include <string>

#include "installer.h"
#include "progress_display.h"
#include "update_config.pb.h"

namespace upd::monitor {

// A trial run (--check) lists the request instead of installing it and
// answers with EC_CANCELED, which the component makes its exit status; what
// it staged stays for the next run to reuse.
enum class install_mode_t { install, list_only };

struct run_outcome_t {
  int wait_status = 0;        // as waitpid() reports it
  bool interrupted = false;   // a termination signal was passed on
  std::optional<install_result_t> installed;  // set when the component asked
  std::optional<nb::InstallRequest> listed;   // set when a trial run's component asked
};

// Throws config_error_t when an enabled zone's folder is missing, and
// std::runtime_error when the update directory cannot be created or the
// program cannot be started.
run_outcome_t run_update(const std::string& program, const nb::UpdateConfig& config, progress_display_t& display,
                         install_mode_t mode = install_mode_t::install);

}  // namespace upd::monitor
