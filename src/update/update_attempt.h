// One update attempt, run synchronously on the worker thread.
//
// run() goes through the stages below, each over every zone before the next
// begins, and either returns with the full result or throws; it never leaves
// a partial result behind for the caller:
//
//   request headers -> zone set-up -> checksum cache -> local files ->
//   checksum pass -> download totals -> downloads -> result sets
//
// The download stage, however it ends, leaves in the staging directories
// only what the listed files still want: their staged copies, and the
// partial files of broken transfers while their file is still to be
// fetched. Unpack temporaries and staged files of earlier lists go.
//
// The zone set-up refuses lists older than those last installed (see
// list_serials.h), and unsigned ones where a signature is required; it asks
// whether the lists kept at the last installation changed (kept_lists.h)
// and skips servers that asked to wait (server_waits.h).
//
// The checksum cache is written back on every way out of run(). The attempt
// borrows the worker's event loop (for transfers) and the controller's
// progress object; both outlive it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <memory>
#include <vector>

#include "formats/checksum_cache.h"
#include "http/downloader.h"
#include "update/progress.h"
#include "update/zone.h"
#include "common/zone_item.h"
#include "update_config.pb.h"

namespace upd {

class server_waits_t;

class update_attempt_t {
 public:
  update_attempt_t(boost::asio::io_context& worker_service, progress_t* progress,
                   bool signature_required);
  ~update_attempt_t();
  update_attempt_t(const update_attempt_t&) = delete;
  update_attempt_t& operator=(const update_attempt_t&) = delete;

  void run(const nb::UpdateConfig& config);

  // Valid after run() has returned.
  const std::vector<zone_item_t>& items() const { return items_; }
  const path_set_t& removal_set() const { return removal_set_; }
  const path_set_t& up_to_date_set() const { return up_to_date_set_; }
  // The serial of each zone's list, to be recorded once the monitor has
  // installed the result.
  const zone_serials_t& serials() const { return serials_; }

 private:
  void set_request_headers(const nb::UpdateConfig& config);
  void setup_zones(const nb::UpdateConfig& config);
  void open_checksum_cache(const nb::UpdateConfig& config);
  void add_local_files();
  void check_local_files();
  void set_download_totals();
  void download_files();
  void remove_unwanted_files();
  void collect_result_sets();

  progress_t* progress_;
  bool signature_required_;
  downloader_t downloader_;
  std::unique_ptr<server_waits_t> waits_;  // the zones point to it
  std::size_t connections_ = 1;  // to a zone's server at once
  std::vector<zone_t> zones_;
  std::unique_ptr<checker_t> checker_;  // writes the cache back when destroyed
  std::vector<zone_item_t> items_;  // in download order
  path_set_t removal_set_;
  path_set_t up_to_date_set_;
  zone_serials_t serials_;
};

}  // namespace upd
