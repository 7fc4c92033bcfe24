// The decoder over streams, and unpack_lzma_file over files.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <sstream>
#include <streambuf>

#include "common/error.h"
#include "formats/captured_log.h"
#include "formats/lzma_decoder.h"
#include "formats/lzma_file.h"
#include "formats/lzma_samples.h"
#include "support/file_size_limit.h"
#include "support/test_support.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::captured_log_t, testing::lzma_alone, testing::lzma_header, testing::lzma_known_size;
using testing::file_size_limit_t, testing::lzma_unknown_size, testing::raw_lzma_stream;
using testing::read_file;
using testing::sample_data, testing::temp_dir_t, testing::unknown_size, testing::write_file;
using lines_t = std::vector<std::string>;
constexpr std::uint64_t no_limit = decoder_t::no_limit;

// Hands out at most chunk bytes per underflow, like a pipe or a slow disk.
class chunked_buf_t : public std::streambuf {
 public:
  chunked_buf_t(std::string data, std::size_t chunk) : data_(std::move(data)), chunk_(chunk) {}

 protected:
  int_type underflow() override {
    if (pos_ >= data_.size()) return traits_type::eof();
    char* begin = data_.data() + pos_;
    pos_ += std::min(chunk_, data_.size() - pos_);
    setg(begin, begin, data_.data() + pos_);
    return traits_type::to_int_type(*begin);
  }

 private:
  std::string data_;
  std::size_t chunk_, pos_ = 0;
};

struct outcome_t {
  std::string output;
  nb::ErrorCode code = nb::EC_OK;
  lines_t log;
};

// Decodes file, fed chunk bytes at a time. (A failing output is the full disk below.)
outcome_t unpack(const std::string& file, std::uint64_t max_size = no_limit,
                 std::size_t chunk = SIZE_MAX) {
  captured_log_t log;
  chunked_buf_t in(file, chunk);
  std::istream input(&in);
  std::ostringstream output;
  outcome_t outcome;
  try {
    decoder_t(input, output, max_size).run();
  } catch (const boost::system::system_error& e) {
    outcome.code = code_from_exception(&e);
  }
  outcome.output = output.str();
  outcome.log = log.lines();
  return outcome;
}

// The error's text as the engine would report it, or "" on success.
std::string unpack_text(const fs::path& source, const fs::path& destination,
                        std::uint64_t max_size = no_limit) {
  try {
    unpack_lzma_file(source, destination, max_size);
    return "";
  } catch (const std::exception& e) {
    return std::to_string(code_from_exception(&e)) + " " + text_from_exception(e);
  }
}

// The same file through unpack_lzma_file over a longer destination gives
// what the decoder gave, or the engine's error and no destination.
void expect_file_alike(const std::string& file, std::uint64_t max_size, const outcome_t& decoded) {
  temp_dir_t dir;
  write_file(dir / "in.lzma", file);
  write_file(dir / "in.tmp", std::string(400000, 'x'));
  captured_log_t log;
  const std::string error = unpack_text(dir / "in.lzma", dir / "in.tmp", max_size);
  EXPECT_EQ(log.lines(), decoded.log);
  if (decoded.code != nb::EC_OK) {
    EXPECT_EQ(error, "92 Invalid compressed file");
    EXPECT_FALSE(fs::exists(dir / "in.tmp"));
  } else {
    EXPECT_EQ(error, "");
    EXPECT_TRUE(read_file(dir / "in.tmp") == decoded.output);
  }
}

void expect_one_error(const outcome_t& outcome) {
  EXPECT_EQ(outcome.code, nb::EC_BAD_LZMA_FILE);
  ASSERT_EQ(outcome.log.size(), 1u);
  EXPECT_EQ(outcome.log[0].rfind("Error: Unpacking lzma: ", 0), 0u);
}

TEST(LzmaDecoder, EveryFormUnpacksEverySizeUpToTheBoundWhateverFollows) {
  const std::string garbage(100000, '\x5a');
  for (std::size_t size : {1, 13, 1000, 65535, 65536, 65537, 131072, 200000}) {
    SCOPED_TRACE(size);
    const std::string data = sample_data(size);
    // What liblzma's encoder (so "xz --format=lzma") makes is among them.
    for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data),
                                    lzma_header(size) + raw_lzma_stream(data, true),
                                    lzma_alone(data)}) {
      for (const std::string& tail : {std::string(), garbage}) {
        const outcome_t outcome = unpack(file + tail, size);
        EXPECT_EQ(outcome.code, nb::EC_OK);
        EXPECT_TRUE(outcome.output == data);
        EXPECT_EQ(outcome.log, lines_t{});
        expect_file_alike(file + tail, size, outcome);
      }
    }
  }
  for (const std::string& tail : {std::string(), garbage}) {
    EXPECT_EQ(unpack(lzma_header(0) + tail).code, nb::EC_OK);
    EXPECT_EQ(unpack(lzma_header(0) + tail).output, "");
  }
}

