// The value types of an HTTP/1.1 exchange: a header list, a request with its
// text form, and a response head. No I/O; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace upd {

// (name, value) pairs in insertion order; duplicates allowed; has() and
// get() compare names byte for byte, so "host" does not find "Host".
class http_headers_t {
 public:
  using header_t = std::pair<std::string, std::string>;

  void add(const std::string& name, const std::string& value) {
    headers_.emplace_back(name, value);
  }
  void append(const http_headers_t& other);
  bool has(const std::string& name) const;
  // The first value under name, or "".
  std::string get(const std::string& name) const;
  // Every value under name spelt in any case, in order and trimmed of
  // blanks: servers vary in spelling, and a header missed for its case can
  // turn a cut body into a whole one.
  std::vector<std::string> values(const std::string& name) const;

  const std::vector<header_t>& items() const { return headers_; }
  std::size_t size() const { return headers_.size(); }

 private:
  std::vector<header_t> headers_;
};

struct http_version_t {
  std::uint32_t major = 1;
  std::uint32_t minor = 1;
};

struct http_request_t {
  std::string uri;
  std::string method;
  http_version_t version;
  http_headers_t headers;

  // Request line, header lines and an empty line, each ended by CR LF;
  // an empty uri is written as "/". No body is ever sent.
  std::string to_string() const;
};

// The blanks that may surround a header value or a challenge parameter.
bool is_http_blank(char c);
// text without leading and trailing blanks.
std::string trim_http_blanks(const std::string& text);

struct http_response_t {
  std::int32_t status = 0;
  std::string reason;
  http_version_t version;
  http_headers_t headers;
};

}  // namespace upd
