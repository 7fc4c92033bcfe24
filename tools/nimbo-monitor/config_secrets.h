// The secrets a configuration may hold (the proxy's password): kept out of
// what the monitor prints, and a file that others may read while it holds
// one is worth a warning. Pure functions; any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <optional>
#include <string>

#include "update_config.pb.h"

namespace upd::monitor {

// The configuration with every password shown as "***".
nb::UpdateConfig masked(nb::UpdateConfig config);

// "FILE holds a password and others may read it..." when the file's mode
// lets its group or others read it and the configuration holds a password.
std::optional<std::string> exposure_warning(const boost::filesystem::path& file, const nb::UpdateConfig& config);

}  // namespace upd::monitor
