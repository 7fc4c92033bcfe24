#include "formats/replace_file.h"

#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.h"
#include "common/fd_io.h"
#include "support/test_support.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::read_file;
using testing::temp_dir_t;
using testing::write_file;

std::string replace_text(const fs::path& path, const std::string& bytes,
                         const write_fn_t& write = write_all) {
  try {
    replace_file(path, bytes, 0600, write);
    return "";
  } catch (const std::exception& e) {
    return text_from_exception(e);
  }
}

mode_t mode_of(const fs::path& path) {
  struct stat status;
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return status.st_mode & 07777;
}

TEST(ReplaceFile, WritesNewContentWithTheModeWhateverTheUmask) {
  temp_dir_t dir;
  for (mode_t mask : {022, 0, 077}) {
    mode_t saved = ::umask(mask);
    EXPECT_EQ(replace_text(dir / "cache", "content " + std::to_string(mask)), "");
    ::umask(saved);
    EXPECT_EQ(read_file(dir / "cache"), "content " + std::to_string(mask));
    EXPECT_EQ(mode_of(dir / "cache"), 0600u);
  }
  EXPECT_FALSE(fs::exists(dir / "cache.tmp"));
}

TEST(ReplaceFile, AWriteFailingHalfwayLeavesTheOldFile) {
  temp_dir_t dir;
  write_file(dir / "cache", "old content");
  auto half_then_full = [](int fd, const void* bytes, std::size_t length) {
    write_all(fd, bytes, length / 2);
    throw errno_error(ENOSPC, "write");
  };
  EXPECT_EQ(replace_text(dir / "cache", "new content", half_then_full),
            "write: No space left on device");
  EXPECT_EQ(read_file(dir / "cache"), "old content");
  EXPECT_FALSE(fs::exists(dir / "cache.tmp"));
}

TEST(ReplaceFile, AFailedRenameLeavesWhatWasThere) {
  temp_dir_t dir;
  fs::create_directories(dir / "cache" / "inside");
  EXPECT_EQ(replace_text(dir / "cache", "new"), "rename: Is a directory");
  EXPECT_TRUE(fs::is_directory(dir / "cache" / "inside"));
  EXPECT_FALSE(fs::exists(dir / "cache.tmp"));
}

TEST(ReplaceFile, NeverWritesThroughWhatStandsAtTheTemporaryName) {
  temp_dir_t dir;
  write_file(dir / "victim", "untouched");
  fs::create_symlink(dir / "victim", dir / "cache.tmp");
  EXPECT_EQ(replace_text(dir / "cache", "new"), "");
  EXPECT_EQ(read_file(dir / "victim"), "untouched");
  EXPECT_EQ(read_file(dir / "cache"), "new");
}

TEST(ReplaceFile, MissingDirectoryFailsAtOpen) {
  temp_dir_t dir;
  EXPECT_EQ(replace_text(dir / "none" / "cache", "new"), "open: No such file or directory");
}

}  // namespace
}  // namespace upd
