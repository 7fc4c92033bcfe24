#include "http/cache_validators.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <iomanip>
#include <locale>
#include <sstream>

namespace upd {

std::string printable_header(const http_response_t& head, const char* name) {
  for (const auto& [key, value] : head.headers.items()) {
    if (!boost::iequals(key, name)) continue;
    const std::string text = trim_http_blanks(value);
    const bool printable =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
    return printable && text.size() <= max_http_validator_size ? text : std::string();
  }
  return {};
}

http_validators_t answer_validators(const http_response_t& head) {
  http_validators_t validators{printable_header(head, "ETag"),
                               printable_header(head, "Last-Modified")};
  const auto modified = parse_http_date(validators.last_modified),
             date = parse_http_date(printable_header(head, "Date"));
  if (modified && date && *date <= *modified) return {};
  return validators;
}

std::optional<std::time_t> parse_http_date(const std::string& text) {
  std::tm parts{};
  std::istringstream input(text);
  input.imbue(std::locale::classic());
  input >> std::get_time(&parts, "%a, %d %b %Y %H:%M:%S GMT");
  if (input.fail() || input.peek() != std::char_traits<char>::eof()) return std::nullopt;
  return ::timegm(&parts);
}

}  // namespace upd
