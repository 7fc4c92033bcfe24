// The comparison of a zone's update list with its local files.
#include <fnmatch.h>

#include "common/log.h"
#include "formats/checksum_cache.h"
#include "update/zone.h"

namespace upd {

namespace fs = boost::filesystem;

bool zone_t::is_excluded(const std::string& name) const {
  for (const auto& pattern : excluded_) {
    const int result = ::fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE);
    if (result == 0) return true;
    if (result != FNM_NOMATCH) UPD_LOG(log_debug, "fnmatch: Invalid pattern: \"" << pattern << '"');
  }
  return false;
}

std::vector<fs::path> zone_t::local_paths() const {
  std::vector<fs::path> paths;
  paths.reserve(listed_local_files_.size());
  for (const auto& [name, path] : listed_local_files_) paths.push_back(path);
  return paths;
}

std::vector<zone_t::item_t> zone_t::check(checker_t& checker) {
  if (check_done_) return download_list_;
  for (const auto& name : list_.file_names()) {
    item_t item;
    const auto local = listed_local_files_.find(name);
    if (local == listed_local_files_.end()) {
      if (is_excluded(name)) {
        UPD_LOG(log_debug, "Excluded from " << name_ << " " << fs::path(name));
        continue;
      }
      item.destination = target_dir_ / name;
      UPD_LOG(log_debug, "Missed " << item.destination);
    } else {
      if (checker.checksum(local->second) == list_.checksum_of(name)) continue;
      item.destination = local->second;
      UPD_LOG(log_debug, "Changed " << item.destination);
    }
    item.source = staging_dir_ / name;
    item.sha256 = list_.checksum_of(name);
    item.size = list_.size_of(name);
    // "timestamp" goes first: it tells the installed data's age, so it must
    // never be newer than the files it describes.
    if (name == "timestamp")
      download_list_.insert(download_list_.begin(), item);
    else
      download_list_.push_back(item);
  }
  check_done_ = true;
  return download_list_;
}

path_set_t zone_t::up_to_date_set() const {
  path_set_t result;
  // The files of one folder by name are already in the set's order: each
  // goes at the end without a search.
  for (const auto& [name, path] : listed_local_files_) result.insert(result.end(), path);
  for (const auto& item : download_list_) result.erase(item.destination);
  return result;
}

}  // namespace upd
