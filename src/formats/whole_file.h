// Reads a small file whole, for the readers of signed files and of the
// checksum cache: the size is checked against a limit before anything is
// allocated, and the open never blocks (see common/safe_file.h). Failures
// are thrown as system errors with the context "open", "stat" or "read", or
// as std::runtime_error "file too big" and "unexpected eof". The descriptor
// is closed on every path. Any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <string>

#include "common/safe_file.h"

namespace upd {

std::string read_whole_file(const boost::filesystem::path& path, std::size_t limit,
                            links_t links = links_t::follow);

}  // namespace upd
