// What --check finds out about a configuration without running an update:
// whether the component could start from it and what it would contact.
//
// Looks only at local files: the server lists (DRL files) are read and their
// signatures verified, the folders and the log file are tested for writing
// with access(2), nothing is created or written. The update lists on the
// servers are not fetched here: that is the trial run's part (update_run.h).
// Runs on the caller's thread.
#pragma once

#include <string>
#include <vector>

#include "update_config.pb.h"

namespace upd::monitor {

struct config_check_t {
  std::vector<std::string> problems;  // each one stops an update or makes it useless
  std::vector<std::string> plan;      // one line per zone: its servers and folder, or why it is skipped
};

config_check_t check_config(const nb::UpdateConfig& config);

}  // namespace upd::monitor
