#include "update/update_attempt.h"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <set>

#include "formats/patch_index.h"
#include "formats/signature.h"
#include "http/range_validator.h"
#include "update/list_serials.h"
#include "update/partial_download.h"
#include "update/server_waits.h"
#include "update/staging.h"
#include "update/zone_setup.h"

namespace upd {

namespace {

// A configuration without a network time-out would make every wait expire at
// once; the monitor leaves the field out when the administrator did.
constexpr std::uint32_t default_network_timeout_ms = 30000;

std::chrono::milliseconds network_timeout(const nb::UpdateConfig& config) {
  const std::uint32_t ms = config.network_timeout();
  return std::chrono::milliseconds(ms == 0 ? default_network_timeout_ms : ms);
}

// The staging directory is the component's own: every file in it that is
// not wanted goes (a link itself, never what it leads to). Never throws:
// what cannot be removed now goes at the end of a later attempt.
void remove_files_except(const boost::filesystem::path& dir, const std::set<std::string>& wanted) {
  namespace fs = boost::filesystem;
  boost::system::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    boost::system::error_code ignored;
    if (!wanted.count(it->path().filename().string()) && !fs::is_directory(it->symlink_status()))
      fs::remove(it->path(), ignored);
  }
}

}  // namespace

update_attempt_t::update_attempt_t(boost::asio::io_context& worker_service, progress_t* progress,
                                   bool signature_required)
    : progress_(progress),
      signature_required_(signature_required),
      downloader_(worker_service, progress) {}

update_attempt_t::~update_attempt_t() = default;

void update_attempt_t::run(const nb::UpdateConfig& config) {
  downloader_.set_proxy(config.proxy());
  downloader_.set_timeout(network_timeout(config));
  downloader_.set_tls_check({config.tls_verify(), config.tls_ca_file()});
  connections_ = config.connections_per_server();
  try {
    set_request_headers(config);
    setup_zones(config);
    open_checksum_cache(config);
    add_local_files();
    check_local_files();
    set_download_totals();
    download_files();
    collect_result_sets();
  } catch (...) {
    checker_.reset();
    throw;
  }
  checker_.reset();
}

// Stage 1: the "User-Agent" and "X-Nimbo-SysHash" headers of every transfer.
void update_attempt_t::set_request_headers(const nb::UpdateConfig& config) {
  downloader_.set_headers(make_request_headers(config));
}

// Stage 2: the installed and enabled zones, in the order BASE, VERSION, NBS,
// each with its update list fetched and its local files sorted.
void update_attempt_t::setup_zones(const nb::UpdateConfig& config) {
  waits_ = std::make_unique<server_waits_t>(config.update_dir(), std::time(nullptr));
  zones_ = upd::setup_zones(downloader_, config, load_list_serials(config.update_dir()),
                            signature_required_, *waits_);
}

// Stage 3: the checksum cache in update_dir, loaded; written back when the
// attempt ends, by any way.
void update_attempt_t::open_checksum_cache(const nb::UpdateConfig& config) {
  checker_ = std::make_unique<checker_t>(config.update_dir());
}

// Stage 4: every zone's local paths handed to the cache.
void update_attempt_t::add_local_files() {
  for (const auto& zone : zones_) checker_->add_paths(zone.local_paths());
}

// Stage 5: the digests of all handed-over files brought up to date.
void update_attempt_t::check_local_files() { checker_->check_all(*progress_); }

// Stage 6: each zone's download list; their count and listed sizes are the
// download totals.
void update_attempt_t::set_download_totals() {
  std::uint32_t files = 0, bytes = 0;
  for (auto& zone : zones_)
    for (const auto& item : zone.check(*checker_)) {
      ++files;
      bytes += item.size;
    }
  progress_->set_download_total(files, bytes);
}

// Stage 7: every listed file that differs fetched, verified and staged, in
// zone order; the first failure ends the attempt.
void update_attempt_t::download_files() {
  try {
    for (auto& zone : zones_) download_zone(downloader_, connections_, *checker_, *progress_, zone, items_);
  } catch (...) {
    remove_unwanted_files();
    throw;
  }
  remove_unwanted_files();
}

// A file still to be fetched keeps its staged copy, which a later attempt
// reuses when its digest is right, and the partial files of both its forms
// and of its patch from the local copy.
void update_attempt_t::remove_unwanted_files() {
  path_set_t staged;
  for (const auto& item : items_) staged.insert(item.source);
  for (auto& zone : zones_) {
    std::set<std::string> wanted;
    for (const auto& item : zone.check(*checker_)) {
      const std::string name = item.source.filename().string();
      wanted.insert(name);
      if (staged.count(item.source)) continue;
      std::vector<std::string> transferred{name, name + compressed_suffix};
      if (const std::string local = checker_->checksum(item.destination); !local.empty())
        transferred.push_back(patch_file_name(name, bytes_to_hex(local)));
      for (const auto& transferred_name : transferred) {
        const std::string partial = partial_name(transferred_name);
        wanted.insert({partial, range_validator_path(partial).string()});
      }
    }
    remove_files_except(zone.staging_dir(), wanted);
  }
}

// Stage 8: the zones' removal and up-to-date sets merged into the attempt's,
// and their lists' serials.
void update_attempt_t::collect_result_sets() {
  for (const auto& zone : zones_) {
    serials_[zone.name()] = {zone.serial(), zone.list_signed(), zone.list_expires(), zone.accepted_list()};
    removal_set_.insert(zone.removal_set().begin(), zone.removal_set().end());
    const auto current = zone.up_to_date_set();
    up_to_date_set_.insert(current.begin(), current.end());
  }
}

}  // namespace upd
