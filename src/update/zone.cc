#include "update/zone.h"

#include <algorithm>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>

#include "common/error.h"
#include "common/log.h"
#include "common/safe_file.h"
#include "formats/drl_file.h"
#include "formats/list_signature.h"
#include "http/downloader.h"
#include "http/url.h"
#include "update/list_signature_fetch.h"

namespace upd {

namespace fs = boost::filesystem;

zone_t::zone_t(std::string name, const fs::path& drl_path) : name_(std::move(name)) {
  drl_file_t drl;
  drl.load(drl_path);
  servers_ = drl.shuffled_urls();
}

void zone_t::download_list(downloader_t& downloader, const installed_list_t& installed) {
  passed_over_.clear();
  while (!servers_.empty()) {
    boost::this_thread::interruption_point();
    const url_t url(servers_.back(), "version.lst");
    UPD_LOG(log_debug, "Downloading " << url.to_string());
    try {
      std::vector<char> body;
      downloader.download(url, body);
      lst_file_t list = lst_file_t::parse(body);
      UPD_LOG(log_debug, "Downloaded version.lst (" << downloader.bytes_received() << " bytes)");
      if (list.serial().size() > max_serial_digits) {
        pass_over(url.to_string(), "serial too long");
      } else if (!installed.serial.empty() && serial_is_older(list.serial(), installed.serial)) {
        pass_over(url.to_string(), "older list refused: serial " + list.serial() + ", installed " +
                                       installed.serial);
      } else if (accept_signature(downloader, body, list.serial(), installed.signed_list)) {
        list_ = std::move(list);
        return;
      }
    } catch (const std::exception& e) {
      pass_over(url.to_string(), text_from_exception(e));
    }
    servers_.pop_back();
  }
  UPD_LOG(log_error, name_ << ": no server delivered a valid update list" << servers_tried());
  throw nb::EC_NO_UPDATE_SERVERS;
}

// A server that fails is no failure of the run while another one delivers;
// each reason is kept for the closing line should none deliver.
void zone_t::pass_over(const std::string& url, const std::string& reason) {
  UPD_LOG(log_warning, name_ << ": " << url << ": " << reason);
  passed_over_.push_back(url + ": " + reason);
}

// The servers passed over and why, on one line: a long server list is
// cut after the first few.
std::string zone_t::servers_tried() const {
  constexpr std::size_t shown = 3;
  if (passed_over_.empty()) return " (the server list names none)";
  std::string text = ": ";
  for (std::size_t i = 0; i < std::min(shown, passed_over_.size()); ++i)
    text += (i ? "; " : "") + passed_over_[i];
  if (passed_over_.size() > shown)
    text += "; ... and " + std::to_string(passed_over_.size() - shown) + " more";
  return text;
}

bool zone_t::accept_signature(downloader_t& downloader, const std::vector<char>& list_bytes,
                              const std::string& serial, bool required) {
  try {
    list_expires_ =
        fetch_list_signature(downloader, servers_.back(), list_bytes, serial, name_, required);
  } catch (const list_signature_error& e) {
    pass_over(url_t(servers_.back(), list_signature_name).to_string(), e.what());
    return false;
  }
  if (list_expires_) {
    const std::string date = format_utc_time(*list_expires_);
    UPD_LOG(log_debug, name_ << ": the update list's signature expires on " << date);
    if (*list_expires_ - std::time(nullptr) < 24 * 60 * 60)
      UPD_LOG(log_warning, name_ << ": the update list's signature expires within a day, on "
                                 << date << "; its publisher has not renewed it");
  }
  return true;
}

void zone_t::add_protected_file(const fs::path& path) { protected_files_.push_back(path); }

bool zone_t::is_protected(const fs::path& path) const {
  for (const auto& file : protected_files_) {
    boost::system::error_code error;
    if (file.filename() == path.filename() && fs::equivalent(file, path, error)) return true;
  }
  return false;
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
    if (list_.matches_pattern(name) && !is_protected(path)) {
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
