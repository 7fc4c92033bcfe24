// The UpdateConfig that the monitor hands to the component, read from the
// monitor's configuration file in the suite's INI layout:
//
//   [Update]   one option per UpdateConfig field below 1000, by reflection
//              (the section name is the message's ini_section annotation)
//   [Root]     VirusBaseDir, EnginePath, VersionDir, NbsDir
//   [Monitor]  UpdateDir, SystemHash, InstalledApplications,
//              BaseInstalled, VersionInstalled, NbsInstalled
//
// What the file leaves out gets the defaults below. Mistakes throw
// config_error_t naming the line. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "ini_file.h"
#include "update_config.pb.h"

namespace upd::monitor {

constexpr const char* default_update_dir = "/var/lib/nimbo/update";
constexpr std::uint32_t default_network_timeout_ms = 60'000;
constexpr std::uint64_t default_update_interval_ms = 3'600'000;

// Fills the configuration from the file, then the defaults:
// - LogLevel Notice; NetworkTimeout 60s; UpdateInterval 1h; UpdateDir as above;
// - every zone's update enabled; a zone installed when its Root directory is set;
// - actual_log: the Log options with Auto resolved (Stderr when the monitor's
//   standard error is a terminal, else Syslog), or Stderr without them.
nb::UpdateConfig config_from_ini(const ini_file_t& file, bool stderr_is_terminal);

}  // namespace upd::monitor
