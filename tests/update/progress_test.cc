#include "update/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <thread>

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

TEST_F(ProgressTest, ManyChangesWhileBusyFoldIntoOneNotificationPerKind) {
  progress.set_check_total(1000);
  for (std::uint32_t done = 0; done <= 1000; done += 100) progress.set_checked(done);
  progress.set_download_total(3, 300);
  for (const char* name : {"a", "b", "c"}) {
    progress.set_current_file(name);
    progress.file_processed(100);
  }
  progress.set_current_file("last");
  controller.poll();

  ASSERT_EQ(watcher.checks.size(), 1u);
  EXPECT_EQ(watcher.checks[0].bytes_to_check(), 1000u);
  EXPECT_EQ(watcher.checks[0].bytes_checked(), 1000u);
  ASSERT_EQ(watcher.downloads.size(), 1u);
  const auto& download = watcher.downloads[0];
  EXPECT_EQ(download.files_to_process(), 3u);
  EXPECT_EQ(download.files_processed(), 3u);
  EXPECT_EQ(download.bytes_to_process(), 300u);
  EXPECT_EQ(download.bytes_processed(), 300u);
  EXPECT_EQ(download.current_file(), "last");
  EXPECT_TRUE(watcher.stats.empty());
}

TEST_F(ProgressTest, CheckChangeAloneSendsOnlyCheckProgress) {
  progress.set_check_total(10);
  controller.poll();
  EXPECT_EQ(watcher.checks.size(), 1u);
  EXPECT_TRUE(watcher.downloads.empty());
}

TEST_F(ProgressTest, NothingChangedSendsNothing) {
  progress.set_checked(5);
  controller.poll();
  controller.poll();
  EXPECT_EQ(watcher.checks.size(), 1u);
  progress.set_checked(6);
  controller.poll();
  ASSERT_EQ(watcher.checks.size(), 2u);
  EXPECT_EQ(watcher.checks[1].bytes_checked(), 6u);
}

TEST_F(ProgressTest, CurrentFileIsAbsentAfterSetDownloadTotal) {
  progress.set_current_file("old.bin");
  controller.poll();
  progress.set_download_total(2, 20);
  controller.poll();
  ASSERT_EQ(watcher.downloads.size(), 2u);
  EXPECT_TRUE(watcher.downloads[0].has_current_file());
  EXPECT_FALSE(watcher.downloads[1].has_current_file());
  EXPECT_EQ(watcher.downloads[1].files_processed(), 0u);
}

TEST_F(ProgressTest, FileProcessedClearsCurrentFile) {
  progress.set_download_total(1, 7);
  progress.set_current_file("a.bin");
  progress.file_processed(7);
  controller.poll();
  ASSERT_EQ(watcher.downloads.size(), 1u);
  EXPECT_FALSE(watcher.downloads[0].has_current_file());
  EXPECT_EQ(watcher.downloads[0].bytes_processed(), 7u);
}

TEST_F(ProgressTest, PeriodWithoutBytesSendsNoStatistics) {
  progress.handle_stat_timer({});
  EXPECT_TRUE(watcher.stats.empty());
  EXPECT_EQ(progress.total_bytes_sent(), 0u);
}

TEST_F(ProgressTest, PeriodWithBytesSendsOneStatisticsAndStartsAfresh) {
  progress.add_bytes_sent(10);
  progress.add_bytes_received(20);
  progress.add_bytes_received(5);
  progress.handle_stat_timer({});
  progress.handle_stat_timer({});
  ASSERT_EQ(watcher.stats.size(), 1u);
  EXPECT_EQ(watcher.stats[0].bytes_sent(), 10u);
  EXPECT_EQ(watcher.stats[0].bytes_received(), 25u);
  progress.add_bytes_received(1);
  progress.handle_stat_timer({});
  ASSERT_EQ(watcher.stats.size(), 2u);
  EXPECT_EQ(watcher.stats[1].bytes_sent(), 0u);
  EXPECT_EQ(watcher.stats[1].bytes_received(), 1u);
  EXPECT_EQ(progress.total_bytes_sent(), 10u);
  EXPECT_EQ(progress.total_bytes_received(), 26u);
}

TEST_F(ProgressTest, FlushStatTwiceSendsOnce) {
  progress.add_bytes_sent(3);
  progress.flush_stat();
  progress.flush_stat();
  controller.poll();  // the cancelled waits complete and do nothing
  ASSERT_EQ(watcher.stats.size(), 1u);
  EXPECT_EQ(watcher.stats[0].bytes_sent(), 3u);
  EXPECT_EQ(watcher.stats[0].bytes_received(), 0u);
  EXPECT_EQ(progress.total_bytes_sent(), 3u);
}

TEST_F(ProgressTest, CancelledTimerDoesNothing) {
  progress.add_bytes_sent(3);
  progress.handle_stat_timer(boost::asio::error::operation_aborted);
  EXPECT_TRUE(watcher.stats.empty());
}

TEST_F(ProgressTest, OtherTimerErrorIsThrown) {
  try {
    progress.handle_stat_timer(boost::asio::error::no_memory);
    FAIL() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::no_memory);
    EXPECT_TRUE(std::string(e.what()).starts_with("Stat timer")) << e.what();
  }
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
      progress.add_bytes_received(2);
    }
    done = true;
  });
  while (!done) controller.poll();
  worker.join();
  controller.poll();
  progress.flush_stat();

  ASSERT_FALSE(watcher.checks.empty());
  EXPECT_LE(watcher.checks.size(), steps + 1);
  EXPECT_EQ(watcher.checks.back().bytes_checked(), steps);
  EXPECT_EQ(progress.total_bytes_sent(), steps);
  EXPECT_EQ(progress.total_bytes_received(), 2 * steps);
}

}  // namespace
}  // namespace upd::testing
