#include "update/zone_setup.h"

#include <boost/filesystem/operations.hpp>

#include "common/log.h"
#include "formats/list_signature.h"
#include "update/kept_lists.h"

namespace upd {

namespace fs = boost::filesystem;

namespace {

// What differs between the zones; the rest of their set-up is shared.
struct zone_plan_t {
  const char* name;
  const char* missing_drl_text;  // the zone's name in the "No DRL-file" warning
  std::string drl_path;
  std::string custom_drl_path;
  const char* drl_option;  // for the "Config option ... is empty" warning
  std::string local_dir;
  const char* local_dir_option;
  std::string engine_path;  // BASE only
  const char* staging_name;
};

std::vector<std::string> excluded_patterns(const nb::UpdateConfig& config) {
  const auto& items = config.excluded_files().item();
  return {items.begin(), items.end()};
}

// A custom DRL file replaces the standard one only while it exists.
std::string existing_or_empty(const std::string& path) {
  boost::system::error_code error;
  if (path.empty() || !fs::exists(path, error)) return {};
  return path;
}

void add_zone(std::vector<zone_t>& zones, const zone_plan_t& plan, downloader_t& downloader,
              const nb::UpdateConfig& config, const zone_serials_t& installed_serials,
              bool signature_required, server_waits_t& waits) {
  UPD_LOG(log_debug, "Update from zone " << plan.name << " is planned");
  const std::string custom = existing_or_empty(plan.custom_drl_path);
  if (custom.empty() && plan.drl_path.empty()) {
    UPD_LOG(log_warning, "No DRL-file for for " << plan.missing_drl_text);
    return;
  }
  zone_t zone(plan.name, custom.empty() ? plan.drl_path : custom);
  const auto record = installed_serials.find(plan.name);
  installed_list_t installed = record == installed_serials.end() ? installed_list_t{} : record->second;
  installed.signed_list = installed.signed_list || signature_required;
  zone.set_list_history(load_kept_list(config.update_dir(), plan.name), &waits);
  zone.download_list(downloader, installed);
  zone.add_excluded(excluded_patterns(config));
  // A pattern such as "*" must not take away what the next run needs to start.
  for (const auto& file : {plan.drl_path, custom, plan.engine_path})
    if (!file.empty()) zone.add_protected_file(file);
  // The standard DRL file is itself a listed file of its zone, so a list can
  // update it; a custom one is the administrator's and stays untouched.
  if (!plan.drl_path.empty())
    zone.add_local_file(plan.drl_path);
  else
    UPD_LOG(log_warning, "Config option " << plan.drl_option << " is empty");
  if (!plan.local_dir.empty())
    zone.add_local_dir(plan.local_dir);
  else
    UPD_LOG(log_warning, "Config option " << plan.local_dir_option << " is empty");
  if (std::string(plan.name) == "BASE") {
    if (!plan.engine_path.empty())
      zone.add_local_file(plan.engine_path);
    else
      UPD_LOG(log_warning, "Config option Root.EnginePath is empty");
  }
  zone.set_update_dir(fs::path(config.update_dir()) / plan.staging_name);
  zones.push_back(std::move(zone));
}

}  // namespace

std::vector<zone_t> setup_zones(downloader_t& downloader, const nb::UpdateConfig& config,
                                const zone_serials_t& installed_serials, bool signature_required,
                                server_waits_t& waits) {
  std::vector<zone_t> zones;
  if (config.base_installed() && config.base_update_enabled())
    add_zone(zones,
             {"BASE", "BASE", config.base_drl_path(), config.base_custom_drl_path(),
              "Update.BaseDrlPath", config.virus_base_dir(), "Root.VirusBaseDir",
              config.core_engine_path(), "bases"},
             downloader, config, installed_serials, signature_required, waits);
  if (config.version_installed() && config.version_update_enabled())
    add_zone(zones,
             {"VERSION", "VERSION info", config.version_drl_path(), "", "Update.VersionDrlPath",
              config.version_dir(), "Root.VersionDir", "", "version"},
             downloader, config, installed_serials, signature_required, waits);
  if (config.nbs_installed() && config.nbs_update_enabled())
    add_zone(zones,
             {"NBS", "NBS", config.nbs_drl_path(), config.nbs_custom_drl_path(),
              "Update.NbsDrlPath", config.nbs_dir(), "Root.NbsDir", "", "nbs"},
             downloader, config, installed_serials, signature_required, waits);
  std::string unsigned_zones;
  for (const auto& zone : zones)
    if (!zone.list_signed()) unsigned_zones += (unsigned_zones.empty() ? "" : ", ") + zone.name();
  if (!unsigned_zones.empty())
    UPD_LOG(log_notice, "Update lists accepted without " << list_signature_name << ": "
                                                         << unsigned_zones);
  return zones;
}

}  // namespace upd
