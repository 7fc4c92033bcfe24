#include "value_text.h"

#include <boost/algorithm/string/predicate.hpp>
#include <cctype>
#include <limits>
#include <stdexcept>
#include <utility>

namespace upd::monitor {

namespace {

constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the digits at text[pos...]; false when there are none or the number
// exceeds max.
bool read_number(const std::string& text, std::size_t& pos, std::uint64_t max, std::uint64_t& value) {
  const std::size_t start = pos;
  value = 0;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
    const unsigned digit = static_cast<unsigned>(text[pos] - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return pos > start;
}

std::uint64_t scaled(std::uint64_t value, std::uint64_t factor, std::uint64_t max, const char* reason) {
  if (value != 0 && factor > max / value) throw std::invalid_argument(reason);
  return value * factor;
}

std::string out_of_range(std::uint64_t max) {
  return "out of range (at most " + std::to_string(max) + ")";
}

}  // namespace

std::uint64_t parse_unsigned(const std::string& text, std::uint64_t max) {
  std::size_t pos = 0;
  std::uint64_t value = 0;
  if (!read_number(text, pos, no_limit, value) || pos != text.size())
    throw std::invalid_argument("expected a whole number");
  if (value > max) throw std::invalid_argument(out_of_range(max));
  return value;
}

std::uint64_t parse_time_ms(const std::string& text, std::uint64_t max) {
  static const std::pair<const char*, std::uint64_t> units[] = {
      {"ms", 1}, {"s", 1000}, {"m", 60'000}, {"h", 3'600'000}, {"d", 86'400'000}};
  const char* reason = "expected a time span such as 30s, 5m or 250ms";
  std::size_t pos = 0;
  std::uint64_t total = 0;
  do {
    std::uint64_t number = 0;
    if (!read_number(text, pos, no_limit, number)) throw std::invalid_argument(reason);
    std::size_t unit_end = pos;
    while (unit_end < text.size() && std::isalpha(static_cast<unsigned char>(text[unit_end]))) ++unit_end;
    const std::string unit = text.substr(pos, unit_end - pos);
    pos = unit_end;
    std::uint64_t factor = 0;
    if (unit.empty() && pos == text.size() && total == 0) factor = 1000;  // a bare number: seconds
    for (const auto& [name, ms] : units)
      if (unit == name) factor = ms;
    if (factor == 0) throw std::invalid_argument(reason);
    const std::uint64_t part = scaled(number, factor, no_limit, "time span too long");
    if (part > no_limit - total) throw std::invalid_argument("time span too long");
    total += part;
  } while (pos < text.size());
  if (total > max) throw std::invalid_argument(out_of_range(max) + " ms");
  return total;
}

std::uint64_t parse_size(const std::string& text, std::uint64_t max) {
  static const std::pair<const char*, std::uint64_t> units[] = {
      {"", 1},          {"B", 1},          {"K", 1ull << 10}, {"KB", 1ull << 10}, {"KiB", 1ull << 10},
      {"M", 1ull << 20}, {"MB", 1ull << 20}, {"MiB", 1ull << 20}, {"G", 1ull << 30}, {"GB", 1ull << 30},
      {"GiB", 1ull << 30}};
  std::size_t pos = 0;
  std::uint64_t number = 0;
  if (!read_number(text, pos, no_limit, number))
    throw std::invalid_argument("expected a size such as 512K or 10M");
  std::size_t unit_start = pos;
  while (unit_start < text.size() && text[unit_start] == ' ') ++unit_start;
  const std::string unit = text.substr(unit_start);
  for (const auto& [name, factor] : units) {
    if (!boost::algorithm::iequals(unit, name)) continue;
    const std::uint64_t value = scaled(number, factor, no_limit, "size too large");
    if (value > max) throw std::invalid_argument(out_of_range(max) + " bytes");
    return value;
  }
  throw std::invalid_argument("expected a size such as 512K or 10M");
}

bool parse_onoff(const std::string& text) {
  for (const char* yes : {"on", "yes", "true", "1"})
    if (boost::algorithm::iequals(text, yes)) return true;
  for (const char* no : {"off", "no", "false", "0"})
    if (boost::algorithm::iequals(text, no)) return false;
  throw std::invalid_argument("expected On or Off");
}

}  // namespace upd::monitor
