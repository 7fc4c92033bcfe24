#include "monitor_config.h"

#include "config_reflection.h"

namespace upd::monitor {

namespace {

// Fields from this number on are not options of the Update section: the
// monitor takes them from other sections or decides them itself.
constexpr int first_monitor_field = 1000;

std::vector<config_section_t> sections() {
  const auto& message = *nb::UpdateConfig::descriptor();
  return {
      {message.options().GetExtension(nb::ini_section),
       options_of(message, [](const auto& field) { return field.number() < first_monitor_field; })},
      {"Root",
       {option_for(message, "VirusBaseDir", "virus_base_dir", nb::ABSPATH),
        option_for(message, "EnginePath", "core_engine_path", nb::ABSPATH),
        option_for(message, "VersionDir", "version_dir", nb::ABSPATH),
        option_for(message, "NbsDir", "nbs_dir", nb::ABSPATH)}},
      {"Monitor",
       {option_for(message, "UpdateDir", "update_dir", nb::ABSPATH),
        option_for(message, "SystemHash", "system_hash", nb::NONE),
        option_for(message, "InstalledApplications", "installed_applications", nb::NONE),
        option_for(message, "BaseInstalled", "base_installed", nb::NONE),
        option_for(message, "VersionInstalled", "version_installed", nb::NONE),
        option_for(message, "NbsInstalled", "nbs_installed", nb::NONE)}},
  };
}

nb::Log resolved_log(const nb::UpdateConfig& config, bool stderr_is_terminal) {
  nb::Log log;
  log.set_type(nb::Log::STDERR);
  if (config.has_log()) log = config.log();
  if (log.type() == nb::Log::AUTO) log.set_type(stderr_is_terminal ? nb::Log::STDERR : nb::Log::SYSLOG);
  return log;
}

}  // namespace

nb::UpdateConfig config_from_ini(const ini_file_t& file, bool stderr_is_terminal) {
  nb::UpdateConfig config;
  apply_entries(file, sections(), config);
  if (!config.has_log_level()) config.set_log_level(nb::LOG_LEVEL_NOTICE);
  if (!config.has_network_timeout()) config.set_network_timeout(default_network_timeout_ms);
  if (!config.has_update_interval()) config.set_update_interval(default_update_interval_ms);
  if (!config.has_update_dir()) config.set_update_dir(default_update_dir);
  if (!config.has_base_update_enabled()) config.set_base_update_enabled(true);
  if (!config.has_version_update_enabled()) config.set_version_update_enabled(true);
  if (!config.has_nbs_update_enabled()) config.set_nbs_update_enabled(true);
  if (!config.has_base_installed()) config.set_base_installed(!config.virus_base_dir().empty());
  if (!config.has_version_installed()) config.set_version_installed(!config.version_dir().empty());
  if (!config.has_nbs_installed()) config.set_nbs_installed(!config.nbs_dir().empty());
  *config.mutable_actual_log() = resolved_log(config, stderr_is_terminal);
  return config;
}

}  // namespace upd::monitor
