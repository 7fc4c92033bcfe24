// The worker's side of the controller: progress_t, which carries what the
// worker reports to the controller's thread, and async_updater_t, which runs
// the attempts on the worker.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <thread>

#include "support/test_support.h"
#include "update/async_updater.h"
#include "update/progress.h"
#include "update/recording_watcher.h"

namespace upd::testing {
namespace {

// The controller's loop is "busy" between two polls: whatever the worker
// reports meanwhile waits in the queue.
class ProgressTest : public ::testing::Test {
 protected:
  boost::asio::io_context controller;
  recording_watcher_t watcher;
  progress_t progress{controller, &watcher};
};

TEST_F(ProgressTest, ChangesWhileBusyFoldIntoOneNotificationPerKindAndNothingNewSendsNothing) {
  progress.set_check_total(1000);
  for (std::uint32_t done = 0; done <= 1000; done += 100) progress.set_checked(done);
  controller.poll();
  progress.set_current_file("old.bin");
  progress.set_download_total(3, 300);
  for (const char* name : {"a", "b", "c"}) {
    progress.set_current_file(name);
    progress.file_processed(100);
  }
  controller.poll();
  controller.poll();
  ASSERT_EQ(watcher.checks.size(), 1u);
  EXPECT_EQ(watcher.checks[0].DebugString(), "bytes_to_check: 1000\nbytes_checked: 1000\n");
  ASSERT_EQ(watcher.downloads.size(), 1u);
  EXPECT_EQ(watcher.downloads[0].DebugString(),
            "files_to_process: 3\nfiles_processed: 3\nbytes_to_process: 300\nbytes_processed: 300\n");
}

// A worker reporting as fast as it can while the controller delivers: the
// last notification carries the final values and no byte is lost.
TEST_F(ProgressTest, ConcurrentReportsEndWithTheFinalValues) {
  constexpr std::uint32_t steps = 20000;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    progress.set_check_total(steps);
    for (std::uint32_t step = 1; step <= steps; ++step) {
      progress.set_checked(step);
      progress.add_bytes_sent(1);
    }
    done = true;
  });
  while (!done) controller.poll();
  worker.join();
  controller.poll();
  progress.flush_stat();
  EXPECT_EQ(watcher.checks.back().bytes_checked(), steps);
  EXPECT_EQ(progress.total_bytes_sent(), steps);
}

// Attempts without zones deliver empty results, one handler each, in order;
// the worker is joined when destroyed.
TEST_F(ProgressTest, TheUpdatersAttemptsPostExactlyOneHandlerEachInOrder) {
  temp_dir_t dir;
  nb::UpdateConfig config;
  config.set_update_dir(dir.path().string());
  std::vector<int> attempts;
  captured_log_t log;
  {
    async_updater_t updater(controller, &progress, &config);
    for (int attempt : {1, 2})
      updater.update_files([&, attempt](std::vector<zone_item_t> items, path_set_t to_remove, path_set_t up_to_date,
                                        zone_serials_t) {
        EXPECT_TRUE(items.empty() && to_remove.empty() && up_to_date.empty());
        attempts.push_back(attempt);
      });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (attempts.size() < 2 && std::chrono::steady_clock::now() < deadline) controller.run_one_until(deadline);
    controller.poll();
  }
  EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
  EXPECT_EQ(watcher.downloads.back().files_to_process(), 0u);
  EXPECT_TRUE(log.has("Debug: Shutting down worker thread...")) << log.all();
  boost::asio::post(controller, [] { async_updater_t::on_update_error(nb::EC_BAD_CHECKSUM); });
  EXPECT_THROW(controller.poll(), nb::ErrorCode);
}

}  // namespace
}  // namespace upd::testing
