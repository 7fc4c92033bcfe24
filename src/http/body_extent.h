// What a response head says about the extent of its body: the length it
// announces and, for a part of a resource, where that part begins. Header
// names are matched without regard to case, as servers vary in spelling and
// a missed Content-Length would turn a cut transfer into a success. No I/O;
// any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "http/http_message.h"

namespace upd {

// The Content-Length of the head; nullopt when it has none. Throws
// std::invalid_argument when a value is not a decimal number or repeated
// headers disagree: the end of such a body cannot be trusted.
std::optional<std::uint64_t> announced_length(const http_response_t& head);

// Whether the body comes in chunks ("Transfer-Encoding: chunked"). Throws
// std::invalid_argument naming any other transfer coding: such a body
// cannot be read, and a coding left on would pass for the file.
bool chunked_body(const http_response_t& head);

// FIRST of "Content-Range: bytes FIRST-LAST/TOTAL" (TOTAL may be "*");
// nullopt when the header is missing or is not of that form.
std::optional<std::uint64_t> range_start(const http_response_t& head);

}  // namespace upd
