// Fuzz target: the LZMA driver decoder_t on memory streams, with the output
// bounded as the staging code bounds it by a file's listed size. The first
// input byte picks the bound (up to 256 KiB), so that both the bound and
// the header's own size end the data. A failure must be the driver's
// EC_BAD_LZMA_FILE; a success never writes more than the bound, nor other
// than the declared size when the header gives one.
#include <boost/system/system_error.hpp>
#include <sstream>
#include <string>

#include "common/error.h"
#include "formats/lzma_decoder.h"
#include "fuzz_support.h"

void fuzz_one(std::string_view bytes) {
  if (bytes.empty()) return;
  const std::uint64_t bound = std::uint64_t{static_cast<unsigned char>(bytes[0])} << 10;
  std::istringstream input{std::string(bytes.substr(1))};
  std::ostringstream output;
  upd::decoder_t decoder(input, output, bound);
  try {
    decoder.run();
  } catch (const boost::system::system_error& e) {
    FUZZ_CHECK(e.code() == nb::make_error_code(nb::EC_BAD_LZMA_FILE));
    FUZZ_CHECK(output.str().size() <= bound);
    return;
  }
  FUZZ_CHECK(output.str().size() <= bound);
  FUZZ_CHECK(decoder.dictionary_size() <= std::max<std::uint64_t>(bound, 4096));
  std::uint64_t declared = 0;
  for (int i = 13; i >= 6; --i) declared = (declared << 8) | static_cast<unsigned char>(bytes[i]);
  FUZZ_CHECK(declared == UINT64_MAX || output.str().size() == declared);
}
