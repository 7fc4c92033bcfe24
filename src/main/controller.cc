#include "main/controller.h"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <csignal>

#include "common/error.h"
#include "common/log.h"
#include "common/log_config.h"
#include "common/safe_file.h"
#include "formats/quoted_path.h"
#include "main/list_policy.h"
#include "update/kept_lists.h"
#include "update/list_serials.h"
#include "update/staging.h"

namespace upd {

main_t::main_t() : signals_(service_, SIGHUP, SIGTERM, SIGINT) { wait_for_signal(); }

main_t::~main_t() {
  // The worker thread can reach the progress object, the configuration and,
  // through the progress object, the monitor client: it goes first.
  updater_.reset();
  progress_.reset();
  config_.reset();
  configd_.reset();
  lock_.reset();
}

void main_t::run(int fd) {
  configd_ = std::make_shared<configd_t>();
  configd_->start(service_, fd, [this](const nb::UpdateConfig& config) { context_ready(config); });
  try {
    service_.run();
  } catch (...) {
    report_network_usage();
    throw;
  }
}

// Without this, a failed run would look to the monitor as if it had never
// touched the network. The wait for the socket is short: the run is ending.
void main_t::report_network_usage() noexcept {
  if (!updater_) return;  // no attempt, no transfers
  stopping_ = true;
  updater_.reset();  // nothing more is counted once the worker has stopped
  try {
    flush_network_usage();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    service_.restart();
    while (configd_->sending() && service_.run_one_until(deadline) != 0) {
    }
  } catch (...) {
    // The failure being reported stands; this one would only hide it.
  }
}

void main_t::context_ready(const nb::UpdateConfig& config) {
  config_ = std::make_unique<nb::UpdateConfig>(config);
  progress_ = std::make_unique<progress_t>(service_, configd_.get());
  try {
    apply_config();
  } catch (const std::exception& e) {
    UPD_LOG(log_error, "Cannot use config: " << text_from_exception(e));
    throw nb::EC_BAD_CONFIG;
  }
  lock_ = std::make_unique<update_dir_lock_t>(config_->update_dir());
  updater_ = std::make_unique<async_updater_t>(service_, progress_.get(), config_.get(),
                                               list_signature_required_by_build());
  updater_->update_files([this](std::vector<zone_item_t> items, path_set_t to_remove,
                                path_set_t up_to_date, zone_serials_t serials) {
    updates_downloaded(std::move(items), std::move(to_remove), std::move(up_to_date),
                       std::move(serials));
  });
}

// What is done before a failure stays done (the new threshold, say).
void main_t::apply_config() {
  apply_log_config(*config_);
  check_header_values(*config_);
  // One level only: the parent must exist. An empty path fails here too.
  // Whoever can replace the directory or its files chooses what root hands
  // the monitor to install: an existing one must be this user's alone.
  const boost::filesystem::path update_dir = config_->update_dir();
  make_private_directory(update_dir);
  check_trusted_ancestors(update_dir);
}

void main_t::updates_downloaded(std::vector<zone_item_t> items, path_set_t to_remove,
                                path_set_t up_to_date, zone_serials_t serials) {
  // A result that raced a failure must not reach the monitor as a request.
  if (stopping_) return;
  serials_ = std::move(serials);
  flush_network_usage();
  configd_->install_updates(items, to_remove, up_to_date, [this] { updates_installed(); });
}

void main_t::flush_network_usage() {
  progress_->flush_stat();
  UPD_LOG(log_debug, "Network usage: sent " << progress_->total_bytes_sent() << ", received "
                                            << progress_->total_bytes_received() << " bytes");
}

void main_t::updates_installed() {
  // The files are in place whatever happens here; a serial not recorded only
  // lets the next run accept an older list again, which is worth a warning.
  try {
    record_list_serials(config_->update_dir(), serials_);
  } catch (const std::exception& e) {
    const auto path = boost::filesystem::path(config_->update_dir()) / list_serials_name;
    UPD_LOG(log_warning, "Serials: " << quoted_path(path) << ": " << text_from_exception(e));
  }
  // A list not kept only costs the next run the whole list again.
  try {
    record_kept_lists(config_->update_dir(), serials_);
  } catch (const std::exception& e) {
    UPD_LOG(log_warning, "Kept lists: " << text_from_exception(e));
  }
  service_.stop();
}

void main_t::wait_for_signal() {
  signals_.async_wait([this](const boost::system::error_code& error, int signal_number) {
    on_signal(error, signal_number);
  });
}

void main_t::on_signal(const boost::system::error_code& error, int signal_number) {
  if (error) {
    UPD_LOG(log_debug, "Signal handler: " << error.message());
    return;
  }
  // SIGHUP is ignored; in particular it does not reopen the log.
  if (signal_number == SIGHUP) return wait_for_signal();
  UPD_LOG(log_notice, "Termination signal received, exiting...");
  throw nb::EC_APP_TERMINATED;
}

}  // namespace upd
