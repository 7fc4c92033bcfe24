// What ties a partial file to the answer it came from: the strong ETag of
// that answer, else its Last-Modified date, kept in a small file beside the
// partial one ("NAME-partial-validator") and sent back as If-Range when the
// rest is asked for, so that a server whose file has changed since answers
// with the whole new body rather than the rest of another one. The value is
// the server's text: it is bounded, held to printable ASCII and used for
// nothing else. Files are written and read without following links.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

#include "http/http_message.h"

namespace upd {

// The validator of an answer, or "" when it has no usable one.
std::string range_validator(const http_response_t& head);

// The file beside file that keeps its validator.
boost::filesystem::path range_validator_path(const boost::filesystem::path& file);

// Keeps the validator beside file; "" removes what was kept.
void store_range_validator(const boost::filesystem::path& file, const std::string& validator);
// What is kept beside file, or "" when nothing usable is.
std::string load_range_validator(const boost::filesystem::path& file);

}  // namespace upd
