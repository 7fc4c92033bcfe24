#include "formats/checksum_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <functional>
#include <gtest/gtest.h>

#include "common/error.h"
#include "common/fd_io.h"
#include "formats/captured_log.h"
#include "formats/file_sha256.h"
#include "support/test_support.h"
#include "update/progress.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::captured_log_t;
using testing::read_file;
using testing::temp_dir_t;
using testing::write_file;
using lines_t = std::vector<std::string>;

class check_watcher_t : public progress_watcher_t {
 public:
  void check_progress_changed(const nb::UpdateCheckProgress& progress) override {
    last_ = progress;
  }
  void download_progress_changed(const nb::UpdateDownloadProgress&) override {}
  void stat_ready(const nb::UpdateAppStat&) override {}
  const nb::UpdateCheckProgress& last() const { return last_; }

 private:
  nb::UpdateCheckProgress last_;
};

class ChecksumCache : public ::testing::Test {
 protected:
  ChecksumCache() {
    write_file(dir_ / "a.vdb", "first file");
    write_file(dir_ / "b.vdb", std::string(20000, 'b'));
    write_file(dir_ / "c.vdb", "third");
    paths_ = {dir_ / "a.vdb", dir_ / "b.vdb", dir_ / "c.vdb"};
  }

  // A clock well past every file's status change unless a test moves it.
  checker_env_t env() {
    return {[this] { return now_; }, [this](int fd, const void* bytes, std::size_t length) {
              write_(fd, bytes, length);
            }};
  }

  // Runs the checksum pass; the bytes it set out to hash, once it reported
  // them all as done.
  std::uint32_t pass(checker_t& checker) {
    boost::asio::io_context controller;
    check_watcher_t watcher;
    progress_t progress(controller, &watcher);
    checker.check_all(progress);
    controller.poll();
    EXPECT_EQ(watcher.last().bytes_checked(), watcher.last().bytes_to_check());
    return watcher.last().bytes_to_check();
  }

  // One attempt over the three files: load, register, pass, write back.
  std::uint32_t attempt() {
    checker_t checker(dir_.path(), env());
    checker.add_paths(paths_);
    return pass(checker);
  }

  fs::path cache_path() const { return dir_ / "nimbo-update.cache"; }
  std::string warning(const std::string& text) const {
    return "Warning: Cache: \"" + cache_path().string() + "\": " + text;
  }

  static constexpr std::uint32_t all_sizes = 10 + 20000 + 5;
  temp_dir_t dir_;
  std::vector<fs::path> paths_;
  std::time_t now_ = std::time(nullptr) + 100;
  write_fn_t write_ = write_all;
};

