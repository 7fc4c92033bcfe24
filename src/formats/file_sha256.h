// SHA-256 of bytes in memory, and of a file's whole content without any
// caching. Any thread; on
// the update worker, an interruption of the thread ends the hashing of a
// large file within a few MiB.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>
#include <string_view>

#include "common/safe_file.h"

namespace upd {

// The 32 raw digest bytes.
std::string sha256_digest(std::string_view bytes);

// The 32 raw digest bytes, read in pieces of 8192 bytes. The file is opened
// as open_regular_file does, so a FIFO or device fails instead of blocking.
// A file that cannot be opened or read is thrown as a system error
// carrying EC_IO_ERROR, whose text begins "SHA256: " + quoted path + ": " +
// the error's text.
std::string file_sha256(const boost::filesystem::path& path, links_t links = links_t::follow);

}  // namespace upd
