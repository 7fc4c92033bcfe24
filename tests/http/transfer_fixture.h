// What the transfer tests share: a downloader on its own event loop with a
// progress object whose statistics are read back, and the log lines written
// meanwhile (at Debug). One test thread.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"
#include "http/downloader.h"
#include "support/test_support.h"
#include "update/progress.h"
#include "update/recording_watcher.h"

namespace upd::testing {

class transfer_test_t : public ::testing::Test {
 protected:
  transfer_test_t() { downloader_.set_timeout(std::chrono::milliseconds(2000)); }

  // Runs a transfer; the ErrorCode of what it threw, EC_OK when nothing.
  static nb::ErrorCode outcome(const std::function<void()>& transfer) {
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
  // The bytes sent and received in the statistics so far.
  std::pair<std::uint64_t, std::uint64_t> traffic() {
    progress_.flush_stat();
    std::pair<std::uint64_t, std::uint64_t> total;
    for (const auto& stat : watcher_.stats) total = {total.first + stat.bytes_sent(), total.second + stat.bytes_received()};
    return total;
  }

  captured_log_t log_;
  boost::asio::io_context controller_;
  recording_watcher_t watcher_;
  progress_t progress_{controller_, &watcher_};
  boost::asio::io_context service_;
  downloader_t downloader_{service_, &progress_};
};

inline std::string text_of(const std::vector<char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

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
