// Fuzz target: the LZMA driver decoder_t on memory streams, with the output
// bounded as the staging code bounds it by a file's listed size. The first
// input byte picks the bound (up to 256 KiB), so that both the bound and
// the header's own size end the data. A failure must be the driver's
// EC_BAD_LZMA_FILE; a success never writes more than the bound, nor other
// than the declared size when the header gives one.
#include <boost/system/system_error.hpp>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/error.h"
#include "formats/lzma_decoder.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint64_t bound = std::uint64_t{data[0]} << 10;
  std::istringstream input(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  std::ostringstream output;
  upd::decoder_t decoder(input, output, bound);
  try {
    decoder.run();
  } catch (const boost::system::system_error& e) {
    FUZZ_CHECK(e.code() == nb::make_error_code(nb::EC_BAD_LZMA_FILE));
    FUZZ_CHECK(output.str().size() <= bound);
    return 0;
  }
  const std::size_t produced = output.str().size();
  FUZZ_CHECK(produced <= bound);
  FUZZ_CHECK(decoder.dictionary_size() <= std::max<std::uint64_t>(bound, 4096));
  std::uint64_t declared = 0;
  for (int i = 12; i >= 5; --i) declared = (declared << 8) | data[1 + i];
  if (declared != UINT64_MAX) FUZZ_CHECK(produced == declared);
  return 0;
}
