// SHA-0, the first Secure Hash Standard (FIPS 180, 1993): SHA-1 without the
// one-bit rotation in the message schedule. The signatures of server lists
// and update lists are made over SHA-0, so SHA-1 must not be used here.
//
// A context belongs to one caller; the functions keep no other state and may
// run on any thread. The byte count is 32 bits wide, which limits exact
// results to inputs below 2^29 bytes; the signed files are far smaller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

struct sha0_context {
  std::uint32_t h[5];          // chaining words h0..h4; the digest after sha0_final
  std::uint32_t count;         // bytes hashed so far, modulo 2^32
  std::uint32_t block[16];     // big-endian words of the block being filled
  unsigned word;               // index of the word being filled, 0..15
  unsigned missing;            // bytes still missing from that word, 4 when empty
};

void sha0_init(sha0_context& context);
void sha0_update(const void* bytes, std::size_t count, sha0_context& context);
void sha0_final(sha0_context& context);

}  // namespace upd
