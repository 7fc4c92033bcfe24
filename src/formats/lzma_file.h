// Unpacking of a ".lzma" file on disk into another file, for the staging
// code of an update. Both files belong to the update directory: the source
// is opened without following a link and without blocking, the destination
// is created anew (common/safe_file.h), so nothing planted at either name is
// read or written through.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>

#include "formats/lzma_decoder.h"

namespace upd {

// What becomes of the source's disk space while it is read.
enum class source_space_t {
  keep,
  // Blocks already read are given back to the file system (holes are
  // punched), so that the packed and the unpacked copy of a large file do
  // not fill the disk together: the source is no longer usable afterwards,
  // whatever the outcome. File systems without holes keep the blocks.
  release,
};

// Unpacks the ".lzma" file at source into destination, replacing whatever
// stood there, with mode 0600; max_size bounds the unpacked size (see
// decoder_t). On any failure the destination is removed (errors of the
// removal are ignored) and the error goes on: a system error with errno and
// the context of open_regular_file or create_file, a file-system error
// "write" with errno and the destination's path (ENOSPC for a full disk),
// or the decoder's EC_BAD_LZMA_FILE. An interruption of the boost thread that
// runs it stops the unpacking between two pieces of output.
void unpack_lzma_file(const boost::filesystem::path& source,
                      const boost::filesystem::path& destination,
                      std::uint64_t max_size = decoder_t::no_limit,
                      source_space_t space = source_space_t::keep);

// The bytes of dictionary that unpack_lzma_file(source, ..., max_size)
// will allocate (decoder_t::dictionary_for of the file's header): 0 for a
// file too short for a header. Throws the system errors of
// open_regular_file with links_t::refuse.
std::uint64_t lzma_file_dictionary(const boost::filesystem::path& source, std::uint64_t max_size);

}  // namespace upd
