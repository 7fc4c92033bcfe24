#include "http/cache_validators.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>

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
  return {printable_header(head, "ETag"), printable_header(head, "Last-Modified")};
}

}  // namespace upd