TEST(LzmaDecoder, FailuresLogOneLineWithTheirCode) {
  // Large enough that a cut near the end fails after some output.
  const std::string data = sample_data(70000), known = lzma_known_size(data);
  const std::string stream = known.substr(decoder_t::header_size);
  const std::string no_header = "Error: Unpacking lzma: can't read lzma header",
                    no_memory = "Error: Unpacking lzma: can't allocate lzma decoder structures",
                    corrupted = "Error: Unpacking lzma: lzma data corrupted",
                    exceeds = "Error: Unpacking lzma: unpacked size exceeds the listed size";
  struct row_t {
    const char* name;
    std::string file;
    std::uint64_t max_size;
    std::string line;
  } rows[] = {
      {"empty", "", no_limit, no_header},
      {"twelve bytes", known.substr(0, 12), no_limit, no_header},
      {"properties 225", lzma_header(data.size(), 1 << 16, 225) + stream, no_limit, no_memory},
      {"properties 255", lzma_header(unknown_size, 1 << 16, 255), no_limit, no_memory},
      {"truncated known size", known.substr(0, known.size() - 10), no_limit, corrupted},
      {"header only", lzma_header(data.size()), no_limit, corrupted},
      {"unknown size without end marker", lzma_header(unknown_size) + stream, no_limit, corrupted},
      {"range coder must start with zero", lzma_header(data.size()) + "\x01" + stream.substr(1),
       no_limit, "Error: Unpacking lzma: invalid lzma data"},
      {"known size above the bound", known, data.size() - 1, exceeds},
      {"unknown size above the bound", lzma_unknown_size(data), data.size() - 1, exceeds},
      {"unknown size far above the bound", lzma_unknown_size(data), 10, exceeds},
      {"bound zero", lzma_unknown_size(data), 0, exceeds},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    const outcome_t outcome = unpack(row.file, row.max_size);
    EXPECT_EQ(outcome.code, nb::EC_BAD_LZMA_FILE);
    EXPECT_EQ(outcome.log, lines_t{row.line});
    // Nothing past the bound was written before the failure was noticed.
    EXPECT_LE(outcome.output.size(), row.max_size);
    expect_file_alike(row.file, row.max_size, outcome);
  }
}

// LZMA carries no checksum, so a flipped byte may still decode; what matters
// is that every outcome is either the declared amount of output or one
// logged error, never a crash, a hang or more output than declared.
TEST(LzmaDecoder, EveryCutFailsAndEveryFlippedByteEndsInOutputOrOneError) {
  const std::string data = sample_data(3000);
  for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data)}) {
    for (std::size_t at = 0; at < file.size(); ++at) {
      SCOPED_TRACE(at);
      expect_one_error(unpack(file.substr(0, at)));
      std::string flipped = file;
      flipped[at] = static_cast<char>(flipped[at] ^ 0xa5);
      // The bound keeps a flipped size field from asking for gigabytes.
      const outcome_t outcome = unpack(flipped, 1 << 20);
      if (outcome.code != nb::EC_OK) {
        expect_one_error(outcome);
      } else {
        EXPECT_LE(outcome.output.size(), 1u << 20);
        EXPECT_EQ(outcome.log, lines_t{});
      }
    }
  }
}

TEST(LzmaDecoder, DictionaryIsClampedToWhatTheOutputCanUse) {
  const std::string data = sample_data(10000);
  // Encoded for the smallest dictionary, so every row's dictionary fits it.
  const std::string stream = raw_lzma_stream(data, true, 4096);
  struct row_t {
    const char* name;
    std::uint32_t dictionary;
    std::uint64_t size_field, max_size;
    std::size_t allocated;
  } rows[] = {
      {"4 GiB, listed size", 0xffffffff, unknown_size, data.size(), data.size()},
      {"4 GiB, known size", 0xffffffff, data.size(), no_limit, data.size()},
      {"smaller of both", 0xffffffff, data.size(), 20000, data.size()},
      {"listed size above the output", 0xffffffff, unknown_size, 20000, 20000},
      {"header smaller than bound", 1 << 16, unknown_size, 1 << 20, 1 << 16},
      {"below the floor", 100, unknown_size, 1 << 20, 4096},
      {"nothing to unpack", 0xffffffff, 0, no_limit, 4096},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    std::istringstream input(lzma_header(row.size_field, row.dictionary) + stream);
    std::ostringstream output;
    decoder_t decoder(input, output, row.max_size);
    decoder.run();
    EXPECT_TRUE(output.str() == (row.size_field == 0 ? "" : data));
    EXPECT_EQ(decoder.dictionary_size(), row.allocated);
  }
}

TEST(LzmaDecoder, InputArrivingInPiecesUnpacksTheSame) {
  const std::string data = sample_data(150000);
  for (std::size_t chunk : {1, 5, 13, 4096, 65537}) {
    SCOPED_TRACE(chunk);
    for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data)})
      EXPECT_TRUE(unpack(file, no_limit, chunk).output == data);
  }
}

TEST(LzmaFile, FileSystemFailuresKeepTheirOwnErrors) {
  temp_dir_t dir;
  write_file(dir / "in", lzma_known_size("data"));
  fs::create_directory(dir / "folder");
  write_file(dir / "out", "old");
  captured_log_t log;
  EXPECT_EQ(unpack_text(dir / "missing", dir / "out"), "23 open: No such file or directory");
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(unpack_text(dir / "in", dir / "no" / "out"), "23 open: No such file or directory");
  EXPECT_EQ(unpack_text(dir / "in", dir / "folder"), "125 unlink: Is a directory");
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_EQ(log.lines(), lines_t{});
}

TEST(LzmaFile, AFullDiskIsAnIoErrorAndTheDestinationGoes) {
  temp_dir_t dir;
  write_file(dir / "in", lzma_unknown_size(sample_data(200000)));
  captured_log_t log;
  std::string error;
  {
    const file_size_limit_t full_disk(100000);
    error = unpack_text(dir / "in", dir / "out");
  }
  EXPECT_EQ(error, "22 IO error");
  EXPECT_EQ(log.lines(), lines_t{"Error: Unpacking lzma: can't flush data to output buffer"});
  EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace upd
