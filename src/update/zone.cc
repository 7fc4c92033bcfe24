#include "update/zone.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>

#include "common/error.h"
#include "common/log.h"
#include "common/safe_file.h"
#include "formats/drl_file.h"
#include "http/downloader.h"
#include "http/url.h"

namespace upd {

namespace fs = boost::filesystem;

zone_t::zone_t(std::string name, const fs::path& drl_path) : name_(std::move(name)) {
  drl_file_t drl;
  drl.load(drl_path);
  servers_ = drl.shuffled_urls();
}

void zone_t::download_list(downloader_t& downloader) {
  while (!servers_.empty()) {
    boost::this_thread::interruption_point();
    const url_t url(servers_.back(), "version.lst");
    UPD_LOG(log_debug, "Downloading " << url.to_string());
    try {
      std::vector<char> body;
      downloader.download(url, body);
      list_ = lst_file_t::parse(body);
      UPD_LOG(log_debug, "Downloaded version.lst (" << downloader.bytes_received() << " bytes)");
      return;
    } catch (const std::exception& e) {
      UPD_LOG(log_debug, "Download version.lst: " << text_from_exception(e));
    }
    servers_.pop_back();
  }
  throw nb::EC_NO_UPDATE_SERVERS;
}

void zone_t::add_excluded(const std::vector<std::string>& patterns) {
  excluded_.insert(excluded_.end(), patterns.begin(), patterns.end());
}

void zone_t::add_local_file(const fs::path& path) {
  const std::string name = path.filename().string();
  if (!is_excluded(name)) {
    if (list_.contains(name)) {
      listed_local_files_[name] = path;
      return;
    }
    if (list_.matches_pattern(name)) {
      removal_set_.insert(path);
      return;
    }
  }
  UPD_LOG(log_debug, "Skip " << path);
}

void zone_t::add_local_dir(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir))
    if (fs::is_regular_file(entry.status())) add_local_file(entry.path());
  target_dir_ = dir;
}

void zone_t::set_update_dir(const fs::path& dir) {
  staging_dir_ = dir;
  try {
    make_private_directory(dir);
  } catch (const fs::filesystem_error& e) {
    UPD_LOG(log_error, "UpdateDir creation: " << dir << ": " << e.code().message());
    throw nb::EC_BAD_CONFIG;
  }
}

}  // namespace upd
