// Fuzz target: the HTTP response head parser. The head is fed once whole and
// once in chunks whose sizes come from the first input byte; both feeds must
// agree on the result, the bytes consumed and the parsed head, since a
// server's bytes arrive split wherever the network splits them.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "http/response_parser.h"

namespace {

using upd::http_response_parser_t;

struct outcome_t {
  http_response_parser_t::result_t result = http_response_parser_t::parse_more;
  std::size_t consumed = 0;  // bytes of the head, over all chunks
};

// Feeds chunks of 1..max_chunk bytes, varying by a small generator.
outcome_t feed(http_response_parser_t& parser, const char* bytes, std::size_t size,
               unsigned seed) {
  outcome_t outcome;
  std::size_t position = 0;
  const std::size_t max_chunk = (seed & 0x3F) + 1;
  unsigned state = seed | 1;
  do {
    state = state * 1103515245u + 12345u;
    const std::size_t chunk = std::min<std::size_t>(size - position, 1 + (state >> 16) % max_chunk);
    std::size_t consumed = 0;
    outcome.result = parser.parse(bytes + position, chunk, consumed);
    FUZZ_CHECK(consumed <= chunk);
    outcome.consumed += consumed;
    if (outcome.result != http_response_parser_t::parse_more) break;
    FUZZ_CHECK(consumed == chunk);
    position += chunk;
  } while (position < size);
  return outcome;
}

bool same_head(const upd::http_response_t& a, const upd::http_response_t& b) {
  return a.status == b.status && a.reason == b.reason && a.version.major == b.version.major &&
         a.version.minor == b.version.minor && a.headers.items() == b.headers.items();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned seed = data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  --size;

  http_response_parser_t whole;
  std::size_t whole_consumed = 0;
  const auto whole_result = whole.parse(bytes, size, whole_consumed);
  FUZZ_CHECK(whole_consumed <= size);
  if (whole_result == http_response_parser_t::parse_more) FUZZ_CHECK(whole_consumed == size);

  http_response_parser_t split;
  const outcome_t pieces = feed(split, bytes, size, seed);
  FUZZ_CHECK(pieces.result == whole_result);
  if (whole_result != http_response_parser_t::parse_bad) {
    FUZZ_CHECK(pieces.consumed == whole_consumed);
    FUZZ_CHECK(same_head(split.response(), whole.response()));
  }
  if (whole_result == http_response_parser_t::parse_complete) {
    // Bounds the parser promises against a hostile server.
    FUZZ_CHECK(whole.response().headers.size() <= 101);
    std::size_t again = 1;
    FUZZ_CHECK(whole.parse(bytes, size, again) == http_response_parser_t::parse_complete && again == 0);
  }
  return 0;
}
