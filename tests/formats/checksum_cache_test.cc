// The checksum cache and the pieces it stands on: file_sha256 and replace_file.
#include "formats/checksum_cache.h"

#include <sys/stat.h>

#include <boost/algorithm/hex.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>
#include <memory>

#include "common/error.h"
#include "common/fd_io.h"
#include "formats/captured_log.h"
#include "formats/file_sha256.h"
#include "formats/replace_file.h"
#include "support/test_support.h"
#include "update/progress.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::captured_log_t, testing::read_file, testing::temp_dir_t, testing::write_file;
using lines_t = std::vector<std::string>;

class check_watcher_t : public progress_watcher_t {
 public:
  void check_progress_changed(const nb::UpdateCheckProgress& progress) override {
    last = progress;
  }
  void download_progress_changed(const nb::UpdateDownloadProgress&) override {}
  void stat_ready(const nb::UpdateAppStat&) override {}
  nb::UpdateCheckProgress last;
};

class ChecksumCache : public ::testing::Test {
 protected:
  ChecksumCache() {
    write_file(dir_ / "a.vdb", "first file");
    write_file(dir_ / "b.vdb", std::string(20000, 'b'));
    write_file(dir_ / "c.vdb", "third");
  }

  // A checker over paths_, its clock well past every file's status change
  // unless a test moves it.
  std::unique_ptr<checker_t> checker(bool register_paths = true) {
    auto checker = std::make_unique<checker_t>(
        dir_.path(), checker_env_t{[this] { return now_; },
                                   [this](int fd, const void* bytes, std::size_t length) {
                                     write_(fd, bytes, length);
                                   }});
    if (register_paths) checker->add_paths(paths_);
    return checker;
  }

  // Runs the checksum pass; the bytes it set out to hash, once it reported
  // them all as done.
  std::uint32_t pass(checker_t& checker) {
    boost::asio::io_context controller;
    check_watcher_t watcher;
    progress_t progress(controller, &watcher);
    checker.check_all(progress);
    controller.poll();
    EXPECT_EQ(watcher.last.bytes_checked(), watcher.last.bytes_to_check());
    return watcher.last.bytes_to_check();
  }

  // One attempt: load, register, pass, write back.
  std::uint32_t attempt() { return pass(*checker()); }

  // What loading and writing back logs when no file is registered.
  lines_t load_log() {
    captured_log_t log;
    checker(false).reset();
    return log.lines();
  }

  // A start from nothing: line is logged while loading, then every file is hashed.
  void expect_clean_start(const std::string& line, std::uint32_t bytes) {
    captured_log_t log;
    auto checker = this->checker();
    EXPECT_EQ(log.lines(), lines_t{line});
    EXPECT_EQ(pass(*checker), bytes);
  }

  fs::path cache_path() const { return dir_ / "nimbo-update.cache"; }
  std::string warning(const std::string& text) const {
    return "Warning: Cache: \"" + cache_path().string() + "\": " + text;
  }

  static constexpr std::uint32_t all_sizes = 10 + 20000 + 5;
  temp_dir_t dir_;
  std::vector<fs::path> paths_{dir_ / "a.vdb", dir_ / "b.vdb", dir_ / "c.vdb"};
  std::time_t now_ = std::time(nullptr) + 100;
  write_fn_t write_ = write_all;
};

TEST_F(ChecksumCache, LaterAttemptsHashOnlyReplacedFilesAndForgetVanishedOnes) {
  expect_clean_start("Debug: Checker: no cache", all_sizes);
  EXPECT_EQ(fs::status(cache_path()).permissions(), fs::owner_read | fs::owner_write);
  // Records of files no longer registered stay.
  EXPECT_EQ(load_log(), lines_t{"Debug: Checker: 3 records loaded"});
  EXPECT_EQ(load_log(), lines_t{"Debug: Checker: 3 records loaded"});
  write_file(dir_ / "new", "replacement");
  fs::rename(dir_ / "new", dir_ / "b.vdb");
  fs::remove(dir_ / "a.vdb");
  {
    auto checker = this->checker();
    EXPECT_EQ(pass(*checker), 11u);
    EXPECT_EQ(checker->checksum(dir_ / "b.vdb"), file_sha256(dir_ / "b.vdb"));
    EXPECT_EQ(checker->checksum(dir_ / "a.vdb"), "");
    EXPECT_EQ(checker->checksum(dir_ / "never.vdb"), "");
  }
  EXPECT_EQ(load_log(), lines_t{"Debug: Checker: 2 records loaded"});
  EXPECT_EQ(attempt(), 0u);
}

TEST_F(ChecksumCache, FileChangedThisSecondIsHashedEachTimeAndNeverStored) {
  struct stat status;
  ASSERT_EQ(::stat((dir_ / "a.vdb").c_str(), &status), 0);
  now_ = status.st_ctime;
  paths_ = {dir_ / "a.vdb"};
  EXPECT_EQ(attempt(), 10u);
  EXPECT_EQ(attempt(), 10u);
  EXPECT_EQ(load_log(), lines_t{"Debug: Checker: 0 records loaded"});
  EXPECT_EQ(checker()->checksum(dir_ / "a.vdb"), file_sha256(dir_ / "a.vdb"));
}

