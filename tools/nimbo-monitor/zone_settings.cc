#include "zone_settings.h"

#include <boost/filesystem/operations.hpp>

namespace upd::monitor {

std::vector<zone_settings_t> zone_settings(const nb::UpdateConfig& config) {
  return {
      {"BASE", config.base_update_enabled(), config.base_drl_path(), config.base_custom_drl_path(),
       config.virus_base_dir(), "Root.VirusBaseDir"},
      {"VERSION", config.version_update_enabled(), config.version_drl_path(), "", config.version_dir(),
       "Root.VersionDir"},
      {"NBS", config.nbs_update_enabled(), config.nbs_drl_path(), config.nbs_custom_drl_path(), config.nbs_dir(),
       "Root.NbsDir"},
  };
}

std::vector<std::string> missing_zone_folders(const nb::UpdateConfig& config) {
  std::vector<std::string> missing;
  for (const zone_settings_t& zone : zone_settings(config)) {
    boost::system::error_code ec;
    if (zone.enabled && !zone.dir.empty() && !boost::filesystem::is_directory(zone.dir, ec))
      missing.push_back(std::string(zone.dir_option) + " " + zone.dir + " does not exist");
  }
  return missing;
}

}  // namespace upd::monitor
