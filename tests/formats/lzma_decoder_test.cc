#include "formats/lzma_decoder.h"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>
#include <sstream>
#include <streambuf>

#include "common/error.h"
#include "formats/captured_log.h"
#include "formats/lzma_samples.h"

namespace upd {
namespace {

using testing::captured_log_t;
using testing::lzma_header;
using testing::lzma_known_size;
using testing::raw_lzma_stream;
using testing::lzma_unknown_size;
using testing::sample_data;
using testing::unknown_size;

struct outcome_t {
  std::string output;
  nb::ErrorCode code = nb::EC_OK;
  std::vector<std::string> log;
};

outcome_t unpack(const std::string& file, std::uint64_t max_size = decoder_t::no_limit) {
  captured_log_t log;
  std::istringstream input(file);
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

using lines_t = std::vector<std::string>;

TEST(LzmaDecoder, BothFormsUnpackEverySize) {
  for (std::size_t size : {1, 13, 1000, 65535, 65536, 65537, 131072, 200000}) {
    SCOPED_TRACE(size);
    std::string data = sample_data(size);
    for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data)}) {
      outcome_t outcome = unpack(file);
      EXPECT_EQ(outcome.code, nb::EC_OK);
      EXPECT_TRUE(outcome.output == data);
      EXPECT_EQ(outcome.log, lines_t{});
    }
  }
}

TEST(LzmaDecoder, KnownSizeFollowedByEndMarkerUnpacks) {
  std::string data = sample_data(70000);
  outcome_t outcome = unpack(lzma_header(data.size()) + raw_lzma_stream(data, true));
  EXPECT_EQ(outcome.code, nb::EC_OK);
  EXPECT_TRUE(outcome.output == data);
}

TEST(LzmaDecoder, ZeroSizeYieldsNothingWhateverFollows) {
  for (const std::string& tail : {std::string(), std::string("\xff\xff\xff\xff\xff\xff garbage")}) {
    outcome_t outcome = unpack(lzma_header(0) + tail);
    EXPECT_EQ(outcome.code, nb::EC_OK);
    EXPECT_EQ(outcome.output, "");
  }
}

TEST(LzmaDecoder, BytesAfterTheEndAreIgnored) {
  std::string data = sample_data(65536 * 2);
  for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data)}) {
    outcome_t outcome = unpack(file + std::string(100000, '\x5a'));
    EXPECT_EQ(outcome.code, nb::EC_OK);
    EXPECT_TRUE(outcome.output == data);
  }
}

TEST(LzmaDecoder, FailuresLogOneLineWithTheirCode) {
  std::string data = sample_data(5000);
  std::string known = lzma_known_size(data);
  std::string stream = known.substr(decoder_t::header_size);
  std::string bad_first_byte = lzma_header(data.size()) + "\x01" + stream.substr(1);
  struct row_t {
    const char* name;
    std::string file;
    std::string line;
  } rows[] = {
      {"empty", "", "Error: Unpacking lzma: can't read lzma header"},
      {"twelve bytes", known.substr(0, 12), "Error: Unpacking lzma: can't read lzma header"},
      {"properties 225", lzma_header(data.size(), 1 << 16, 225) + stream,
       "Error: Unpacking lzma: can't allocate lzma decoder structures"},
      {"properties 255", lzma_header(unknown_size, 1 << 16, 255),
       "Error: Unpacking lzma: can't allocate lzma decoder structures"},
      {"truncated known size", known.substr(0, known.size() - 10),
       "Error: Unpacking lzma: lzma data corrupted"},
      {"header only", lzma_header(data.size()), "Error: Unpacking lzma: lzma data corrupted"},
      {"unknown size without end marker", lzma_header(unknown_size) + stream,
       "Error: Unpacking lzma: lzma data corrupted"},
      {"range coder must start with zero", bad_first_byte,
       "Error: Unpacking lzma: invalid lzma data"},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    outcome_t outcome = unpack(row.file);
    EXPECT_EQ(outcome.code, nb::EC_BAD_LZMA_FILE);
    EXPECT_EQ(outcome.log, lines_t{row.line});
  }
}

