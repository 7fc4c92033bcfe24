// The incremental reader of an HTTP/1.1 response head.
//
// Bytes arrive in chunks of any size, down to one byte; each field is
// gathered byte by byte into token_, so nothing of a chunk is copied whole
// and a field may straddle chunks. Only CR LF line ends are accepted; there
// is no header folding. A head may take at most max_head_size_ bytes, its
// empty last line included, and hold at most 101 header lines, which bounds
// what a hostile server can make the parser hold. Never throws. Owned and
// used by one connection on its thread.
//
//   version prefix "HTTP/" -> major -> "." -> minor -> status -> reason
//     -> header lines ... -> empty line: complete
//   (any malformed byte: bad)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "http/http_message.h"

namespace upd {

class http_response_parser_t {
 public:
  enum result_t { parse_complete = 0, parse_more = 1, parse_bad = 2 };
  enum state_t : std::uint32_t {
    version_prefix = 0,
    major = 1,
    dot = 2,
    minor = 3,
    status = 4,
    reason = 5,
    headers = 6,
    complete = 7,
    bad = 8,
  };

  static const char* const response_start;  // "HTTP/"
  static constexpr std::size_t max_head_size_ = 64 * 1024;

  http_response_parser_t() { reset(); }
  void reset();

  // Feeds one chunk. consumed tells how many of its bytes belong to the
  // head; after parse_complete the rest is body. A head not complete within
  // max_head_size_ bytes is bad. Once complete or bad, every further call
  // repeats that result with consumed 0.
  result_t parse(const char* bytes, std::size_t size, std::size_t& consumed);

  const http_response_t& response() const { return response_; }

 private:
  enum step_t { step_done, step_more, step_bad };

  result_t step(const char* bytes, std::size_t size, std::size_t& pos);
  step_t read_fixed(const char* bytes, std::size_t size, std::size_t& pos);
  step_t read_number(const char* bytes, std::size_t size, std::size_t& pos);
  step_t read_dot(const char* bytes, std::size_t size, std::size_t& pos);
  step_t read_line(const char* bytes, std::size_t size, std::size_t& pos);
  // Stores the finished token; returns the next state.
  std::uint32_t store_field();

  std::uint32_t state_;
  std::size_t head_size_;  // bytes consumed so far
  bool skip_blanks_;
  std::string token_;
  http_response_t response_;
};

}  // namespace upd
