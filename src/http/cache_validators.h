// Reading what an answer says about its resource's version (ETag,
// Last-Modified) and when to come back (Retry-After). The values are the
// server's text: each is bounded and held to printable ASCII, and one that
// is not comes out as "", as if the server had sent none. No I/O; any thread.
#pragma once

#include <string>

#include "common/http_validators.h"
#include "http/http_message.h"

namespace upd {

// The first header of that name (any case), blanks trimmed, or "" when it
// is missing, longer than max_http_validator_size or not printable.
std::string printable_header(const http_response_t& head, const char* name);

http_validators_t answer_validators(const http_response_t& head);

}  // namespace upd
