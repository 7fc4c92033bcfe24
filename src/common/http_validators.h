// What an HTTP answer says to tell whether a resource changed since: its
// ETag and its Last-Modified date, as the server wrote them ("" when it sent
// none, or one too long or not printable). A plain value; any thread.
#pragma once

#include <string>

namespace upd {

inline constexpr std::size_t max_http_validator_size = 256;

struct http_validators_t {
  std::string etag;
  std::string last_modified;

  bool empty() const { return etag.empty() && last_modified.empty(); }
  friend bool operator==(const http_validators_t&, const http_validators_t&) = default;
};

}  // namespace upd
