// Turning the text of one configuration value into a number or a flag, by
// the kind of value the option holds. Each function throws
// std::invalid_argument with a short reason ("expected a time span such as
// 30s or 5m") that the caller prefixes with the file, line and option.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace upd::monitor {

// Decimal digits only, at most max.
std::uint64_t parse_unsigned(const std::string& text, std::uint64_t max);

// A time span in milliseconds: one or more number-unit pairs, units ms, s,
// m, h, d ("90s", "1h30m", "250ms"); a bare number counts seconds.
std::uint64_t parse_time_ms(const std::string& text, std::uint64_t max);

// A size in bytes: a number with an optional unit B, K, M, G (or KB, KiB,
// MB, MiB, GB, GiB), all powers of 1024.
std::uint64_t parse_size(const std::string& text, std::uint64_t max);

// On/Off, Yes/No, True/False, 1/0, in any letter case.
bool parse_onoff(const std::string& text);

}  // namespace upd::monitor
