#include "update/progress.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>

namespace upd {

progress_t::progress_t(boost::asio::io_context& controller_service, progress_watcher_t* watcher)
    : controller_service_(controller_service), watcher_(watcher), stat_timer_(controller_service) {
  check_.set_bytes_to_check(0);
  check_.set_bytes_checked(0);
  set_download_fields(0, 0);
  pending_stat_.set_bytes_sent(0);
  pending_stat_.set_bytes_received(0);
  start_stat_timer();
}

void progress_t::set_download_fields(std::uint32_t files, std::uint32_t bytes) {
  download_.set_files_to_process(files);
  download_.set_bytes_to_process(bytes);
  download_.set_files_processed(0);
  download_.set_bytes_processed(0);
  download_.clear_current_file();
}

void progress_t::set_check_total(std::uint32_t bytes) {
  std::lock_guard lock(mutex_);
  check_.set_bytes_to_check(bytes);
  check_.set_bytes_checked(0);
  schedule_notify();
  ++check_version_;
}

void progress_t::set_checked(std::uint32_t bytes) {
  std::lock_guard lock(mutex_);
  check_.set_bytes_checked(bytes);
  schedule_notify();
  ++check_version_;
}

void progress_t::set_download_total(std::uint32_t files, std::uint32_t bytes) {
  std::lock_guard lock(mutex_);
  set_download_fields(files, bytes);
  schedule_notify();
  ++download_version_;
}

void progress_t::set_current_file(const std::string& name) {
  std::lock_guard lock(mutex_);
  download_.set_current_file(name);
  schedule_notify();
  ++download_version_;
}

void progress_t::file_processed(std::uint32_t size) {
  std::lock_guard lock(mutex_);
  download_.set_files_processed(download_.files_processed() + 1);
  download_.set_bytes_processed(download_.bytes_processed() + size);
  download_.clear_current_file();
  schedule_notify();
  ++download_version_;
}

void progress_t::add_bytes_sent(std::uint32_t n) {
  std::lock_guard lock(mutex_);
  pending_stat_.set_bytes_sent(pending_stat_.bytes_sent() + n);
}

void progress_t::add_bytes_received(std::uint32_t n) {
  std::lock_guard lock(mutex_);
  pending_stat_.set_bytes_received(pending_stat_.bytes_received() + n);
}

void progress_t::schedule_notify() {
  // At most one notify_watcher waits in the controller's queue, however
  // fast the worker reports.
  if (notification_posted_) return;
  notification_posted_ = true;
  boost::asio::post(controller_service_, [this] { notify_watcher(); });
}

void progress_t::notify_watcher() {
  std::lock_guard lock(mutex_);
  notification_posted_ = false;
  if (check_version_ != check_version_sent_) {
    watcher_->check_progress_changed(check_);
    check_version_sent_ = check_version_;
  }
  if (download_version_ != download_version_sent_) {
    watcher_->download_progress_changed(download_);
    download_version_sent_ = download_version_;
  }
}

void progress_t::handle_stat_timer(const boost::system::error_code& error) {
  if (error) {
    if (error == boost::asio::error::operation_aborted) return;
    throw boost::system::system_error(error, "Stat timer");
  }
  std::lock_guard lock(mutex_);
  if (pending_stat_.bytes_sent() != 0 || pending_stat_.bytes_received() != 0) {
    watcher_->stat_ready(pending_stat_);
    total_bytes_sent_ += pending_stat_.bytes_sent();
    total_bytes_received_ += pending_stat_.bytes_received();
    pending_stat_.set_bytes_sent(0);
    pending_stat_.set_bytes_received(0);
  }
  start_stat_timer();
}

void progress_t::start_stat_timer() {
  stat_timer_.expires_after(std::chrono::seconds(stat_interval_sec_));
  stat_timer_.async_wait([this](const boost::system::error_code& error) { handle_stat_timer(error); });
}

void progress_t::flush_stat() {
  stat_timer_.cancel();
  handle_stat_timer({});
}

std::uint32_t progress_t::total_bytes_sent() {
  std::lock_guard lock(mutex_);
  return total_bytes_sent_;
}

std::uint32_t progress_t::total_bytes_received() {
  std::lock_guard lock(mutex_);
  return total_bytes_received_;
}

}  // namespace upd
