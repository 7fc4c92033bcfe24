#include "http/http_message.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>

namespace upd {

bool is_http_blank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

std::string trim_http_blanks(const std::string& text) {
  const auto first = std::find_if_not(text.begin(), text.end(), is_http_blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), is_http_blank).base();
  return first < last ? std::string(first, last) : std::string();
}

void http_headers_t::append(const http_headers_t& other) {
  headers_.insert(headers_.end(), other.headers_.begin(), other.headers_.end());
}

bool http_headers_t::has(const std::string& name) const {
  return std::any_of(headers_.begin(), headers_.end(),
                     [&](const header_t& h) { return h.first == name; });
}

std::string http_headers_t::get(const std::string& name) const {
  for (const auto& header : headers_)
    if (header.first == name) return header.second;
  return {};
}

std::vector<std::string> http_headers_t::values(const std::string& name) const {
  std::vector<std::string> found;
  for (const auto& [key, value] : headers_)
    if (boost::iequals(key, name)) found.push_back(trim_http_blanks(value));
  return found;
}

std::string http_request_t::to_string() const {
  std::string text = method + " " + (uri.empty() ? std::string("/") : uri) + " HTTP/" +
                     std::to_string(version.major) + "." + std::to_string(version.minor) + "\r\n";
  for (const auto& [name, value] : headers.items()) text += name + ": " + value + "\r\n";
  text += "\r\n";
  return text;
}

}  // namespace upd