TEST_F(ChecksumCache, StatusFailuresOtherThanMissingAreThrown) {
  const fs::path under_file = dir_ / "a.vdb" / "x";
  paths_.push_back(under_file);
  auto checker = this->checker();
  try {
    checker->checksum(under_file);
    ADD_FAILURE();
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(text_from_exception(e), "stat: Not a directory: \"" + under_file.string() + "\"");
  }
  EXPECT_THROW(pass(*checker), fs::filesystem_error);
}

TEST_F(ChecksumCache, UnusableCacheFilesStartClean) {
  write_file(cache_path(), "version.lst\n");
  expect_clean_start(warning("invalid format"), all_sizes);
  fs::resize_file(cache_path(), (64 << 20) + 1);
  expect_clean_start(warning("file too big"), all_sizes);
  fs::remove(cache_path());
  fs::create_directory(cache_path());
  expect_clean_start(warning("read: Is a directory"), all_sizes);
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
  for (std::size_t at = 0; at < stored.size(); ++at) {
    SCOPED_TRACE(at);
    std::string flipped = stored;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5a);
    for (const std::string& bytes : {stored.substr(0, at), flipped}) {
      write_file(cache_path(), bytes);
      expect_clean_start(warning("invalid format"), 10);
    }
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
  EXPECT_EQ(load_log(), (lines_t{"Debug: Checker: 3 records loaded",
                                 warning("write: No space left on device")}));
  EXPECT_EQ(read_file(cache_path()), stored);
  EXPECT_FALSE(fs::exists(dir_ / "nimbo-update.cache.tmp"));
}

TEST_F(ChecksumCache, InterruptedPassStopsBeforeHashing) {
  auto checker = this->checker();
  bool interrupted = false;
  boost::thread worker([&] {
    try {
      // Interruption requests are kept until the thread reaches a point.
      while (!boost::this_thread::interruption_requested()) boost::this_thread::yield();
      pass(*checker);
    } catch (const boost::thread_interrupted&) {
      interrupted = true;
    }
  });
  worker.interrupt();
  worker.join();
  EXPECT_TRUE(interrupted);
}

TEST(FileSha256, GivesKnownDigestsAndAnIoErrorLoggedWithThePath) {
  temp_dir_t dir;
  for (const auto& [content, digest] : std::vector<std::pair<std::string, std::string>>{
           {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
           {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
           // Across the 8192-byte pieces.
           {std::string(1000000, 'a'),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}}) {
    write_file(dir / "file", content);
    EXPECT_EQ(boost::algorithm::hex_lower(file_sha256(dir / "file")), digest);
  }
  fs::create_directory(dir / "a\"b&c");
  for (const auto& [path, line] : std::vector<std::pair<fs::path, std::string>>{
           {dir / "missing",
            "\"" + (dir / "missing").string() + "\": open: No such file or directory"},
           // A read error is not taken for the end of the file.
           {dir / "a\"b&c", "\"" + dir.path().string() + "/a&\"b&&c\": read: Is a directory"}}) {
    captured_log_t log;
    try {
      file_sha256(path);
      ADD_FAILURE();
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(code_from_exception(&e), nb::EC_IO_ERROR);
    }
    EXPECT_EQ(log.lines(), lines_t{"Error: SHA256: " + line});
  }
}

// "" once done, else the error's text. (A failed write: FailedWriteKeepsThePreviousCache.)
std::string replace_text(const fs::path& path, const std::string& bytes) {
  try {
    replace_file(path, bytes, 0600, write_all);
    return "";
  } catch (const std::exception& e) {
    return text_from_exception(e);
  }
}

TEST(ReplaceFile, WritesNewContentWithTheModeWhateverTheUmaskNeverThroughALink) {
  temp_dir_t dir;
  write_file(dir / "victim", "untouched");
  fs::create_symlink(dir / "victim", dir / "cache.tmp");
  for (mode_t mask : {022, 0, 077}) {
    mode_t saved = ::umask(mask);
    EXPECT_EQ(replace_text(dir / "cache", "content " + std::to_string(mask)), "");
    ::umask(saved);
    EXPECT_EQ(read_file(dir / "cache"), "content " + std::to_string(mask));
    EXPECT_EQ(fs::status(dir / "cache").permissions(), fs::owner_read | fs::owner_write);
  }
  EXPECT_EQ(read_file(dir / "victim"), "untouched");
  EXPECT_FALSE(fs::exists(dir / "cache.tmp"));
}

TEST(ReplaceFile, FailuresLeaveWhatWasThere) {
  temp_dir_t dir;
  fs::create_directories(dir / "cache" / "inside");
  EXPECT_EQ(replace_text(dir / "cache", "new"), "rename: Is a directory");
  EXPECT_TRUE(fs::is_directory(dir / "cache" / "inside"));
  EXPECT_FALSE(fs::exists(dir / "cache.tmp"));
  EXPECT_EQ(replace_text(dir / "none" / "cache", "new"), "open: No such file or directory");
}

}  // namespace
}  // namespace upd
