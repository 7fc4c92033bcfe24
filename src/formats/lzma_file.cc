#include "formats/lzma_file.h"

#include <unistd.h>

#include <ext/stdio_filebuf.h>
#include <istream>
#include <ostream>

#include "common/error.h"
#include "common/safe_file.h"

namespace upd {
namespace {

constexpr mode_t unpacked_mode = 0600;

void unpack(const boost::filesystem::path& source, const boost::filesystem::path& destination,
            std::uint64_t max_size) {
  // The files are opened by descriptor, which the standard streams cannot
  // do; libstdc++'s descriptor buffer carries them into the decoder's
  // streams and closes them.
  __gnu_cxx::stdio_filebuf<char> input_buffer(open_regular_file(source, links_t::refuse).release(),
                                              std::ios::in | std::ios::binary);
  __gnu_cxx::stdio_filebuf<char> output_buffer(create_file(destination, unpacked_mode).release(),
                                               std::ios::out | std::ios::binary);
  std::istream input(&input_buffer);
  std::ostream output(&output_buffer);
  decoder_t(input, output, max_size).run();
  if (!output_buffer.close())
    throw_lzma_error("can't flush data to output buffer", nb::EC_IO_ERROR);
}

}  // namespace

void unpack_lzma_file(const boost::filesystem::path& source,
                      const boost::filesystem::path& destination, std::uint64_t max_size) {
  try {
    unpack(source, destination, max_size);
  } catch (...) {
    // unlink, not remove: a directory standing at the destination is not
    // ours to delete.
    ::unlink(destination.c_str());
    throw;
  }
}

}  // namespace upd
