#include "http/cache_validators.h"

#include <iomanip>
#include <locale>
#include <sstream>

#include "common/printable.h"

namespace upd {

std::string printable_header(const http_response_t& head, const char* name) {
  const auto values = head.headers.values(name);
  if (values.empty() || values.front().size() > max_http_validator_size || !is_printable_ascii(values.front()))
    return {};
  return values.front();
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
