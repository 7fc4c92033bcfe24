#include "http/response_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace upd {

const char* const http_response_parser_t::response_start = "HTTP/";

namespace {

constexpr std::size_t prefix_length = 5;
constexpr std::size_t max_digits = 11;
constexpr std::size_t max_headers = 100;

// Whether each state starts by skipping blanks.
constexpr bool skips_blanks[] = {true, false, false, false, true, true, false, false, false};

std::uint32_t to_number(const std::string& digits) {
  return static_cast<std::uint32_t>(std::strtol(digits.c_str(), nullptr, 10));
}

}  // namespace

void http_response_parser_t::reset() {
  state_ = version_prefix;
  head_size_ = 0;
  skip_blanks_ = true;
  token_.clear();
  response_ = http_response_t();
}

http_response_parser_t::result_t http_response_parser_t::parse(const char* bytes, std::size_t size,
                                                               std::size_t& consumed) {
  consumed = 0;
  if (state_ == complete) return parse_complete;
  if (state_ == bad) return parse_bad;
  // Nothing beyond the bound is looked at: a head that has not ended by
  // then is refused, however honest its lines.
  const std::size_t room = std::min(size, max_head_size_ - head_size_);
  result_t result = parse_more;
  while (consumed < room && result == parse_more) result = step(bytes, room, consumed);
  head_size_ += consumed;
  if (result != parse_more || head_size_ < max_head_size_) return result;
  state_ = bad;
  return parse_bad;
}

http_response_parser_t::result_t http_response_parser_t::step(const char* bytes, std::size_t size,
                                                              std::size_t& pos) {
  const bool skipping = skip_blanks_;
  if (skipping)
    while (pos < size && is_http_blank(bytes[pos])) ++pos;

  step_t result;
  switch (state_) {
    case version_prefix: result = read_fixed(bytes, size, pos); break;
    case major:
    case minor:
    case status: result = read_number(bytes, size, pos); break;
    case dot: result = read_dot(bytes, size, pos); break;
    default: result = read_line(bytes, size, pos); break;
  }
  if (skipping && !token_.empty()) skip_blanks_ = false;

  if (result == step_more) return parse_more;
  if (result == step_done) state_ = store_field();
  if (result == step_bad) state_ = bad;
  if (state_ == bad) return parse_bad;
  token_.clear();
  skip_blanks_ = skips_blanks[state_];
  return state_ == complete ? parse_complete : parse_more;
}

http_response_parser_t::step_t http_response_parser_t::read_fixed(const char* bytes,
                                                                  std::size_t size,
                                                                  std::size_t& pos) {
  while (pos < size && token_.size() < prefix_length) token_ += bytes[pos++];
  if (token_.size() < prefix_length) return step_more;
  std::string upper = token_;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return std::toupper(c); });
  return upper == response_start ? step_done : step_bad;
}

http_response_parser_t::step_t http_response_parser_t::read_number(const char* bytes,
                                                                   std::size_t size,
                                                                   std::size_t& pos) {
  for (; pos < size; ++pos) {
    const char c = bytes[pos];
    if (c < '0' || c > '9') return token_.empty() ? step_bad : step_done;
    if (token_.size() >= max_digits) return step_bad;
    token_ += c;
  }
  return step_more;
}

http_response_parser_t::step_t http_response_parser_t::read_dot(const char* bytes, std::size_t size,
                                                                std::size_t& pos) {
  if (pos == size) return step_more;
  if (bytes[pos] != '.') return step_bad;
  ++pos;
  return step_done;
}

http_response_parser_t::step_t http_response_parser_t::read_line(const char* bytes,
                                                                 std::size_t size,
                                                                 std::size_t& pos) {
  while (pos < size) {
    const auto c = static_cast<unsigned char>(bytes[pos]);
    if (c == 0 || c >= 128) return step_bad;
    token_ += static_cast<char>(c);
    ++pos;
    if (c != '\n') continue;
    if (token_.size() < 2 || token_[token_.size() - 2] != '\r') return step_bad;  // a bare LF
    token_.resize(token_.size() - 2);
    return step_done;
  }
  return step_more;
}

std::uint32_t http_response_parser_t::store_field() {
  switch (state_) {
    case version_prefix: return major;
    case major: response_.version.major = to_number(token_); return dot;
    case dot: return minor;
    case minor: response_.version.minor = to_number(token_); return status;
    case status: response_.status = static_cast<std::int32_t>(to_number(token_)); return reason;
    case reason: response_.reason = trim_http_blanks(token_); return headers;
    default: break;
  }
  if (response_.headers.size() > max_headers) return bad;
  const std::string line = trim_http_blanks(token_);
  if (line.empty()) return complete;
  const auto colon = line.find(':');
  if (colon == std::string::npos) return bad;
  response_.headers.add(trim_http_blanks(line.substr(0, colon)), trim_http_blanks(line.substr(colon + 1)));
  return headers;
}

}  // namespace upd
