// main_t, the application controller: owns everything that lives for one run
// of the component and drives that run on one event loop.
//
//   waiting for configuration --USE_CONTEXT--> attempt running
//     --result--> waiting for installation --confirmed--> stopped
//
// Every failure (a protocol fault, a bad configuration, a failed attempt,
// SIGTERM or SIGINT) leaves run() as an exception; the process entry turns it
// into the exit status. All handlers run on the thread that calls run(); the
// worker thread reaches the controller only through posted handlers.
//
// Before the attempt starts, the controller locks the update directory for
// the rest of the process (update_dir_lock.h). A failure still sends the
// monitor the network statistics not yet reported; a confirmed installation
// records the zones' list serials (update/list_serials.h).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <memory>
#include <vector>

#include "ipc/configd.h"
#include "main/update_dir_lock.h"
#include "update/async_updater.h"
#include "update/progress.h"
#include "common/zone_item.h"
#include "update_config.pb.h"

namespace upd {

class main_t {
 public:
  // Throws a system error ("add") when the signals cannot be watched.
  main_t();
  // Ends the worker thread before anything it can still reach is released.
  ~main_t();
  main_t(const main_t&) = delete;
  main_t& operator=(const main_t&) = delete;

  // Serves the monitor on the connected descriptor fd until the monitor has
  // confirmed the installation; handler exceptions pass through unchanged.
  void run(int fd);

 private:
  void context_ready(const nb::UpdateConfig& config);
  void apply_config();
  void updates_downloaded(std::vector<zone_item_t> items, path_set_t to_remove,
                          path_set_t up_to_date, zone_serials_t serials);
  void updates_installed();
  void flush_network_usage();
  void report_network_usage() noexcept;
  void wait_for_signal();
  void on_signal(const boost::system::error_code& error, int signal_number);

  boost::asio::io_context service_;
  boost::asio::signal_set signals_;
  std::unique_ptr<update_dir_lock_t> lock_;  // released last
  zone_serials_t serials_;                    // of the result being installed
  bool stopping_ = false;                     // a failure is being reported
  std::shared_ptr<configd_t> configd_;
  std::unique_ptr<progress_t> progress_;
  std::unique_ptr<async_updater_t> updater_;
  std::unique_ptr<nb::UpdateConfig> config_;  // read by the worker through a pointer
};

}  // namespace upd
