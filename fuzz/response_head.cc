// Fuzz target: the HTTP response head parser. The head is fed once whole and
// once in chunks whose sizes (1 to 64 bytes) come from a small generator
// seeded by the first input byte; both feeds must agree on the result, the
// bytes consumed and the parsed head, since a server's bytes arrive split
// wherever the network splits them. A chunked body after a complete head is
// decoded the same two ways, with the same agreement asked of them.
#include <stdexcept>

#include "fuzz_support.h"
#include "http/body_extent.h"
#include "http/chunked_decoder.h"
#include "http/response_parser.h"

using parser_t = upd::http_response_parser_t;
using decoder_t = upd::chunked_decoder_t;

namespace {

constexpr std::uint64_t body_limit = 4096;

// Feeds the body whole, then in chunks of sizes from the generator state.
void decode_both_ways(std::string_view body, unsigned state) {
  decoder_t whole(body_limit), split(body_limit);
  std::vector<char> whole_data, split_data;
  const auto whole_result = whole.decode(body.data(), body.size(), whole_data);
  auto split_result = decoder_t::decode_more;
  for (std::size_t at = 0, chunk = 0; at < body.size(); at += chunk) {
    state = state * 1103515245u + 12345u;
    chunk = std::min<std::size_t>(body.size() - at, 1 + (state >> 16) % 64);
    split_result = split.decode(body.data() + at, chunk, split_data);
  }
  FUZZ_CHECK(split_result == whole_result && split.fault() == whole.fault());
  FUZZ_CHECK(whole_data.size() <= body_limit && (whole_result == decoder_t::decode_bad || split_data == whole_data));
  FUZZ_CHECK((whole_result == decoder_t::decode_bad) == !whole.fault().empty());
}

}  // namespace

void fuzz_one(std::string_view input) {
  if (input.empty()) return;
  const std::string_view bytes = input.substr(1);
  parser_t whole, split;
  std::size_t whole_consumed = 0, split_consumed = 0, consumed = 0;
  const auto whole_result = whole.parse(bytes.data(), bytes.size(), whole_consumed);
  FUZZ_CHECK(whole_consumed <= bytes.size());
  FUZZ_CHECK(whole_result != parser_t::parse_more || whole_consumed == bytes.size());

  auto split_result = parser_t::parse_more;
  unsigned state = static_cast<unsigned char>(input[0]) | 1u;
  for (std::size_t at = 0; at < bytes.size() && split_result == parser_t::parse_more; at += consumed) {
    state = state * 1103515245u + 12345u;
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - at, 1 + (state >> 16) % 64);
    split_result = split.parse(bytes.data() + at, chunk, consumed);
    FUZZ_CHECK(consumed <= chunk && (split_result != parser_t::parse_more || consumed == chunk));
    split_consumed += consumed;
  }
  FUZZ_CHECK(split_result == whole_result);
  if (whole_result == parser_t::parse_bad) return;
  const auto &a = split.response(), &b = whole.response();
  FUZZ_CHECK(split_consumed == whole_consumed && a.status == b.status && a.reason == b.reason &&
             a.version.major == b.version.major && a.version.minor == b.version.minor &&
             a.headers.items() == b.headers.items());
  if (whole_result != parser_t::parse_complete) return;
  // Bounds the parser promises against a hostile server.
  FUZZ_CHECK(b.headers.size() <= 101 && whole_consumed <= parser_t::max_head_size_);
  FUZZ_CHECK(whole.parse(bytes.data(), bytes.size(), consumed) == parser_t::parse_complete && consumed == 0);
  try {
    if (upd::chunked_body(b)) decode_both_ways(bytes.substr(whole_consumed), state);
  } catch (const std::invalid_argument&) {
    // Another transfer coding: the body is never read.
  }
}
