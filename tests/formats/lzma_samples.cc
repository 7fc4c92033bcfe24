#include "formats/lzma_samples.h"

#include <lzma.h>

#include <random>
#include <stdexcept>

namespace upd::testing {

namespace {

// Runs the encoder that init sets up on strm over all of data.
std::string encode(const std::string& data, bool init_ok, lzma_stream& strm) {
  if (!init_ok) throw std::runtime_error("lzma encoder set-up");
  std::string out(data.size() + data.size() / 2 + 4096, '\0');
  strm.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
  strm.avail_in = data.size();
  strm.next_out = reinterpret_cast<std::uint8_t*>(out.data());
  strm.avail_out = out.size();
  const lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
  out.resize(strm.total_out);
  lzma_end(&strm);
  if (ret != LZMA_STREAM_END) throw std::runtime_error("lzma_code");
  return out;
}

}  // namespace

std::string raw_lzma_stream(const std::string& data, bool end_marker, std::uint32_t dictionary) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  options.dict_size = dictionary;
  options.ext_flags = end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  return encode(data, lzma_raw_encoder(&strm, filters) == LZMA_OK, strm);
}

std::string lzma_alone(const std::string& data, std::uint32_t preset) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, preset);
  lzma_stream strm = LZMA_STREAM_INIT;
  return encode(data, lzma_alone_encoder(&strm, &options) == LZMA_OK, strm);
}

std::string lzma_header(std::uint64_t size_field, std::uint32_t dictionary, unsigned char properties) {
  std::string header(1, static_cast<char>(properties));
  for (int i = 0; i < 4; ++i) header += static_cast<char>(dictionary >> (8 * i));
  for (int i = 0; i < 8; ++i) header += static_cast<char>(size_field >> (8 * i));
  return header;
}

std::string sample_data(std::size_t size, unsigned seed) {
  static const char* const words[] = {"virus ", "base ", "engine ", "update ", "\x01\x02", "\xff\xfe\xfd", "0123456789"};
  std::mt19937 random(seed);
  std::string data;
  while (data.size() < size)
    data += random() % 8 == 0 ? std::string(1, static_cast<char>(random())) : words[random() % std::size(words)];
  data.resize(size);
  return data;
}

}  // namespace upd::testing
