// When a list signature stops being accepted, as the publisher gives it: a
// span from now, digits with a unit "s", "m", "h" or "d" ("90s", "30m",
// "12h", "7d"; bare digits are seconds), or a UTC time
// "YYYY-MM-DDTHH:MM:SSZ". A time in the past is taken as given: it makes a
// signature that is already stale, for testing the clients.
#pragma once

#include <ctime>
#include <string_view>

namespace upd::publish {

// Throws std::runtime_error for any other text, and for a time that the
// signature file could not carry (beyond the year 9999).
std::time_t parse_expiry(std::string_view when, std::time_t now);

}  // namespace upd::publish
