// The answer to an HTTP proxy's 407 challenge: the value of the
// Proxy-Authorization header for one repeated request. Reads only the first
// Proxy-Authenticate header; prefers Digest (MD5, qop "auth" or none) to
// Basic. Pure functions apart from the clock read by make_cnonce; any thread.
#pragma once

#include <string>

#include "http/http_message.h"

namespace upd {

// The header value, or "" when the challenge offers no supported scheme
// (or asks for Digest with qop "auth-int").
std::string make_proxy_authorization(const http_request_t& last_request,
                                     const http_response_t& head, const std::string& user,
                                     const std::string& password);

std::string basic_authorization(const std::string& user, const std::string& password);

// Lower-case hexadecimal MD5 of the text's bytes.
std::string md5_hex(const std::string& text);

// Standard base64 (RFC 4648 alphabet), filled up with "=".
std::string base64_encode(const std::string& text);

// base64 of the current time in seconds since the epoch, as decimal text.
std::string make_cnonce();

}  // namespace upd
