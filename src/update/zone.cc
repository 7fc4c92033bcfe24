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
#include "update/kept_lists.h"
#include "update/list_signature_fetch.h"
#include "update/server_waits.h"

namespace upd {

namespace fs = boost::filesystem;

namespace {

// Said of a failure when the server answered 304: what failed is the copy.
constexpr const char* kept_origin = " (not modified: the copy kept from the last run)";

}  // namespace

zone_t::zone_t(std::string name, const fs::path& drl_path) : name_(std::move(name)) {
  drl_file_t drl;
  drl.load(drl_path);
  servers_ = drl.shuffled_urls();
}

void zone_t::set_list_history(std::optional<kept_list_t> kept, server_waits_t* waits) {
  kept_ = std::move(kept);
  waits_ = waits;
}

void zone_t::download_list(downloader_t& downloader, const installed_list_t& installed) {
  passed_over_.clear();
  const std::size_t listed = servers_.size();
  std::size_t waiting_servers = 0;
  std::time_t first_free = 0;
  const auto count_wait = [&](std::time_t until) {
    first_free = waiting_servers++ == 0 ? until : std::min(first_free, until);
  };
  while (!servers_.empty()) {
    boost::this_thread::interruption_point();
    const url_t url(servers_.back(), "version.lst");
    if (const auto until = waiting(servers_.back())) {
      count_wait(*until);
      UPD_LOG(log_notice, name_ << ": " << servers_.back() << ": not asked, it asked to wait until "
                                << format_utc_time(*until));
      passed_over_.push_back(url.to_string() + ": asked to wait until " + format_utc_time(*until));
      servers_.pop_back();
      continue;
    }
    UPD_LOG(log_debug, "Downloading " << url.to_string());
    try {
      if (try_list(downloader, url, installed)) return;
    } catch (const std::exception& e) {
      const auto until = note_wait(servers_.back(), downloader);
      if (until) count_wait(*until);
      pass_over(url.to_string(), (until ? "asked to wait until " + format_utc_time(*until) + ": " : "") +
                                     text_from_exception(e));
    }
    servers_.pop_back();
  }
  if (waiting_servers > 0 && waiting_servers == listed) fail_every_server_waits(first_free);
  UPD_LOG(log_error, name_ << ": no server delivered a valid update list" << servers_tried());
  throw nb::EC_NO_UPDATE_SERVERS;
}

// Asking again before the first wait ends would only find every server
// waiting: the record says when, for whoever schedules the next run.
void zone_t::fail_every_server_waits(std::time_t first) const {
  UPD_LOG(log_error, name_ << ": every server asked to wait, the first until " << format_utc_time(first));
  if (waits_) waits_->add_zone(name_, first);
  throw nb::EC_NO_UPDATE_SERVERS;
}

bool zone_t::try_list(downloader_t& downloader, const url_t& url, const installed_list_t& installed) {
  const kept_list_t* kept = kept_ && kept_->url == url.to_string() ? &*kept_ : nullptr;
  const fetched_body_t fetched =
      fetch_body(downloader, url, kept ? &kept->list : nullptr, downloader_t::memory_limit_);
  // A kept copy is believed no more than a fresh one: a server that did not
  // serve it, or a hand that changed it, is caught here as a bad list.
  const std::string origin = fetched.from_kept ? kept_origin : "";
  std::optional<lst_file_t> list;
  try {
    list = lst_file_t::parse(fetched.bytes);
  } catch (const std::exception& e) {
    throw std::runtime_error(text_from_exception(e) + origin);
  }
  if (fetched.from_kept)
    UPD_LOG(log_debug, "version.lst not modified since the last run: verifying the kept copy");
  else
    UPD_LOG(log_debug, "Downloaded version.lst (" << downloader.bytes_received() << " bytes)");
  if (list->serial().size() > max_serial_digits) {
    pass_over(url.to_string(), "serial too long" + origin);
  } else if (!installed.serial.empty() && serial_is_older(list->serial(), installed.serial)) {
    pass_over(url.to_string(), "older list refused: serial " + list->serial() + ", installed " +
                                   installed.serial + origin);
  } else if (accept_signature(downloader, fetched.bytes, list->serial(), installed.signed_list,
                              fetched.from_kept && kept->signature ? &*kept->signature : nullptr)) {
    list_ = std::move(*list);
    if (waits_) waits_->forget_zone(name_);
    accepted_ = std::make_shared<const kept_list_t>(
        kept_list_t{url.to_string(), {std::string(fetched.bytes.begin(), fetched.bytes.end()), fetched.validators},
                     std::move(accepted_signature_)});
    return true;
  }
  return false;
}

std::optional<std::time_t> zone_t::waiting(const std::string& server) const {
  return waits_ ? waits_->until(name_, server) : std::nullopt;
}

std::optional<std::time_t> zone_t::note_wait(const std::string& server, const downloader_t& downloader) {
  if (downloader.retry_after().empty()) return std::nullopt;
  const auto until = retry_after_time(downloader.retry_after(), std::time(nullptr));
  if (until && waits_) waits_->add(name_, server, *until);
  return until;
}

std::optional<std::time_t> zone_t::every_server_waits() {
  std::optional<std::time_t> first;
  for (const auto& server : servers_) {
    const auto until = waiting(server);
    if (!until) return std::nullopt;
    first = std::min(first.value_or(*until), *until);
  }
  if (first) waits_->add_zone(name_, *first);
  return first;
}

std::vector<std::string> zone_t::file_servers() const {
  std::vector<std::string> servers;
  for (auto server = servers_.rbegin(); server != servers_.rend(); ++server)
    if (!waiting(*server)) servers.push_back(*server);
  return servers;
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
                              const std::string& serial, bool required, const kept_body_t* kept) {
  accepted_signature_.reset();
  list_expires_.reset();
  try {
    auto fetched = fetch_list_signature(downloader, servers_.back(), list_bytes, serial, name_, required, kept);
    if (fetched) {
      list_expires_ = fetched->expires;
      accepted_signature_ = std::move(fetched->file);
    }
  } catch (const list_signature_error& e) {
    pass_over(url_t(servers_.back(), list_signature_name).to_string(),
              e.what() + std::string(downloader.not_modified() ? kept_origin : ""));
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
