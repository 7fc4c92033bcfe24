#include "formats/lzma_file.h"

#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <fstream>

#include "common/error.h"

namespace upd {
namespace {

void unpack(const boost::filesystem::path& source, const boost::filesystem::path& destination,
            std::uint64_t max_size) {
  // Only its failure matters: a missing or unreadable source is reported as
  // the file system's own error.
  boost::filesystem::file_size(source);
  std::ifstream input(source.native(), std::ios::in | std::ios::binary);
  if (!input.is_open()) throw errno_error(errno, "ifstream::open");
  std::ofstream output(destination.native(), std::ios::out | std::ios::binary | std::ios::trunc);
  if (!output.is_open()) throw errno_error(errno, "ofstream::open");
  decoder_t(input, output, max_size).run();
  output.close();
  if (output.fail()) throw_lzma_error("can't flush data to output buffer", nb::EC_IO_ERROR);
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
