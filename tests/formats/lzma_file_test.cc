#include "formats/lzma_file.h"

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "formats/captured_log.h"
#include "formats/lzma_samples.h"
#include "support/test_support.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::captured_log_t;
using testing::lzma_alone;
using testing::lzma_header;
using testing::lzma_known_size;
using testing::raw_lzma_stream;
using testing::lzma_unknown_size;
using testing::read_file;
using testing::sample_data;
using testing::temp_dir_t;
using testing::unknown_size;
using testing::write_file;

// The error's text as the engine would report it, or "" on success.
std::string unpack_text(const fs::path& source, const fs::path& destination,
                        std::uint64_t max_size = decoder_t::no_limit) {
  try {
    unpack_lzma_file(source, destination, max_size);
    return "";
  } catch (const std::exception& e) {
    return std::to_string(code_from_exception(&e)) + " " + text_from_exception(e);
  }
}

TEST(LzmaFile, UnpacksWhatXzMakes) {
  temp_dir_t dir;
  std::string data = sample_data(300000);
  write_file(dir / "engine.vdb", lzma_alone(data));
  EXPECT_EQ(unpack_text(dir / "engine.vdb", dir / "engine.tmp", data.size()), "");
  EXPECT_TRUE(read_file(dir / "engine.tmp") == data);
}

TEST(LzmaFile, TruncatesAnExistingDestination) {
  temp_dir_t dir;
  write_file(dir / "in", lzma_known_size("short"));
  write_file(dir / "out", std::string(100000, 'x'));
  EXPECT_EQ(unpack_text(dir / "in", dir / "out"), "");
  EXPECT_EQ(read_file(dir / "out"), "short");
}

TEST(LzmaFile, EveryBadFileLeavesNoDestination) {
  std::string data = sample_data(70000);
  std::string known = lzma_known_size(data);
  std::string stream = known.substr(decoder_t::header_size);
  const std::string bad = "92 Invalid compressed file";
  struct row_t {
    const char* name;
    std::string file;
    std::uint64_t max_size;
    std::string line;
  } rows[] = {
      {"twelve bytes", known.substr(0, 12), decoder_t::no_limit,
       "Error: Unpacking lzma: can't read lzma header"},
      {"properties 225", lzma_header(data.size(), 1 << 16, 225) + stream, decoder_t::no_limit,
       "Error: Unpacking lzma: can't allocate lzma decoder structures"},
      {"truncated after some output", known.substr(0, known.size() / 2), decoder_t::no_limit,
       "Error: Unpacking lzma: lzma data corrupted"},
      {"no end marker", lzma_header(unknown_size) + stream, decoder_t::no_limit,
       "Error: Unpacking lzma: lzma data corrupted"},
      {"larger than listed", lzma_unknown_size(data), 65536,
       "Error: Unpacking lzma: unpacked size exceeds the listed size"},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    temp_dir_t dir;
    write_file(dir / "in.lzma", row.file);
    write_file(dir / "in.tmp", "left from before");
    captured_log_t log;
    EXPECT_EQ(unpack_text(dir / "in.lzma", dir / "in.tmp", row.max_size), bad);
    EXPECT_EQ(log.lines(), std::vector<std::string>{row.line});
    EXPECT_FALSE(fs::exists(dir / "in.tmp"));
  }
}

TEST(LzmaFile, FileSystemFailuresKeepTheirOwnErrors) {
  temp_dir_t dir;
  write_file(dir / "in", lzma_known_size("data"));
  fs::create_directory(dir / "folder");
  write_file(dir / "out", "old");
  captured_log_t log;
  EXPECT_EQ(unpack_text(dir / "missing", dir / "out"),
            "23 file_size: No such file or directory: \"" +
                (dir / "missing").string() + "\"");
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(unpack_text(dir / "in", dir / "no" / "out"),
            "23 ofstream::open: No such file or directory");
  EXPECT_EQ(unpack_text(dir / "in", dir / "folder"), "125 ofstream::open: Is a directory");
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_EQ(log.lines(), std::vector<std::string>{});
}

TEST(LzmaFile, AFullDiskIsAnIoErrorAndTheDestinationGoes) {
  temp_dir_t dir;
  write_file(dir / "in", lzma_unknown_size(sample_data(200000)));
  // The link, not the device, is what a failure removes.
  fs::create_symlink("/dev/full", dir / "out");
  captured_log_t log;
  EXPECT_EQ(unpack_text(dir / "in", dir / "out"), "22 IO error");
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Error: Unpacking lzma: can't flush data to output buffer"});
  EXPECT_FALSE(fs::is_symlink(dir / "out"));
  EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(LzmaFile, SizeMultipleOf64KiBFinishesExactly) {
  temp_dir_t dir;
  std::string data = sample_data(65536 * 3);
  write_file(dir / "in", lzma_known_size(data) + "trailing bytes");
  EXPECT_EQ(unpack_text(dir / "in", dir / "out", data.size()), "");
  EXPECT_TRUE(read_file(dir / "out") == data);
}

}  // namespace
}  // namespace upd