TEST(LzmaDecoder, ErrorTextIsTheCodesText) {
  std::istringstream input("short");
  std::ostringstream output;
  captured_log_t log;
  try {
    decoder_t(input, output).run();
    FAIL();
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(text_from_exception(e), "Invalid compressed file");
  }
}

TEST(LzmaDecoder, EveryCutOfAFileFailsCleanly) {
  std::string data = sample_data(3000);
  for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data)}) {
    for (std::size_t length = 0; length < file.size(); ++length) {
      SCOPED_TRACE(length);
      outcome_t outcome = unpack(file.substr(0, length));
      EXPECT_EQ(outcome.code, nb::EC_BAD_LZMA_FILE);
      ASSERT_EQ(outcome.log.size(), 1u);
      EXPECT_EQ(outcome.log[0].rfind("Error: Unpacking lzma: ", 0), 0u);
    }
  }
}

// LZMA carries no checksum, so a flipped byte may still decode; what matters
// is that every outcome is either the declared amount of output or one
// logged error, never a crash, a hang or more output than declared.
TEST(LzmaDecoder, EveryFlippedByteEndsInOutputOrOneError) {
  std::string data = sample_data(2000);
  std::string file = lzma_known_size(data);
  for (std::size_t at = 0; at < file.size(); ++at) {
    SCOPED_TRACE(at);
    std::string flipped = file;
    flipped[at] = static_cast<char>(flipped[at] ^ 0xa5);
    // The bound keeps a flipped size field from asking for gigabytes.
    outcome_t outcome = unpack(flipped, 1 << 20);
    if (outcome.code == nb::EC_OK) {
      EXPECT_LE(outcome.output.size(), 1u << 20);
      EXPECT_EQ(outcome.log, lines_t{});
    } else {
      EXPECT_EQ(outcome.code, nb::EC_BAD_LZMA_FILE);
      ASSERT_EQ(outcome.log.size(), 1u);
      EXPECT_EQ(outcome.log[0].rfind("Error: Unpacking lzma: ", 0), 0u);
    }
  }
}

TEST(LzmaDecoder, OutputBeyondTheListedSizeFails) {
  std::string data = sample_data(100000);
  const std::string exceeds = "Error: Unpacking lzma: unpacked size exceeds the listed size";
  struct row_t {
    const char* name;
    std::string file;
    std::uint64_t max_size;
    nb::ErrorCode code;
  } rows[] = {
      {"known size at the bound", lzma_known_size(data), data.size(), nb::EC_OK},
      {"unknown size at the bound", lzma_unknown_size(data), data.size(), nb::EC_OK},
      {"known size above the bound", lzma_known_size(data), data.size() - 1, nb::EC_BAD_LZMA_FILE},
      {"unknown size above the bound", lzma_unknown_size(data), data.size() - 1,
       nb::EC_BAD_LZMA_FILE},
      {"unknown size far above the bound", lzma_unknown_size(data), 10, nb::EC_BAD_LZMA_FILE},
      {"bound zero", lzma_unknown_size(data), 0, nb::EC_BAD_LZMA_FILE},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    outcome_t outcome = unpack(row.file, row.max_size);
    EXPECT_EQ(outcome.code, row.code);
    if (row.code == nb::EC_OK) {
      EXPECT_TRUE(outcome.output == data);
    } else {
      EXPECT_EQ(outcome.log, lines_t{exceeds});
      // Nothing past the bound was written before the failure was noticed.
      EXPECT_LE(outcome.output.size(), row.max_size);
    }
  }
}

