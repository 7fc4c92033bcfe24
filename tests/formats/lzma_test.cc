// The decoder over streams (unpack_lzma_file over files: the end-to-end
// fall-backs and the hostile LZMA bomb).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/system/system_error.hpp>
#include <random>
#include <sstream>

#include "common/error.h"
#include "common/unique_fd.h"
#include "formats/lzma_decoder.h"
#include "formats/lzma_file.h"
#include "formats/lzma_samples.h"
#include "support/test_support.h"

namespace upd {
namespace {

using namespace testing;
using lines_t = std::vector<std::string>;
constexpr std::uint64_t no_limit = decoder_t::no_limit;

struct outcome_t {
  std::string output;
  nb::ErrorCode code = nb::EC_OK;
  lines_t log;
  bool operator==(const outcome_t&) const = default;
};

outcome_t unpack(const std::string& file, std::uint64_t max_size = no_limit) {
  captured_log_t log;
  std::istringstream input(file);
  std::ostringstream output;
  nb::ErrorCode code = nb::EC_OK;
  try {
    decoder_t(input, output, max_size).run();
  } catch (const boost::system::system_error& e) {
    code = code_from_exception(&e);
  }
  return {output.str(), code, log.lines()};
}

TEST(LzmaDecoder, EveryFormUnpacksEverySizeUpToTheBoundWhateverFollows) {
  const std::string garbage(100000, '\x5a');
  for (std::size_t size : {0, 1, 65536, 65537, 200000}) {
    SCOPED_TRACE(size);
    const std::string data = sample_data(size);
    // What liblzma's encoder (so "xz --format=lzma") makes is among them.
    for (const std::string& file : {lzma_header(size) + raw_lzma_stream(data, false),
                                    lzma_header(unknown_size) + raw_lzma_stream(data, true),
                                    lzma_header(size) + raw_lzma_stream(data, true), lzma_alone(data)}) {
      for (const std::string& tail : {std::string(), garbage})
        EXPECT_TRUE(unpack(file + tail, size) == (outcome_t{data, nb::EC_OK, {}})) << unpack(file + tail, size).code;
    }
  }
}

TEST(LzmaDecoder, FailuresLogOneLineWithTheirCode) {
  // Large enough that a cut near the end fails after some output.
  const std::string data = sample_data(70000), stream = raw_lzma_stream(data, false),
                    known = lzma_header(data.size()) + stream, unknown = lzma_header(unknown_size) +
                                                                       raw_lzma_stream(data, true);
  const std::string no_header = "can't read lzma header", no_memory = "can't allocate lzma decoder structures",
                    corrupted = "lzma data corrupted", exceeds = "unpacked size exceeds the listed size";
  const struct {
    std::string file;
    std::uint64_t max_size;
    std::string line;
  } rows[] = {
      {known.substr(0, 12), no_limit, no_header},  // one byte short of a header
      {lzma_header(data.size(), 1 << 16, 225) + stream, no_limit, no_memory},
      {lzma_header(data.size(), decoder_t::max_dictionary + 1) + stream, no_limit, "dictionary too large"},
      {known.substr(0, known.size() - 10), no_limit, corrupted},
      {lzma_header(data.size()), no_limit, corrupted},
      {lzma_header(unknown_size) + stream, no_limit, corrupted},
      {lzma_header(data.size()) + "\x01" + stream.substr(1), no_limit, "invalid lzma data"},
      {known, data.size() - 1, exceeds},
      {unknown, data.size() - 1, exceeds},
      {unknown, 0, exceeds},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    const outcome_t outcome = unpack(row.file, row.max_size);
    EXPECT_EQ(outcome.code, nb::EC_BAD_LZMA_FILE);
    EXPECT_EQ(outcome.log, lines_t{"Warning: Unpacking lzma: " + row.line});
    // Nothing past the bound was written before the failure was noticed.
    EXPECT_LE(outcome.output.size(), row.max_size);
  }
}

TEST(LzmaDecoder, DictionaryIsClampedToWhatTheOutputCanUse) {
  const std::string data = sample_data(10000);
  // Encoded for the smallest dictionary, so every row's dictionary fits it.
  const std::string stream = raw_lzma_stream(data, true, 4096);
  const std::uint32_t max = decoder_t::max_dictionary;
  const struct {
    std::uint32_t dictionary;
    std::uint64_t size_field, max_size;
    std::size_t allocated;
  } rows[] = {
      {max, unknown_size, data.size(), data.size()}, {max, data.size(), no_limit, data.size()},
      {max, data.size(), 20000, data.size()},         {max, unknown_size, 20000, 20000},
      {1 << 16, unknown_size, 1 << 20, 1 << 16},      {100, unknown_size, 1 << 20, 4096},
      {max, 0, no_limit, 4096},
  };
  for (const auto& row : rows) {
    const std::string file = lzma_header(row.size_field, row.dictionary) + stream;
    std::istringstream input(file);
    std::ostringstream output;
    decoder_t decoder(input, output, row.max_size);
    decoder.run();
    EXPECT_TRUE(output.str() == (row.size_field == 0 ? "" : data));
    EXPECT_EQ(decoder.dictionary_size(), row.allocated) << row.allocated;
    const auto& header = reinterpret_cast<const unsigned char(&)[decoder_t::header_size]>(*file.data());
    EXPECT_EQ(decoder_t::dictionary_for(header, row.max_size), row.allocated);
  }
}

}  // namespace
}  // namespace upd

namespace upd::testing {
namespace {

// Staging unpacks a large file with its packed form beside it: the packed
// blocks go back as they are read, so the two are not on disk together.
TEST(LzmaFile, ReleasingTheSourceGivesBackItsBlocksAndKeepsTheOutput) {
  temp_dir_t dir;
  std::string data(6 << 20, '\0');
  std::mt19937 random(3);
  for (auto& c : data) c = static_cast<char>(random());
  write_file(dir / "a.lzma", lzma_alone(data, 0));
  unpack_lzma_file(dir / "a.lzma", dir / "a", data.size(), source_space_t::release);
  EXPECT_EQ(read_file(dir / "a"), data);
  struct stat status;
  ASSERT_EQ(::stat((dir / "a.lzma").c_str(), &status), 0);
  const unique_fd_t probe(::open((dir / "a").c_str(), O_RDWR));
  if (::fallocate(probe.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096) != 0)
    GTEST_SKIP() << "no holes on this file system";
  EXPECT_LT(status.st_blocks * 512, 3 << 20);
}

}  // namespace
}  // namespace upd::testing
