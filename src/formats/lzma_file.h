// Unpacking of a ".lzma" file on disk into another file, for the staging
// code on the update worker thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>

#include "formats/lzma_decoder.h"

namespace upd {

// Unpacks the ".lzma" file at source into destination, creating or
// truncating it; max_size bounds the unpacked size (see decoder_t). On any
// failure the destination is removed (errors of the removal are ignored) and
// the error goes on: the file-system error of the source's size query, a
// system error with errno and "ifstream::open" or "ofstream::open", or the
// decoder's EC_BAD_LZMA_FILE / EC_IO_ERROR.
void unpack_lzma_file(const boost::filesystem::path& source,
                      const boost::filesystem::path& destination,
                      std::uint64_t max_size = decoder_t::no_limit);

}  // namespace upd
