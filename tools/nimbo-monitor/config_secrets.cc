#include "config_secrets.h"

#include <sys/stat.h>

namespace upd::monitor {

namespace {

bool holds_password(const nb::UpdateConfig& config) { return !config.proxy().password().empty(); }

}  // namespace

nb::UpdateConfig masked(nb::UpdateConfig config) {
  if (holds_password(config)) config.mutable_proxy()->set_password("***");
  return config;
}

std::optional<std::string> exposure_warning(const boost::filesystem::path& file, const nb::UpdateConfig& config) {
  struct stat status {};
  if (!holds_password(config) || ::stat(file.c_str(), &status) != 0 || (status.st_mode & (S_IRGRP | S_IROTH)) == 0)
    return std::nullopt;
  return file.string() + " holds a password and others may read it; make it readable by its owner only (chmod 600)";
}

}  // namespace upd::monitor
