// SHA-256 of a file's whole content, without any caching. Any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

namespace upd {

// The 32 raw digest bytes, read in pieces of 8192 bytes. A file that cannot
// be opened or read is logged at Error as "SHA256: " + quoted path + ": " +
// the error's text, and thrown as a system error carrying EC_IO_ERROR.
std::string file_sha256(const boost::filesystem::path& path);

}  // namespace upd
