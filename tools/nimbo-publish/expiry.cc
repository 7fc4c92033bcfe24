#include "expiry.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "formats/list_signature.h"

namespace upd::publish {

std::time_t parse_expiry(std::string_view when, std::time_t now) {
  if (const auto time = parse_utc_time(when)) return *time;
  const std::runtime_error fault("\"" + std::string(when) +
                                 "\": an expiry is a span such as 7d, 12h, 30m or 90s, "
                                 "or a UTC time YYYY-MM-DDTHH:MM:SSZ");
  static constexpr std::pair<char, std::time_t> units[] = {
      {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
  std::time_t unit = 1;
  std::string_view digits = when;
  if (!digits.empty() && (digits.back() < '0' || digits.back() > '9')) {
    const auto found = std::find_if(std::begin(units), std::end(units), [&](const auto& entry) {
      return entry.first == digits.back();
    });
    if (found == std::end(units)) throw fault;
    unit = found->second;
    digits.remove_suffix(1);
  }
  // Nine digits of days still fit time_t; the year check below does the rest.
  if (digits.empty() || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw fault;
  const std::time_t expires = now + std::stol(std::string(digits)) * unit;
  if (!parse_utc_time(format_utc_time(expires)))
    throw std::runtime_error("\"" + std::string(when) + "\": the expiry lies beyond the year 9999");
  return expires;
}

}  // namespace upd::publish