TEST(LzmaDecoder, DictionaryIsClampedToWhatTheOutputCanUse) {
  std::string data = sample_data(10000);
  // Encoded for the smallest dictionary, so every row's dictionary fits it.
  std::string stream = raw_lzma_stream(data, true, 4096);
  struct row_t {
    const char* name;
    std::uint32_t dictionary;
    std::uint64_t size_field;
    std::uint64_t max_size;
    std::size_t allocated;
  } rows[] = {
      {"4 GiB, listed size", 0xffffffff, unknown_size, data.size(), data.size()},
      {"4 GiB, known size", 0xffffffff, data.size(), decoder_t::no_limit, data.size()},
      {"smaller of both", 0xffffffff, data.size(), 20000, data.size()},
      {"listed size above the output", 0xffffffff, unknown_size, 20000, 20000},
      {"header smaller than bound", 1 << 16, unknown_size, 1 << 20, 1 << 16},
      {"below the floor", 100, unknown_size, 1 << 20, 4096},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.name);
    std::istringstream input(lzma_header(row.size_field, row.dictionary) + stream);
    std::ostringstream output;
    decoder_t decoder(input, output, row.max_size);
    decoder.run();
    EXPECT_TRUE(output.str() == data);
    EXPECT_EQ(decoder.dictionary_size(), row.allocated);
  }
  std::istringstream input(lzma_header(0, 0xffffffff));
  std::ostringstream output;
  decoder_t empty(input, output);
  empty.run();
  EXPECT_EQ(empty.dictionary_size(), 4096u);
}

// Hands out at most chunk bytes per underflow, like a pipe or a slow disk.
class chunked_buf_t : public std::streambuf {
 public:
  chunked_buf_t(std::string data, std::size_t chunk) : data_(std::move(data)), chunk_(chunk) {}

 protected:
  int_type underflow() override {
    if (pos_ >= data_.size()) return traits_type::eof();
    std::size_t n = std::min(chunk_, data_.size() - pos_);
    char* begin = data_.data() + pos_;
    setg(begin, begin, begin + n);
    pos_ += n;
    return traits_type::to_int_type(*begin);
  }
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    // Route every read through underflow so each arrives in pieces.
    std::streamsize done = 0;
    while (done < n) {
      if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) break;
      std::streamsize take = std::min<std::streamsize>(n - done, egptr() - gptr());
      std::copy(gptr(), gptr() + take, s + done);
      gbump(static_cast<int>(take));
      done += take;
    }
    return done;
  }

 private:
  std::string data_;
  std::size_t chunk_;
  std::size_t pos_ = 0;
};

TEST(LzmaDecoder, InputArrivingInPiecesUnpacksTheSame) {
  std::string data = sample_data(150000);
  for (std::size_t chunk : {1, 5, 13, 4096, 65537}) {
    SCOPED_TRACE(chunk);
    for (const std::string& file : {lzma_known_size(data), lzma_unknown_size(data)}) {
      chunked_buf_t buf(file, chunk);
      std::istream input(&buf);
      std::ostringstream output;
      decoder_t(input, output).run();
      EXPECT_TRUE(output.str() == data);
    }
  }
}

// Accepts limit bytes, then fails every write.
class failing_buf_t : public std::streambuf {
 public:
  explicit failing_buf_t(std::size_t limit) : limit_(limit) {}

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    if (static_cast<std::size_t>(n) > limit_) return 0;
    limit_ -= static_cast<std::size_t>(n);
    return n;
  }
  int_type overflow(int_type) override { return traits_type::eof(); }

 private:
  std::size_t limit_;
};

TEST(LzmaDecoder, OutputFailureIsAnIoError) {
  std::string file = lzma_unknown_size(sample_data(200000));
  for (std::size_t limit : {0, 65536, 131072}) {
    SCOPED_TRACE(limit);
    captured_log_t log;
    failing_buf_t buf(limit);
    std::ostream output(&buf);
    std::istringstream input(file);
    try {
      decoder_t(input, output).run();
      ADD_FAILURE();
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(code_from_exception(&e), nb::EC_IO_ERROR);
    }
    EXPECT_EQ(log.lines(), lines_t{"Error: Unpacking lzma: can't flush data to output buffer"});
  }
}

}  // namespace
}  // namespace upd
