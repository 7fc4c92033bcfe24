#include "update/async_updater.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <chrono>

#include "common/log.h"
#include "support/test_support.h"
#include "update/recording_watcher.h"

namespace upd::testing {

class AsyncUpdaterTest : public ::testing::Test {
 protected:
  struct result_t {
    std::vector<zone_item_t> items;
    path_set_t to_remove;
    path_set_t up_to_date;
  };

  async_updater_t::callback_t record(int attempt) {
    return [this, attempt](std::vector<zone_item_t> items, path_set_t to_remove,
                           path_set_t up_to_date, zone_serials_t) {
      attempts.push_back(attempt);
      results.push_back({std::move(items), std::move(to_remove), std::move(up_to_date)});
    };
  }

  // Runs controller handlers until n results have arrived; the bound only
  // ends a wait that would otherwise hang.
  bool deliver(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (results.size() < n && std::chrono::steady_clock::now() < deadline)
      controller.run_one_until(deadline);
    return results.size() == n;
  }

  void SetUp() override { config.set_update_dir(dir.path().string()); }
  void TearDown() override { cf_log_t::level_ = saved_level_; }

  temp_dir_t dir;
  boost::asio::io_context controller;
  recording_watcher_t watcher;
  progress_t progress{controller, &watcher};
  nb::UpdateConfig config;
  std::vector<int> attempts;
  std::vector<result_t> results;

 private:
  int saved_level_ = cf_log_t::level_;
};

namespace {

TEST_F(AsyncUpdaterTest, AttemptWithoutZonesDeliversAnEmptyResult) {
  async_updater_t updater(controller, &progress, &config);
  updater.update_files(record(1));
  ASSERT_TRUE(deliver(1));
  EXPECT_TRUE(results[0].items.empty());
  EXPECT_TRUE(results[0].to_remove.empty());
  EXPECT_TRUE(results[0].up_to_date.empty());
  ASSERT_EQ(watcher.downloads.size(), 1u);
  EXPECT_EQ(watcher.downloads[0].files_to_process(), 0u);
  EXPECT_EQ(watcher.downloads[0].bytes_to_process(), 0u);
}

TEST_F(AsyncUpdaterTest, EachAttemptPostsExactlyOneHandlerInOrder) {
  async_updater_t updater(controller, &progress, &config);
  updater.update_files(record(1));
  updater.update_files(record(2));  // waits for the first attempt to end
  ASSERT_TRUE(deliver(2));
  controller.poll();
  EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
}

TEST_F(AsyncUpdaterTest, UpdateErrorIsThrownOnTheControllersThread) {
  boost::asio::post(controller, [] { async_updater_t::on_update_error(nb::EC_BAD_CHECKSUM); });
  try {
    controller.poll();
    FAIL() << "no exception";
  } catch (nb::ErrorCode code) {
    EXPECT_EQ(code, nb::EC_BAD_CHECKSUM);
  }
}

TEST_F(AsyncUpdaterTest, DestroyingAnIdleWorkerLogsNothing) {
  cf_log_t::level_ = log_debug;
  fd_capture_t err;
  { async_updater_t updater(controller, &progress, &config); }
  EXPECT_EQ(err.text(), "");
}

TEST_F(AsyncUpdaterTest, DestroyingAfterAnAttemptJoinsTheThread) {
  cf_log_t::level_ = log_debug;
  fd_capture_t err;
  {
    async_updater_t updater(controller, &progress, &config);
    updater.update_files(record(1));
  }
  EXPECT_NE(err.text().find("Debug: Shutting down worker thread...\n"), std::string::npos);
}

}  // namespace
}  // namespace upd::testing
