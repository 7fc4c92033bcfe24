#include "formats/lzma_samples.h"

#include <lzma.h>

#include <random>
#include <stdexcept>

namespace upd::testing {

namespace {

// Runs an encoder set up on strm over all of data.
std::string encode(lzma_stream& strm, const std::string& data) {
  std::string out(data.size() + data.size() / 2 + 4096, '\0');
  strm.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
  strm.avail_in = data.size();
  strm.next_out = reinterpret_cast<std::uint8_t*>(out.data());
  strm.avail_out = out.size();
  lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
  out.resize(strm.total_out);
  lzma_end(&strm);
  if (ret != LZMA_STREAM_END) throw std::runtime_error("lzma_code");
  return out;
}

}  // namespace

std::string raw_lzma_stream(const std::string& data, bool end_marker, std::uint32_t dictionary) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 6)) throw std::runtime_error("lzma_lzma_preset");
  options.dict_size = dictionary;
  options.lc = 3;
  options.lp = 0;
  options.pb = 2;
  options.ext_flags = end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&strm, filters) != LZMA_OK) throw std::runtime_error("lzma_raw_encoder");
  return encode(strm, data);
}

std::string lzma_alone(const std::string& data, std::uint32_t preset) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) throw std::runtime_error("lzma_lzma_preset");
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&strm, &options) != LZMA_OK)
    throw std::runtime_error("lzma_alone_encoder");
  return encode(strm, data);
}

std::string lzma_header(std::uint64_t size_field, std::uint32_t dictionary,
                        unsigned char properties) {
  std::string header(1, static_cast<char>(properties));
  for (int i = 0; i < 4; ++i) header += static_cast<char>(dictionary >> (8 * i));
  for (int i = 0; i < 8; ++i) header += static_cast<char>(size_field >> (8 * i));
  return header;
}

std::string lzma_known_size(const std::string& data) {
  return lzma_header(data.size()) + raw_lzma_stream(data, false);
}

std::string lzma_unknown_size(const std::string& data) {
  return lzma_header(unknown_size) + raw_lzma_stream(data, true);
}

std::string sample_data(std::size_t size, unsigned seed) {
  static const char* const words[] = {"virus ", "base ", "engine ", "update ", "signature ",
                                      "\x01\x02", "nimbo ", "\xff\xfe\xfd", "0123456789"};
  std::mt19937 random(seed);
  std::string data;
  data.reserve(size + 16);
  while (data.size() < size) {
    if (random() % 8 == 0)
      data += static_cast<char>(random());
    else
      data += words[random() % std::size(words)];
  }
  data.resize(size);
  return data;
}

}  // namespace upd::testing
