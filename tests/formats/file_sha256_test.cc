#include "formats/file_sha256.h"

#include <gtest/gtest.h>

#include <boost/algorithm/hex.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "formats/captured_log.h"
#include "support/test_support.h"

namespace upd {
namespace {

using testing::captured_log_t;
using testing::temp_dir_t;
using testing::write_file;

std::string hex_sha256(const boost::filesystem::path& path) {
  return boost::algorithm::hex_lower(file_sha256(path));
}

TEST(FileSha256, KnownDigests) {
  temp_dir_t dir;
  struct row_t {
    std::string content;
    std::string digest;
  } rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Across the 8192-byte pieces.
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const row_t& row : rows) {
    write_file(dir / "file", row.content);
    EXPECT_EQ(hex_sha256(dir / "file"), row.digest);
  }
}

TEST(FileSha256, UnreadableFileIsAnIoErrorLoggedWithItsPath) {
  temp_dir_t dir;
  boost::filesystem::create_directory(dir / "a\"b&c");
  struct row_t {
    boost::filesystem::path path;
    std::string line;
  } rows[] = {
      {dir / "missing",
       "Error: SHA256: \"" + (dir / "missing").string() + "\": open: No such file or directory"},
      // A read error is not taken for the end of the file.
      {dir / "a\"b&c", "Error: SHA256: \"" + dir.path().string() + "/a&\"b&&c\": read: Is a directory"},
  };
  for (const row_t& row : rows) {
    captured_log_t log;
    try {
      file_sha256(row.path);
      ADD_FAILURE();
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(code_from_exception(&e), nb::EC_IO_ERROR);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{row.line});
  }
}

}  // namespace
}  // namespace upd