TEST_F(ChecksumCache, FirstAttemptHashesEveryFileAndTheNextNone) {
  {
    captured_log_t log;
    EXPECT_EQ(attempt(), all_sizes);
    EXPECT_EQ(log.lines(), lines_t{"Debug: Checker: no cache"});
  }
  struct stat status;
  ASSERT_EQ(::stat(cache_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  captured_log_t log;
  checker_t checker(dir_.path(), env());
  EXPECT_EQ(log.lines(), lines_t{"Debug: Checker: 3 records loaded"});
  checker.add_paths(paths_);
  EXPECT_EQ(pass(checker), 0u);
  EXPECT_EQ(checker.checksum(dir_ / "b.vdb"), file_sha256(dir_ / "b.vdb"));
}

TEST_F(ChecksumCache, FileChangedThisSecondIsHashedEachTimeAndNeverStored) {
  struct stat status;
  ASSERT_EQ(::stat((dir_ / "a.vdb").c_str(), &status), 0);
  now_ = status.st_ctime;
  paths_ = {dir_ / "a.vdb"};
  EXPECT_EQ(attempt(), 10u);
  EXPECT_EQ(attempt(), 10u);
  captured_log_t log;
  checker_t checker(dir_.path(), env());
  EXPECT_EQ(log.lines(), lines_t{"Debug: Checker: 0 records loaded"});
  EXPECT_EQ(checker.checksum(dir_ / "a.vdb"), file_sha256(dir_ / "a.vdb"));
}

TEST_F(ChecksumCache, ReplacedFileIsHashedAgain) {
  attempt();
  write_file(dir_ / "new", "replacement");
  fs::rename(dir_ / "new", dir_ / "b.vdb");
  checker_t checker(dir_.path(), env());
  checker.add_paths(paths_);
  EXPECT_EQ(pass(checker), 11u);
  EXPECT_EQ(checker.checksum(dir_ / "b.vdb"), file_sha256(dir_ / "b.vdb"));
}

TEST_F(ChecksumCache, VanishedFilesAreEmptyAndLeaveTheCache) {
  attempt();
  fs::remove(dir_ / "a.vdb");
  {
    checker_t checker(dir_.path(), env());
    checker.add_paths(paths_);
    EXPECT_EQ(pass(checker), 0u);
    EXPECT_EQ(checker.checksum(dir_ / "a.vdb"), "");
    EXPECT_EQ(checker.checksum(dir_ / "never.vdb"), "");
  }
  captured_log_t log;
  checker_t checker(dir_.path(), env());
  EXPECT_EQ(log.lines(), lines_t{"Debug: Checker: 2 records loaded"});
}

TEST_F(ChecksumCache, RecordsOfFilesNoLongerRegisteredStay) {
  attempt();
  { checker_t unregistered(dir_.path(), env()); }
  captured_log_t log;
  checker_t checker(dir_.path(), env());
  EXPECT_EQ(log.lines(), lines_t{"Debug: Checker: 3 records loaded"});
}

TEST_F(ChecksumCache, StatusFailuresOtherThanMissingAreThrown) {
  checker_t checker(dir_.path(), env());
  const fs::path under_file = dir_ / "a.vdb" / "x";
  try {
    checker.checksum(under_file);
    ADD_FAILURE();
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(text_from_exception(e), "stat: Not a directory: \"" + under_file.string() + "\"");
  }
  checker.add_paths({under_file});
  EXPECT_THROW(pass(checker), fs::filesystem_error);
}

TEST_F(ChecksumCache, UnreadableFileIsAnIoError) {
  checker_t checker(dir_.path(), env());
  fs::create_directory(dir_ / "folder");
  captured_log_t log;
  try {
    checker.checksum(dir_ / "folder");
    ADD_FAILURE();
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(code_from_exception(&e), nb::EC_IO_ERROR);
  }
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(ChecksumCache, UnusableCacheFilesStartClean) {
  struct row_t {
    const char* name;
    std::function<void()> make;
    std::string line;
  } rows[] = {
      {"missing", [] {}, "Debug: Checker: no cache"},
      {"empty", [this] { write_file(cache_path(), ""); }, warning("invalid format")},
      {"not a cache", [this] { write_file(cache_path(), "version.lst\n"); },
       warning("invalid format")},
      {"a directory", [this] { fs::create_directory(cache_path()); },
       warning("read: Is a directory")},
      {"too big",
       [this] {
         write_file(cache_path(), "");
         fs::resize_file(cache_path(), (64 << 20) + 1);
       },
       warning("file too big")},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(cache_path());
    row.make();
    captured_log_t log;
    checker_t checker(dir_.path(), env());
    checker.add_paths(paths_);
    EXPECT_EQ(log.lines(), lines_t{row.line});
    EXPECT_EQ(pass(checker), all_sizes);
  }
}

// Loading is all that is looked at: one record and a failing write keep
// each round cheap (the bytes themselves are ground bit by bit in
// cache_file_test).
TEST_F(ChecksumCache, EveryCutOrChangedByteOfTheCacheStartsCleanWithOneWarning) {
  paths_ = {dir_ / "a.vdb"};
  attempt();
  const std::string stored = read_file(cache_path());
  ASSERT_GT(stored.size(), 80u);
  write_ = [](int, const void*, std::size_t) { throw errno_error(EIO, "write"); };
  auto expect_clean_start = [&](const std::string& bytes) {
    write_file(cache_path(), bytes);
    captured_log_t log;
    checker_t checker(dir_.path(), env());
    checker.add_paths(paths_);
    EXPECT_EQ(log.lines(), lines_t{warning("invalid format")});
    EXPECT_EQ(pass(checker), 10u);
  };
  for (std::size_t length = 0; length < stored.size(); ++length) {
    SCOPED_TRACE(length);
    expect_clean_start(stored.substr(0, length));
  }
  for (std::size_t at = 0; at < stored.size(); ++at) {
    SCOPED_TRACE(at);
    std::string flipped = stored;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5a);
    expect_clean_start(flipped);
  }
}

TEST_F(ChecksumCache, FailedWriteKeepsThePreviousCache) {
  attempt();
  const std::string stored = read_file(cache_path());
  fs::remove(dir_ / "a.vdb");
  write_ = [](int fd, const void* bytes, std::size_t length) {
    write_all(fd, bytes, length / 2);
    throw errno_error(ENOSPC, "write");
  };
  {
    captured_log_t log;
    { checker_t checker(dir_.path(), env()); }
    EXPECT_EQ(log.lines(), (lines_t{"Debug: Checker: 3 records loaded",
                                    warning("write: No space left on device")}));
  }
  EXPECT_EQ(read_file(cache_path()), stored);
  EXPECT_FALSE(fs::exists(dir_ / "nimbo-update.cache.tmp"));
}

TEST_F(ChecksumCache, InterruptedPassStopsBeforeHashing) {
  checker_t checker(dir_.path(), env());
  checker.add_paths(paths_);
  bool interrupted = false;
  boost::thread worker([&] {
    try {
      // Interruption requests are kept until the thread reaches a point.
      while (!boost::this_thread::interruption_requested()) boost::this_thread::yield();
      pass(checker);
    } catch (const boost::thread_interrupted&) {
      interrupted = true;
    }
  });
  worker.interrupt();
  worker.join();
  EXPECT_TRUE(interrupted);
}

}  // namespace
}  // namespace upd
