// Check and download progress and network byte counts, collected from the
// worker thread and the connection handlers and delivered to the watcher on
// the controller's event loop.
//
// Progress changes are folded: however many arrive while the controller is
// busy, one notification per kind carries the latest values. Byte counts go
// out at most once per stat_interval_sec_, and only when bytes were counted.
// The watcher is not owned and must outlive this object.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/progress_counters.h"
#include "ipc/progress_watcher.h"
#include "update.pb.h"
#include "update_appstat.pb.h"

namespace upd {

class progress_t final : public byte_counter_t, public check_counter_t {
 public:
  static constexpr int stat_interval_sec_ = 1;

  progress_t(boost::asio::io_context& controller_service, progress_watcher_t* watcher);
  progress_t(const progress_t&) = delete;
  progress_t& operator=(const progress_t&) = delete;

  // Worker thread.
  void set_check_total(std::uint32_t bytes) override;
  void set_checked(std::uint32_t bytes) override;
  void set_download_total(std::uint32_t files, std::uint32_t bytes);
  void set_current_file(const std::string& name);
  void file_processed(std::uint32_t size);

  // Connection handlers, on any thread.
  void add_bytes_sent(std::uint32_t n) override;
  void add_bytes_received(std::uint32_t n) override;

  // Controller's thread.
  void notify_watcher();
  void handle_stat_timer(const boost::system::error_code& error);
  void flush_stat();
  std::uint32_t total_bytes_sent();
  std::uint32_t total_bytes_received();

 private:
  void schedule_notify();  // mutex_ held
  void set_download_fields(std::uint32_t files, std::uint32_t bytes);  // mutex_ held
  void start_stat_timer();

  boost::asio::io_context& controller_service_;
  progress_watcher_t* watcher_;
  boost::asio::steady_timer stat_timer_;

  std::mutex mutex_;
  // Everything below is guarded by mutex_.
  nb::UpdateCheckProgress check_;
  nb::UpdateDownloadProgress download_;
  nb::UpdateAppStat pending_stat_;
  std::uint32_t check_version_ = 0;
  std::uint32_t check_version_sent_ = 0;
  std::uint32_t download_version_ = 0;
  std::uint32_t download_version_sent_ = 0;
  bool notification_posted_ = false;
  std::uint32_t total_bytes_sent_ = 0;
  std::uint32_t total_bytes_received_ = 0;
};

}  // namespace upd
