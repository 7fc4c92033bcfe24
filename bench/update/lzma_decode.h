// The decode floor of an update: how long one thread takes to unpack an
// LZMA-alone file in-process with liblzma, the unpacked bytes thrown away.
// The file is read into memory first, outside the time, so that only the
// decoding counts.
#pragma once

#include <lzma.h>

#include <boost/filesystem/path.hpp>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace upd::bench {

inline double lzma_decode_seconds(const boost::filesystem::path& packed) {
  const std::string bytes = upd::testing::read_file(packed);
  std::vector<std::uint8_t> out(1 << 16);
  const auto start = std::chrono::steady_clock::now();
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&stream, UINT64_MAX) != LZMA_OK) throw std::runtime_error("no LZMA decoder");
  stream.next_in = reinterpret_cast<const std::uint8_t*>(bytes.data());
  stream.avail_in = bytes.size();
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK) {
    stream.next_out = out.data();
    stream.avail_out = out.size();
    result = lzma_code(&stream, LZMA_FINISH);
  }
  lzma_end(&stream);
  if (result != LZMA_STREAM_END) throw std::runtime_error(packed.string() + ": LZMA error " + std::to_string(result));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace upd::bench
