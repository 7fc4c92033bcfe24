// The checksum cache, the format of its file, and the pieces it stands on:
// file_sha256 and replace_file (through a failing write).
#include "formats/checksum_cache.h"

#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

#include "common/error.h"
#include "common/fd_io.h"
#include "formats/cache_file.h"
#include "formats/file_sha256.h"
#include "support/test_support.h"
#include "update/progress.h"
#include "update/recording_watcher.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::captured_log_t, testing::read_file, testing::temp_dir_t, testing::write_file;
using lines_t = std::vector<std::string>;

const std::string digest_a(32, 'a'), digest_b(32, '\xb0');

TEST(CacheFile, RecordsRoundTripAndEveryCutChangedBitOrAddedByteIsRefused) {
  const cache_records_t records = {{"/var/nimbo/bases/daily.vdb", {2049, 131, 1700000000, digest_a}},
                                   {"/opt/nimbo/\"odd\" & name", {0xffffffffffffffff, 1, -5, digest_b}}};
  const std::string bytes = encode_cache(records);
  EXPECT_EQ(decode_cache(bytes), records);
  EXPECT_EQ(decode_cache(encode_cache({})), cache_records_t{});
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    EXPECT_THROW(decode_cache(bytes.substr(0, at)), std::runtime_error) << at;
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      EXPECT_THROW(decode_cache(flipped), std::runtime_error) << at << " " << bit;
    }
  }
  EXPECT_THROW(decode_cache(bytes + '\0'), std::runtime_error);
}

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
    // std::ref: the writer a test sets after this point is the one used.
    auto checker = std::make_unique<checker_t>(dir_.path(), checker_env_t{[this] { return now_; }, std::ref(write_)});
    if (register_paths) checker->add_paths(paths_);
    return checker;
  }

  // Runs the checksum pass; the bytes it set out to hash, once it reported them all as done.
  std::uint32_t pass(checker_t& checker) {
    boost::asio::io_context controller;
    testing::recording_watcher_t watcher;
    progress_t progress(controller, &watcher);
    checker.check_all(progress);
    controller.poll();
    EXPECT_EQ(watcher.checks.back().bytes_checked(), watcher.checks.back().bytes_to_check());
    return watcher.checks.back().bytes_to_check();
  }

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

  temp_dir_t dir_;
  std::vector<fs::path> paths_{dir_ / "a.vdb", dir_ / "b.vdb", dir_ / "c.vdb"};
  std::time_t now_ = std::time(nullptr) + 100;
  write_fn_t write_ = write_all;
};

TEST_F(ChecksumCache, LaterAttemptsHashOnlyReplacedFilesAndForgetVanishedOnes) {
  expect_clean_start("Debug: Checker: no cache", 20015);
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
  }
  EXPECT_EQ(load_log(), lines_t{"Debug: Checker: 2 records loaded"});
  EXPECT_EQ(pass(*checker()), 0u);
}

TEST_F(ChecksumCache, FileChangedThisSecondIsHashedEachTimeAndNeverStored) {
  struct stat status;
  ASSERT_EQ(::stat((dir_ / "a.vdb").c_str(), &status), 0);
  now_ = status.st_ctime;
  paths_ = {dir_ / "a.vdb"};
  EXPECT_EQ(pass(*checker()), 10u);
  EXPECT_EQ(load_log(), lines_t{"Debug: Checker: 0 records loaded"});
  EXPECT_EQ(checker()->checksum(dir_ / "a.vdb"), file_sha256(dir_ / "a.vdb"));
}

// A damaged cache, one too big to be one, and one that is no file: one
// warning and a clean start. (CacheFile tries every damage of the bytes.)
TEST_F(ChecksumCache, UnusableCacheFilesStartCleanWithOneWarning) {
  paths_ = {dir_ / "a.vdb"};
  pass(*checker());
  std::string stored = read_file(cache_path());
  stored[stored.size() / 2] ^= 0x5a;
  write_file(cache_path(), stored);
  expect_clean_start(warning("invalid format"), 10);
  fs::resize_file(cache_path(), (64 << 20) + 1);
  expect_clean_start(warning("file too big"), 10);
  fs::remove(cache_path());
  fs::create_directory(cache_path());
  expect_clean_start(warning("read: Is a directory"), 10);
}

TEST_F(ChecksumCache, FailedWriteKeepsThePreviousCache) {
  pass(*checker());
  const std::string stored = read_file(cache_path());
  fs::remove(dir_ / "a.vdb");
  write_ = [](int fd, const void* bytes, std::size_t length) {
    write_all(fd, bytes, length / 2);
    throw errno_error(ENOSPC, "write");
  };
  EXPECT_EQ(load_log(), (lines_t{"Debug: Checker: 3 records loaded", warning("write: No space left on device")}));
  EXPECT_EQ(read_file(cache_path()), stored);
  EXPECT_FALSE(fs::exists(dir_ / "nimbo-update.cache.tmp"));
}

}  // namespace
}  // namespace upd
