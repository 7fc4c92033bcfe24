#include "config_check.h"

#include <unistd.h>

#include <boost/filesystem/operations.hpp>

#include "common/error.h"
#include "formats/drl_file.h"
#include "formats/whole_file.h"
#include "zone_settings.h"

namespace upd::monitor {

namespace {

namespace fs = boost::filesystem;

bool writable(const fs::path& path) { return ::access(path.c_str(), W_OK) == 0; }

bool present(const fs::path& path) {
  boost::system::error_code ec;
  return fs::exists(path, ec);
}

// A file the component creates or replaces: it needs a writable folder, and
// an existing file must be writable too.
void check_file_target(const std::string& what, const fs::path& path, std::vector<std::string>& problems) {
  const fs::path folder = path.parent_path();
  boost::system::error_code ec;
  if (!fs::is_directory(folder, ec))
    problems.push_back(what + ": folder " + folder.string() + " does not exist");
  else if (!writable(folder) || (present(path) && !writable(path)))
    problems.push_back(what + " " + path.string() + " is not writable");
}

void check_folder(const std::string& what, const fs::path& dir, std::vector<std::string>& problems) {
  boost::system::error_code ec;
  if (!fs::is_directory(dir, ec))
    problems.push_back(what + " " + dir.string() + " does not exist");
  else if (!writable(dir))
    problems.push_back(what + " " + dir.string() + " is not writable");
}

// The servers of a zone's list, verified as the component would.
std::string servers_of(const std::string& drl_path) {
  drl_file_t drl;
  drl.parse(read_whole_file(drl_path, drl_file_t::max_size), drl_path);
  std::string text;
  for (const std::string& url : drl.urls()) text += (text.empty() ? "" : ", ") + url;
  return text;
}

}  // namespace

config_check_t check_config(const nb::UpdateConfig& config) {
  config_check_t result;
  boost::system::error_code ec;
  bool any_zone = false;
  for (const zone_settings_t& zone : zone_settings(config)) {
    const std::string name = zone.name;
    const std::string drl = !zone.custom_drl_path.empty() && present(zone.custom_drl_path) ? zone.custom_drl_path
                                                                                          : zone.drl_path;
    if (!zone.enabled || drl.empty()) {
      result.plan.push_back(name + ": skipped, " + (zone.enabled ? "no DRL file is set" : "disabled"));
      continue;
    }
    any_zone = true;
    try {
      result.plan.push_back(name + ": servers " + servers_of(drl) + "; installs into " +
                            (zone.dir.empty() ? std::string("its listed files only") : zone.dir));
    } catch (const std::exception& e) {
      result.problems.push_back(name + ": DRL file " + drl + ": " + text_from_exception(e));
    }
    if (!zone.dir.empty() && fs::is_directory(zone.dir, ec) && !writable(zone.dir))
      result.problems.push_back(std::string(zone.dir_option) + " " + zone.dir + " is not writable");
  }
  const std::vector<std::string> missing = missing_zone_folders(config);
  result.problems.insert(result.problems.end(), missing.begin(), missing.end());
  if (!any_zone) result.problems.push_back("no zone is enabled with a DRL file");
  if (config.base_update_enabled() && !config.core_engine_path().empty())
    check_file_target("Root.EnginePath", config.core_engine_path(), result.problems);
  // The component creates the last level of the update folder itself.
  const fs::path update_dir = config.update_dir();
  if (present(update_dir))
    check_folder("Monitor.UpdateDir", update_dir, result.problems);
  else
    check_folder("Monitor.UpdateDir's parent", update_dir.parent_path(), result.problems);
  if (config.actual_log().type() == nb::Log::FILE) {
    if (config.actual_log().path().empty())
      result.problems.push_back("Update.LogType is File but Update.LogPath is not set");
    else
      check_file_target("Update.LogPath", config.actual_log().path(), result.problems);
  }
  return result;
}

}  // namespace upd::monitor
