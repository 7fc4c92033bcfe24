// Reading what an answer says about its resource's version (ETag,
// Last-Modified) and when to come back (Retry-After). The values are the
// server's text: each is bounded and held to printable ASCII, and one that
// is not comes out as "", as if the server had sent none. No I/O; any thread.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "common/http_validators.h"
#include "http/http_message.h"

namespace upd {

// The first header of that name (any case), blanks trimmed, or "" when it
// is missing, longer than max_http_validator_size or not printable.
std::string printable_header(const http_response_t& head, const char* name);

// The answer's ETag and Last-Modified; none when the answer was given
// within the second its resource last changed (by its Date): most servers
// make both from the time in seconds (and the size), so a change later in
// that second would keep them, and a copy kept with them would pass for
// the new one.
http_validators_t answer_validators(const http_response_t& head);

// An HTTP date ("Tue, 08 Dec 2026 00:10:00 GMT"); nothing when malformed.
std::optional<std::time_t> parse_http_date(const std::string& text);

}  // namespace upd
