// The three update zones as the monitor's configuration names them, so that
// checking, running and reporting walk the same table.
#pragma once

#include <string>
#include <vector>

#include "update_config.pb.h"

namespace upd::monitor {

struct zone_settings_t {
  const char* name;  // as the component names it in nimbo-update.serials
  bool enabled;
  std::string drl_path;
  std::string custom_drl_path;  // replaces drl_path while the file exists
  std::string dir;
  const char* dir_option;  // for messages naming the option to fix
};

std::vector<zone_settings_t> zone_settings(const nb::UpdateConfig& config);

// "Root.VirusBaseDir /srv/bases does not exist" for each enabled zone whose
// folder is set but missing: the component would report the zone as empty
// and fetch all of it, so a typing mistake must not pass for a fresh install.
std::vector<std::string> missing_zone_folders(const nb::UpdateConfig& config);

}  // namespace upd::monitor
