#include "http/body_extent.h"

#include <boost/algorithm/string/predicate.hpp>
#include <charconv>
#include <stdexcept>
#include <string_view>

#include "common/printable.h"

namespace upd {
namespace {

// A whole decimal number without sign or blanks, that fits.
std::optional<std::uint64_t> decimal(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint64_t> announced_length(const http_response_t& head) {
  std::optional<std::uint64_t> length;
  for (const auto& value : head.headers.values("Content-Length")) {
    const auto this_one = decimal(value);
    if (!this_one || (length && *length != *this_one)) throw std::invalid_argument("Bad Content-Length");
    length = this_one;
  }
  return length;
}

bool chunked_body(const http_response_t& head) {
  std::string codings;
  for (const auto& value : head.headers.values("Transfer-Encoding")) codings += (codings.empty() ? "" : ", ") + value;
  if (codings.empty()) return false;
  if (!boost::iequals(codings, "chunked")) // The server's text: a short piece is enough for the log.
    throw std::invalid_argument("Unsupported transfer coding: " + printable(codings.substr(0, 80)));
  return true;
}

std::optional<std::uint64_t> range_start(const http_response_t& head) {
  for (const auto& value : head.headers.values("Content-Range")) {
    const std::string_view text(value);
    const auto dash = text.find('-'), slash = text.find('/');
    if (!boost::istarts_with(text, "bytes ") || dash == text.npos || slash == text.npos || slash < dash)
      return std::nullopt;
    const auto first = decimal(text.substr(6, dash - 6)), last = decimal(text.substr(dash + 1, slash - dash - 1));
    const auto total = text.substr(slash + 1);
    if (!first || !last || *last < *first || (total != "*" && !decimal(total))) return std::nullopt;
    return first;
  }
  return std::nullopt;
}

}  // namespace upd
