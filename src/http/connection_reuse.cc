#include "http/connection_reuse.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <vector>

namespace upd {
namespace {

// Whether a Connection header of the head lists the token.
bool lists_option(const http_response_t& head, const char* token) {
  for (const auto& value : head.headers.values("Connection")) {
    std::vector<std::string> options;
    boost::split(options, value, boost::is_any_of(","));
    for (const auto& option : options)
      if (boost::iequals(trim_http_blanks(option), token)) return true;
  }
  return false;
}

}  // namespace

bool connection_route_t::operator==(const connection_route_t& other) const {
  return mode == other.mode && host == other.host && service == other.service &&
         proxy == other.proxy && tls_check.verify == other.tls_check.verify &&
         tls_check.ca_file == other.tls_check.ca_file;
}

bool keeps_connection(const http_response_t& head) {
  if (lists_option(head, "close")) return false;
  const bool persistent_by_default =
      head.version.major > 1 || (head.version.major == 1 && head.version.minor >= 1);
  return persistent_by_default || lists_option(head, "keep-alive");
}

}  // namespace upd
