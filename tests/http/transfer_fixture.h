// What the transfer tests share: a downloader on its own event loop with a
// progress object whose statistics are read back, and the log lines written
// meanwhile (at Debug). One test thread.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "http/downloader.h"
#include "update/progress.h"

namespace upd::testing {

class log_lines_t : public cf_log_t {
 public:
  void open() override {}
  void log(int level, const std::string& text) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(level_name(level)) + ": " + text);
  }
  void log_tagged(const std::string&, int, const std::string& text) override {
    log(log_debug, text);
  }
  void log_no_memory() override {}
  // Whether a line begins with prefix.
  bool has(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_)
      if (line.rfind(prefix, 0) == 0) return true;
    return false;
  }
  std::string all() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class stat_watcher_t : public progress_watcher_t {
 public:
  void check_progress_changed(const nb::UpdateCheckProgress&) override {}
  void download_progress_changed(const nb::UpdateDownloadProgress&) override {}
  void stat_ready(const nb::UpdateAppStat& stat) override {
    sent += stat.bytes_sent();
    received += stat.bytes_received();
  }
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
};

class transfer_test_t : public ::testing::Test {
 protected:
  void SetUp() override {
    cf_log_t::level_ = log_debug;
    cf_log_t::set_log(log_);
    downloader_.set_timeout(std::chrono::milliseconds(2000));
    finished_watch_ = downloader_.finished_signal.connect(
        [this](downloader_t&, const boost::system::error_code& error) { finished_.push_back(error); });
  }
  void TearDown() override { cf_log_t::set_log(nullptr); }

  // Runs a transfer; the ErrorCode of what it threw, EC_OK when nothing.
  nb::ErrorCode outcome(const std::function<void()>& transfer) {
    try {
      transfer();
      return nb::EC_OK;
    } catch (const boost::system::system_error& e) {
      return code_from_error(e.code());
    }
  }
  nb::ErrorCode fetch(const std::string& url, std::vector<char>& body) {
    return outcome([&] { downloader_.download(url_t(url), body); });
  }
  // Delivers the pending byte counts to watcher_.
  void flush_stat() { progress_.flush_stat(); }

  std::shared_ptr<log_lines_t> log_ = std::make_shared<log_lines_t>();
  boost::asio::io_context controller_;
  stat_watcher_t watcher_;
  progress_t progress_{controller_, &watcher_};
  boost::asio::io_context service_;
  downloader_t downloader_{service_, &progress_};
  // What each finished_signal carried.
  std::vector<boost::system::error_code> finished_;
  boost::signals2::scoped_connection finished_watch_;
};

inline std::string text_of(const std::vector<char>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// "127.0.0.1:port", as the log lines name a loopback peer.
inline std::string loopback(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

inline nb::Proxy http_proxy(std::uint16_t port, const std::string& user, const std::string& password) {
  nb::Proxy proxy;
  proxy.set_type(nb::Proxy::PROXY_TYPE_HTTP);
  proxy.set_host("127.0.0.1");
  proxy.set_port(port);
  proxy.set_user(user);
  proxy.set_password(password);
  return proxy;
}

}  // namespace upd::testing
